#pragma once

// What the tool's signal windows share: replacing a signal's disposition for
// the time a window is open and putting the previous one back, ending the
// program from a handler by a signal's default action, and asking whether the
// program is in the background of its controlling terminal.
//
// The tool starts USB with every signal blocked (see AllSignalsBlocked), so
// the threads libusb starts take no signal and every handler runs on the main
// thread, where the mask it changes is the one that matters.

#include <signal.h>

#include <array>
#include <initializer_list>

namespace korvene {

// One signal's disposition while a window holds it.
struct HeldDisposition {
    int signal = 0;
    struct sigaction previous {};
    bool replaced = false;
};

// The signals by which a user, a shell, a terminal or a service manager ends
// a program; both windows hold them.
inline constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The set of kEndingSignals and `more`.
sigset_t endingSignalsAnd(std::initializer_list<int> more = {});

// Installs `handler` for `slot.signal` with `mask` blocked while it runs and
// SA_RESTART, keeping the previous disposition in the slot. When `keepIgnored`,
// a signal ignored until now (nohup, a wrapper) stays ignored and the slot is
// left unreplaced.
void holdDisposition(HeldDisposition& slot, void (*handler)(int), const sigset_t& mask, bool keepIgnored);

// Puts the previous disposition back, if the slot replaced it.
void releaseDisposition(HeldDisposition& slot);

// From a handler of `signo`: puts its default action back and takes it, so the
// program ends (or stops) as that signal's default does and the shell sees the
// usual status. The signal raised here is blocked while the handler runs; it
// is taken when this unblocks it, and unblocked again only for that moment.
// Async-signal-safe.
void takeDefaultAction(int signo);

// True when standard input is the controlling terminal and another process
// group than ours has its foreground (the shell, after a stop or a `bg`).
// False in the foreground, and when standard input is not the controlling
// terminal, where there is no job control. Async-signal-safe.
bool inBackgroundOfTerminal();

}  // namespace korvene
