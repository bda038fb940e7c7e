// The window in which an ending signal is noted instead of ending the program,
// so that an update that has begun ends with its verdict or its cancel request.
// The handler calls only async-signal-safe functions (sigaction, raise,
// sigprocmask) and touches only the lock-free atomic below.
#include "tool/interrupt_window.h"

#include <signal.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>

namespace korvene {
namespace {

constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The first signal taken while the window is open; 0 before any.
std::atomic<int> notedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");

struct PreviousAction {
    struct sigaction action {};
    bool replaced = false;
};
std::array<PreviousAction, kEndingSignals.size()> previousActions;

sigset_t windowSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kEndingSignals) sigaddset(&set, signo);
    return set;
}

// The first signal is noted for the installation to act on. A second one puts
// the default action back and takes it: the signal raised here is blocked while
// the handler runs, so it waits until it is unblocked just below, and then ends
// the whole process from whichever thread runs this.
void onEndingSignal(int signo) {
    const int savedErrno = errno;
    int none = 0;
    if (notedSignal.compare_exchange_strong(none, signo)) {
        errno = savedErrno;
        return;
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signo, &byDefault, nullptr);
    (void)raise(signo);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signo);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    errno = savedErrno;
}

}  // namespace

InterruptWindow::InterruptWindow() {
    // No signal is taken until every handler is in place.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    notedSignal.store(0);
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        PreviousAction& slot = previousActions[i];
        slot.replaced = false;
        if (sigaction(kEndingSignals[i], nullptr, &slot.action) != 0) continue;
        // A run under nohup, or a wrapper that ignores a signal, keeps it ignored.
        if (slot.action.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = onEndingSignal;
        // One handler at a time on a thread; a transfer in flight goes on.
        action.sa_mask = window;
        action.sa_flags = SA_RESTART;
        slot.replaced = sigaction(kEndingSignals[i], &action, nullptr) == 0;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

InterruptWindow::~InterruptWindow() {
    // A signal that comes now waits until the previous dispositions are back,
    // and then meets those.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        PreviousAction& slot = previousActions[i];
        if (slot.replaced) sigaction(kEndingSignals[i], &slot.action, nullptr);
        slot.replaced = false;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool InterruptWindow::interrupted() const { return notedSignal.load() != 0; }

}  // namespace korvene
