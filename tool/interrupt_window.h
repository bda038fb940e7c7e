#pragma once

// The stretch of an update during which the key must not be abandoned: from
// just before the first request of the installation until the update has its
// verdict, the cancel request after a failure included.
//
// While the window is open, SIGINT, SIGTERM, SIGHUP and SIGQUIT are noted
// instead of ending the program: the installation asks interrupted() before
// each request and, once it is set, ends the way a failed request does, so the
// key is sent its cancel request.
//
// Only a repeated keyboard interrupt ends the program at once: a SIGINT or
// SIGQUIT that arrives once a signal has been noted, for a user who must stop
// a key that no longer answers. SIGHUP and SIGTERM are only ever noted,
// however many arrive: a closed terminal delivers two hang-ups, a shell sends
// a stopped job SIGHUP and SIGTERM, a service manager SIGTERM and SIGHUP, and
// none of them is a user's second interrupt. Something that must end the
// updater has SIGKILL; every transfer is bounded, so a noted signal is acted
// on within about a minute.
//
// Once deploying() has been called the key is installing the new firmware:
// from then on every signal is only noted and the update runs to its verdict.
//
// A signal that was ignored when the window opened stays ignored. Closing the
// window puts every previous disposition back; a signal noted and not acted on
// by then is dropped.
//
// The handler runs on the main thread (USB's threads block every signal) and
// touches nothing but lock-free atomics and async-signal-safe calls. One
// window at a time.

namespace korvene {

class InterruptWindow {
public:
    InterruptWindow();
    ~InterruptWindow();
    InterruptWindow(const InterruptWindow&) = delete;
    InterruptWindow& operator=(const InterruptWindow&) = delete;

    // True once one of the window's signals has arrived.
    bool interrupted() const;

    // The installation is about to deploy: no signal ends the program any more.
    void deploying();
};

}  // namespace korvene
