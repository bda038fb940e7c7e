// The echo-off window on standard input and the signal handlers that keep the
// terminal sound while it is open. The handlers call only async-signal-safe
// functions (tcgetattr, tcsetattr, tcgetpgrp, getpgrp, sigaction, sigprocmask,
// raise) and touch only the two settings records below.
#include "tool/echo_off_window.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

namespace korvene {
namespace {

// The settings of standard input to restore when the window closes.
termios savedTermios{};
// The settings applied while the window is open: the saved ones without echo.
termios quietTermios{};

constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct PreviousAction {
    int signal = 0;
    struct sigaction action {};
    bool replaced = false;
};
// The ending signals, then SIGTSTP, then SIGCONT.
std::array<PreviousAction, kEndingSignals.size() + 2> previousActions;

constexpr tcflag_t kEchoFlags = ECHO | ECHONL;

void quietenFrom(const termios& settings) {
    quietTermios = settings;
    quietTermios.c_lflag &= ~kEchoFlags;
}

bool sameSettings(const termios& a, const termios& b) {
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag || a.c_lflag != b.c_lflag) {
        return false;
    }
    for (size_t i = 0; i < NCCS; ++i) {
        if (a.c_cc[i] != b.c_cc[i]) return false;
    }
    return true;
}

sigset_t only(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    return set;
}

sigset_t windowSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kEndingSignals) sigaddset(&set, signo);
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

struct sigaction defaultAction() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    return action;
}

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the terminal back as it was, then the
// signal's default action ends the program.
void onEndingSignal(int signo) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTermios);
    const struct sigaction byDefault = defaultAction();
    sigaction(signo, &byDefault, nullptr);
    // Blocked while this handler runs: pending until unblocked just below.
    (void)raise(signo);
    const sigset_t self = only(signo);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
}

// SIGTSTP (Ctrl-Z): the terminal back as it was, then stop with the default
// action so the shell sees a stopped job. Execution resumes here on SIGCONT,
// whose handler runs once this one has returned.
void onStopSignal(int) {
    const int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTermios);
    const struct sigaction byDefault = defaultAction();
    struct sigaction ours {};
    sigaction(SIGTSTP, &byDefault, &ours);
    (void)raise(SIGTSTP);
    const sigset_t self = only(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    sigprocmask(SIG_BLOCK, &self, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
    errno = savedErrno;
}

// True when standard input is the controlling terminal and another process
// group than ours has its foreground. False when it is ours, or when standard
// input is not the controlling terminal and there is no job control.
bool inBackground() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

// SIGCONT: settings other than ours on the terminal are the shell's, put back
// while the job was stopped; they are the ones to restore at the end. Echo goes
// off again either way. A SIGCONT while running finds our own settings and
// changes nothing.
//
// Continued in the background (`bg`), the program changes nothing: the settings
// on the terminal are then those the shell uses while it reads its own command
// line, not the ones to restore, and changing them from the background would
// stop the program by SIGTTOU inside this handler. The line read then stops it
// by SIGTTIN until `fg`, whose continue finds the shell's ordinary settings.
void onContinueSignal(int) {
    const int savedErrno = errno;
    if (inBackground()) {
        errno = savedErrno;
        return;
    }
    termios current{};
    if (tcgetattr(STDIN_FILENO, &current) == 0 && !sameSettings(current, quietTermios)) {
        savedTermios = current;
        quietenFrom(current);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &quietTermios);
    errno = savedErrno;
}

// Installs `handler` for `slot.signal`, keeping the previous action. An ignored
// signal stays ignored when `keepIgnored`.
void install(PreviousAction& slot, void (*handler)(int), bool keepIgnored) {
    slot.replaced = false;
    if (sigaction(slot.signal, nullptr, &slot.action) != 0) return;
    if (keepIgnored && slot.action.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = handler;
    // No handler interrupts another, and the read of the line goes on after a
    // stop and a continue.
    action.sa_mask = windowSignals();
    action.sa_flags = SA_RESTART;
    slot.replaced = sigaction(slot.signal, &action, nullptr) == 0;
}

}  // namespace

EchoOffWindow::EchoOffWindow() {
    // Not a terminal: there is no echo to turn off and nothing to restore.
    if (tcgetattr(STDIN_FILENO, &savedTermios) != 0) return;

    // The handlers are in place before echo goes off, and no signal is taken
    // until both are done.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    quietenFrom(savedTermios);
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        previousActions[i].signal = kEndingSignals[i];
        install(previousActions[i], onEndingSignal, true);
    }
    PreviousAction& stop = previousActions[kEndingSignals.size()];
    stop.signal = SIGTSTP;
    install(stop, onStopSignal, true);
    PreviousAction& resume = previousActions[kEndingSignals.size() + 1];
    resume.signal = SIGCONT;
    install(resume, onContinueSignal, false);
    guarded = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &quietTermios);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

EchoOffWindow::~EchoOffWindow() {
    if (!guarded) return;
    // A signal that comes now waits until the settings and the previous
    // dispositions are back, and then meets those.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTermios);
    for (PreviousAction& slot : previousActions) {
        if (slot.replaced) sigaction(slot.signal, &slot.action, nullptr);
        slot.replaced = false;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace korvene
