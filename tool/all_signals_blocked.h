#pragma once

// Every signal blocked in the calling thread for the object's lifetime, the
// previous mask put back after. USB is started inside it: a thread inherits the
// mask of the thread that creates it, so the threads libusb starts then block
// every signal for good, and every handler of the tool's signal windows runs on
// the main thread. The transport itself knows nothing of signals.

#include <signal.h>

namespace korvene {

class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t before{};
};

}  // namespace korvene
