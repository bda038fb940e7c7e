// Dispositions held by the signal windows, and the async-signal-safe pieces
// their handlers share: sigaction, raise, sigprocmask, tcgetpgrp and getpgrp
// only.
#include "tool/signal_dispositions.h"

#include <unistd.h>

namespace korvene {

sigset_t endingSignalsAnd(std::initializer_list<int> more) {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kEndingSignals) sigaddset(&set, signo);
    for (int signo : more) sigaddset(&set, signo);
    return set;
}

void holdDisposition(HeldDisposition& slot, void (*handler)(int), const sigset_t& mask, bool keepIgnored) {
    slot.replaced = false;
    if (sigaction(slot.signal, nullptr, &slot.previous) != 0) return;
    if (keepIgnored && slot.previous.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = mask;
    // A transfer or a read in flight goes on after the handler.
    action.sa_flags = SA_RESTART;
    slot.replaced = sigaction(slot.signal, &action, nullptr) == 0;
}

void releaseDisposition(HeldDisposition& slot) {
    if (slot.replaced) sigaction(slot.signal, &slot.previous, nullptr);
    slot.replaced = false;
}

void takeDefaultAction(int signo) {
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signo, &byDefault, nullptr);
    (void)raise(signo);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signo);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    // Back to blocked for the rest of the handler, as the kernel had it; after
    // a stop this is where the program goes on.
    sigprocmask(SIG_BLOCK, &self, nullptr);
}

bool inBackgroundOfTerminal() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

}  // namespace korvene
