// The echo-off window on standard input and the signal handlers that keep the
// terminal sound while it is open. The handlers call only async-signal-safe
// functions (tcgetattr, tcsetattr, tcgetpgrp, getpgrp, sigaction, sigprocmask,
// raise, write) and touch only the records below.
#include "tool/echo_off_window.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "tool/signal_dispositions.h"

namespace korvene {
namespace {

// The settings of standard input to restore when the window closes.
termios savedTermios{};
// The settings applied while the window is open: the saved ones without echo.
termios quietTermios{};

// The prompt written again after a continue, and its length.
const char* promptAgain = nullptr;
size_t promptLength = 0;

// The ending signals, then SIGTSTP, then SIGCONT.
std::array<HeldDisposition, kEndingSignals.size() + 2> heldDispositions;

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

sigset_t windowSignals() { return endingSignalsAnd({SIGTSTP, SIGCONT}); }

// Puts the saved settings back and discards what was typed and not yet read,
// so that a partly typed PIN is neither left for the shell to read as a command
// nor kept for the line read after a continue. Only in the foreground: in the
// background the shell owns the terminal, with its own settings on it, and
// writing them from there would stop the program by SIGTTOU.
void restoreTerminal() {
    if (inBackgroundOfTerminal()) return;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTermios);
}

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the terminal back as it was, then the
// signal's default action ends the program.
void onEndingSignal(int signo) {
    restoreTerminal();
    takeDefaultAction(signo);
}

// SIGTSTP (Ctrl-Z): the terminal back as it was, then stop with the default
// action so the shell sees a stopped job. Execution resumes here on SIGCONT,
// whose handler runs once this one has returned.
void onStopSignal(int) {
    const int savedErrno = errno;
    restoreTerminal();
    struct sigaction ours {};
    sigaction(SIGTSTP, nullptr, &ours);
    takeDefaultAction(SIGTSTP);
    sigaction(SIGTSTP, &ours, nullptr);
    errno = savedErrno;
}

// SIGCONT: settings other than ours on the terminal are the shell's, put back
// while the job was stopped; they are the ones to restore at the end. Echo goes
// off again either way, what was typed before the stop is discarded (the
// terminal keeps it after a SIGSTOP) and the prompt is shown again, so the user
// types the whole PIN anew instead of spending a PIN try on its second half.
//
// Continued in the background (`bg`), the program changes nothing: the settings
// on the terminal are then those the shell uses while it reads its own command
// line, not the ones to restore, and changing them from the background would
// stop the program by SIGTTOU inside this handler. The line read then stops it
// by SIGTTIN until `fg`, whose continue finds the shell's ordinary settings.
void onContinueSignal(int) {
    const int savedErrno = errno;
    if (inBackgroundOfTerminal()) {
        errno = savedErrno;
        return;
    }
    termios current{};
    if (tcgetattr(STDIN_FILENO, &current) == 0 && !sameSettings(current, quietTermios)) {
        savedTermios = current;
        quietenFrom(current);
    }
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quietTermios);
    if (promptAgain != nullptr) {
        // A prompt that cannot be written changes nothing for the read.
        const ssize_t written = write(STDOUT_FILENO, promptAgain, promptLength);
        (void)written;
    }
    errno = savedErrno;
}

}  // namespace

EchoOffWindow::EchoOffWindow(const char* prompt) {
    // Not a terminal: there is no echo to turn off and nothing to restore.
    if (tcgetattr(STDIN_FILENO, &savedTermios) != 0) return;

    // The handlers are in place before echo goes off, and no signal is taken
    // until both are done. No handler interrupts another.
    const sigset_t window = windowSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &window, &before);
    promptAgain = prompt;
    promptLength = prompt != nullptr ? std::strlen(prompt) : 0;
    quietenFrom(savedTermios);
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        heldDispositions[i].signal = kEndingSignals[i];
        holdDisposition(heldDispositions[i], onEndingSignal, window, true);
    }
    HeldDisposition& stop = heldDispositions[kEndingSignals.size()];
    stop.signal = SIGTSTP;
    holdDisposition(stop, onStopSignal, window, true);
    HeldDisposition& resume = heldDispositions[kEndingSignals.size() + 1];
    resume.signal = SIGCONT;
    holdDisposition(resume, onContinueSignal, window, false);
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
    for (HeldDisposition& slot : heldDispositions) releaseDisposition(slot);
    promptAgain = nullptr;
    promptLength = 0;
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace korvene
