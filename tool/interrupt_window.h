#pragma once

// The stretch of an update during which the key must not be abandoned: from
// just before the first request of the installation until the update has its
// verdict, the cancel request after a failure included.
//
// While the window is open, SIGINT, SIGTERM, SIGHUP and SIGQUIT do not end the
// program:
//   - the first of them is only noted; the installation asks interrupted()
//     before each request and, once it is set, ends the way a failed request
//     does, so the key is sent its cancel request;
//   - a second one ends the program at once by that signal's default action,
//     for a user who must stop a key that no longer answers.
// A signal that was ignored when the window opened stays ignored. Closing the
// window puts every previous disposition back; a signal noted and not acted on
// by then is dropped.
//
// The handler may run on any thread of the process (libusb has one of its
// own), so it touches nothing but a lock-free atomic and async-signal-safe
// calls. One window at a time.

namespace korvene {

class InterruptWindow {
public:
    InterruptWindow();
    ~InterruptWindow();
    InterruptWindow(const InterruptWindow&) = delete;
    InterruptWindow& operator=(const InterruptWindow&) = delete;

    // True once one of the window's signals has arrived.
    bool interrupted() const;
};

}  // namespace korvene
