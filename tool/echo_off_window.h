#pragma once

// Standard input with echo off while a secret is typed.
//
// Opening the window saves the settings of standard input, then applies a copy
// with ECHO and ECHONL cleared; closing it applies the saved settings again.
// When standard input is a terminal, the window also keeps the secret hidden
// and the terminal usable on every way out while it is open:
//   - SIGINT, SIGTERM, SIGHUP and SIGQUIT put the saved settings back and
//     discard what was typed and not yet read, so a partly typed secret never
//     reaches the shell; the program then ends by the same signal, with its
//     default action, so the shell sees the usual status;
//   - SIGTSTP puts the saved settings back and discards the unread input
//     before the program stops;
//   - SIGCONT takes the settings found on the terminal (a shell puts its own
//     back while a job is stopped) as the ones to restore, turns echo off
//     again, discards what was typed before the stop and writes the prompt
//     again, so the secret is typed whole and unseen after the program goes
//     on. This also covers a stop by SIGSTOP, which cannot be caught.
// In the background of its controlling terminal (after a stop, or `bg`) the
// program leaves the terminal alone: the shell owns it then, with its own
// settings on it, and touching it would stop the program by SIGTTOU. An ending
// signal there just ends the program, a stop just stops it, and a continue
// changes nothing; the line read stops the program by SIGTTIN until `fg`,
// whose continue finds the shell's ordinary settings. When standard input is a
// terminal but not the controlling one, there is no job control, and every
// handler acts as in the foreground.
// A signal that was ignored when the window opened stays ignored. Closing the
// window puts every previous disposition back. When standard input is not a
// terminal the window changes nothing: no settings are written and no
// handler is installed.
//
// One window at a time. The handlers run on the main thread: the threads USB
// starts block every signal.

namespace korvene {

class EchoOffWindow {
public:
    // `prompt`, when not null, is written to standard output again after a
    // continue; it must stay valid while the window is open.
    explicit EchoOffWindow(const char* prompt);
    ~EchoOffWindow();
    EchoOffWindow(const EchoOffWindow&) = delete;
    EchoOffWindow& operator=(const EchoOffWindow&) = delete;

private:
    bool guarded = false;  // handlers installed: standard input is a terminal
};

}  // namespace korvene
