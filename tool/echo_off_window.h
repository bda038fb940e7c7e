#pragma once

// Standard input with echo off while a secret is typed.
//
// Opening the window saves the settings of standard input, then applies a copy
// with ECHO and ECHONL cleared; closing it applies the saved settings again.
// When standard input is a terminal, the window also keeps the secret hidden
// and the terminal usable on every way out while it is open:
//   - SIGINT, SIGTERM, SIGHUP and SIGQUIT put the saved settings back, and the
//     program then ends by the same signal, with its default action, so the
//     shell sees the usual status;
//   - SIGTSTP puts the saved settings back before the program stops;
//   - SIGCONT takes the settings found on the terminal (a shell puts its own
//     back while a job is stopped) as the ones to restore, and turns echo off
//     again, so nothing typed after the program goes on is shown. This also
//     covers a stop by SIGSTOP, which cannot be caught. A SIGCONT that finds
//     the program in the background of its controlling terminal (`bg`)
//     changes nothing: the shell's line editor has its own settings on the
//     terminal then. The line read stops the program by SIGTTIN until `fg`,
//     and the SIGCONT that follows finds the shell's ordinary settings. When
//     standard input is a terminal but not the controlling one, there is no
//     job control, and every SIGCONT acts.
// A signal that was ignored when the window opened stays ignored. Closing the
// window puts every previous disposition back. When standard input is not a
// terminal the window changes nothing: no settings are written and no
// handler is installed.
//
// One window at a time. A handler may run on any thread of the process:
// libusb's event thread blocks no signals.

namespace korvene {

class EchoOffWindow {
public:
    EchoOffWindow();
    ~EchoOffWindow();
    EchoOffWindow(const EchoOffWindow&) = delete;
    EchoOffWindow& operator=(const EchoOffWindow&) = delete;

private:
    bool guarded = false;  // handlers installed: standard input is a terminal
};

}  // namespace korvene
