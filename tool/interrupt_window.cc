// The window in which an ending signal is noted instead of ending the program,
// so that an update that has begun ends with its verdict or its cancel request.
// The handler calls only async-signal-safe functions and touches only the
// lock-free atomics below.
#include "tool/interrupt_window.h"

#include <signal.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "tool/signal_dispositions.h"

namespace korvene {
namespace {

// The first signal taken while the window is open; 0 before any.
std::atomic<int> notedSignal{0};
// Set once the key deploys: every signal is only noted from then on.
std::atomic<bool> committed{false};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");

std::array<HeldDisposition, kEndingSignals.size()> heldDispositions;

sigset_t windowSignals() { return endingSignalsAnd(); }

bool isKeyboardInterrupt(int signo) { return signo == SIGINT || signo == SIGQUIT; }

// The first signal is noted for the installation to act on. After that, a
// keyboard interrupt before the deployment ends the program by its default
// action; anything else is noted already and changes nothing.
void onEndingSignal(int signo) {
    const int savedErrno = errno;
    int none = 0;
    const bool first = notedSignal.compare_exchange_strong(none, signo);
    if (!first && isKeyboardInterrupt(signo) && !committed.load()) takeDefaultAction(signo);
    errno = savedErrno;
}

}  // namespace

InterruptWindow::InterruptWindow() {
    // No signal is taken until every handler is in place.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    notedSignal.store(0);
    committed.store(false);
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        heldDispositions[i].signal = kEndingSignals[i];
        // One handler at a time; a run under nohup keeps SIGHUP ignored.
        holdDisposition(heldDispositions[i], onEndingSignal, window, true);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

InterruptWindow::~InterruptWindow() {
    // A signal that comes now waits until the previous dispositions are back,
    // and then meets those.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    for (HeldDisposition& slot : heldDispositions) releaseDisposition(slot);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool InterruptWindow::interrupted() const { return notedSignal.load() != 0; }

void InterruptWindow::deploying() { committed.store(true); }

}  // namespace korvene
