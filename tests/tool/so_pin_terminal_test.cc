// The SO PIN typed on a real terminal: the update flow runs as a job whose
// standard input is a pseudo-terminal, its standard output the same terminal
// or a pipe, and the test acts at its prompts as a user and a shell would: it
// types, interrupts, quits or hangs up, stops the job, takes the terminal back,
// puts the shell's own settings on it and continues the job, in the background
// or in the foreground. The terminal itself would echo whatever it is given, so
// a PIN that does not come back proves echo was off.
//
// The pseudo-terminal is the controlling terminal of the job's session, as a
// shell's terminal is. A shell stand-in, forked by the test, leads that
// session and starts the flow as a job in a process group of its own, in the
// foreground. The job's group has a parent in another group of the same
// session, so it is not orphaned: stops by SIGTSTP, SIGTTIN and SIGTTOU take
// effect, and a job in the background that reads the terminal or changes its
// settings is stopped. The stand-in tells the test the job's pid and every
// change of its status, and moves the foreground between the job and itself
// on the test's word. The signals a user's keys would raise are sent to the
// job's group with kill. A hang-up reaches the stand-in as it reaches a shell:
// it forwards the signals a shell sends its jobs and exits, and the kernel
// signals the terminal's foreground group as the session leader goes. The job
// then outlives its parent, and the test, the subreaper of its descendants in
// those rows, waits for it itself.
#include <dlfcn.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/virtual_key_device.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

// Every change of terminal settings this binary makes is counted, so that a
// run can show it left the terminal alone. The count and the real function
// live in the calling process; the job reads its own.
namespace {
volatile sig_atomic_t terminalSettingsWrites = 0;
using TcsetattrFunction = int (*)(int, int, const termios*);
TcsetattrFunction realTcsetattr = nullptr;

void resolveRealTcsetattr() {
    if (realTcsetattr == nullptr) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym returns an object pointer
        realTcsetattr = reinterpret_cast<TcsetattrFunction>(dlsym(RTLD_NEXT, "tcsetattr"));
    }
}
}  // namespace

extern "C" int tcsetattr(int fd, int actions, const termios* settings) noexcept {
    resolveRealTcsetattr();
    terminalSettingsWrites = terminalSettingsWrites + 1;
    return realTcsetattr(fd, actions, settings);
}

namespace korvene::testing {
namespace {

constexpr char kPin[] = "2468";
// What is typed of it before a signal or a stop in the rows that leave the line
// unfinished.
constexpr char kPartOfPin[] = "24";
// Exit codes of the job beyond the flow's own.
constexpr int kChildOpenFailed = 100;
constexpr int kChildTouchedTerminalWithoutPin = 101;
constexpr int kChildLeftDispositionsChanged = 102;
// Exit code of the shell stand-in when it could not start the job.
constexpr int kShellFailed = 103;

constexpr auto kRunLimit = std::chrono::seconds(20);
constexpr auto kStepLimit = std::chrono::seconds(5);

// What the job's key received after its session was opened, shared with the
// test across the fork, and the hold of the rows that act while the
// installation writes: the key keeps the job before the held chunk reaches it
// until the test lets it go on.
constexpr size_t kHeldChunk = 2;

struct SharedRequestLog {
    volatile size_t count = 0;
    uint8_t commands[64] = {};
    // A CancelUpdate that is encrypted or carries a payload.
    bool cancelNotPlain[64] = {};
    volatile size_t chunks = 0;
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};

    void note(const uint8_t* frame, uint32_t length) {
        if (length < kFrameHeaderSize || (frame[5] & FrameFlags::Resync) != 0) return;
        const uint8_t command = frame[5] & kFrameCodeMask;
        if (count < sizeof(commands)) {
            commands[count] = command;
            const bool plain = (frame[5] & FrameFlags::Encrypted) == 0 && frame[6] == 0 && frame[7] == 0;
            cancelNotPlain[count] = command == static_cast<uint8_t>(CommandCode::CancelUpdate) && !plain;
        }
        count = count + 1;
        if (command == static_cast<uint8_t>(CommandCode::WriteFirmware)) chunks = chunks + 1;
    }
    // Keeps the job here until the test releases it. A signal cuts a sleep
    // short and the wait goes on; a stop freezes it.
    void holdUntilReleased() {
        held = true;
        const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
        while (!released && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::string summary() const {
        std::string names;
        for (size_t i = 0; i < count && i < sizeof(commands); ++i) {
            names += (names.empty() ? "" : " ") + commandName(commands[i]);
            if (cancelNotPlain[i]) names += "(encrypted or with a payload)";
        }
        return names;
    }
};

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

bool echoOff(int terminal) {
    termios settings{};
    // On Linux the master reports the terminal's settings.
    tcgetattr(terminal, &settings);
    return (settings.c_lflag & (ECHO | ECHONL)) == 0;
}

// The dispositions a shell gives a job it starts.
constexpr int kJobSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU};

// A shell starts a job with the default dispositions and nothing blocked,
// whatever the test itself inherited; `ignored` (0 for none) is then ignored,
// as a wrapper script's `trap '' INT` leaves it. A run that ends by a signal
// writes no core file.
void startAsAJob(int ignored) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : kJobSignals) {
        (void)std::signal(signo, signo == ignored ? SIG_IGN : SIG_DFL);
        sigaddset(&signals, signo);
    }
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

// The dispositions are again those the job started with.
bool dispositionsAsStarted(int ignored) {
    for (int signo : kJobSignals) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) != 0) return false;
        if (action.sa_handler != (signo == ignored ? SIG_IGN : SIG_DFL)) return false;
    }
    return true;
}

// Runs in the job: the flow on a key with or without an SO PIN, on a terminal
// that echoes line ends even with echo off (ECHONL), so that the flow must
// clear that flag too. With `holdMidWrite` the key holds the job before the
// held chunk reaches it.
int runFlowOnTerminal(bool soPinSet, int ignored, bool holdMidWrite, SharedRequestLog& log) {
    startAsAJob(ignored);
    __fpurge(stdin);
    clearerr(stdin);
    std::cin.clear();
    termios initial{};
    tcgetattr(STDIN_FILENO, &initial);
    initial.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSANOW, &initial);

    VirtualKeySession k;
    k.key.state.soPinSet = soPinSet;
    k.key.state.soPin = kPin;
    if (!k.open()) return kChildOpenFailed;
    // Every request frame from here on is noted, as the session's device
    // receives it.
    k.enumerator.lastOpened->beforeBulkWrite = [&log, holdMidWrite](const uint8_t* frame, uint32_t length) {
        const size_t chunksBefore = log.chunks;
        log.note(frame, length);
        if (holdMidWrite && log.chunks == kHeldChunk && chunksBefore != kHeldChunk) log.holdUntilReleased();
    };

    terminalSettingsWrites = 0;
    traceInit(TraceLevel::Info);
    const int result = runUpdate(k.session, false);
    std::cout.flush();
    (void)std::fflush(stdout);
    if (!soPinSet && terminalSettingsWrites != 0) return kChildTouchedTerminalWithoutPin;
    if (!dispositionsAsStarted(ignored)) return kChildLeftDispositionsChanged;
    return result;
}

// What the shell stand-in tells the test, one record per write.
struct ShellReport {
    enum Kind : int { JobStarted, JobChanged, ForegroundMoved };
    Kind kind;
    int value;  // JobStarted: the job's pid; JobChanged: its wait status
};
// What the test tells the shell stand-in: which of the two gets the foreground.
constexpr char kForegroundToJob = 'j';
constexpr char kForegroundToShell = 's';

void report(int reports, ShellReport::Kind kind, int value) {
    const ShellReport record{kind, value};
    (void)!write(reports, &record, sizeof record);
}

// What bash sends a job when its terminal hangs up: SIGHUP, and to a stopped
// job SIGCONT and then SIGTERM after it.
void hangUpAsAShellDoes(pid_t group, bool stopped) {
    kill(-group, SIGHUP);
    if (stopped) {
        kill(-group, SIGCONT);
        kill(-group, SIGTERM);
    }
}

// From a shell passing a hang-up on to its end.
constexpr auto kShellExitTime = std::chrono::milliseconds(2);

volatile sig_atomic_t shellHungUp = 0;
void onShellHangUp(int) { shellHungUp = 1; }

// Runs in the shell stand-in and ends it: leads a session whose controlling
// terminal is `terminal`, runs `job` as a job in a group of its own in the
// foreground, and reports to the test until the job has ended. The test closing
// its end of `commands` ends the job. A hang-up of the terminal (SIGHUP) makes
// it pass the hang-up on to the job as a shell does and exit at once, leaving
// the job behind.
[[noreturn]] void actAsShell(int terminal, int reports, int commands, const std::function<int()>& job) {
    if (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(kShellFailed);
    // As a shell does, so that it can move the foreground while it is in the
    // background itself.
    (void)std::signal(SIGTTOU, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0) _exit(kShellFailed);
    if (pid == 0) {
        // Both sides put the job in its group and give it the foreground, so
        // neither order of the two processes leaves the job in the background.
        setpgid(0, 0);
        tcsetpgrp(terminal, getpgrp());
        _exit(job());
    }
    setpgid(pid, pid);
    tcsetpgrp(terminal, pid);
    // Not restarted: the poll below returns, and the loop sees the hang-up.
    struct sigaction hangUp {};
    hangUp.sa_handler = onShellHangUp;
    sigemptyset(&hangUp.sa_mask);
    sigaction(SIGHUP, &hangUp, nullptr);
    report(reports, ShellReport::JobStarted, pid);
    bool jobStopped = false;
    for (;;) {
        if (shellHungUp != 0) {
            hangUpAsAShellDoes(pid, jobStopped);
            // About the time a shell takes from there to its end, when the
            // kernel signals the foreground group.
            std::this_thread::sleep_for(kShellExitTime);
            _exit(0);
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG | WUNTRACED | WCONTINUED) == pid) {
            // A continue is only noted here: the test sees the job go on by
            // what it does.
            jobStopped = WIFSTOPPED(status);
            if (WIFCONTINUED(status)) continue;
            report(reports, ShellReport::JobChanged, status);
            if (!WIFSTOPPED(status)) _exit(0);
            continue;
        }
        pollfd fd{commands, POLLIN, 0};
        if (poll(&fd, 1, 5) <= 0) continue;
        char command = 0;
        if (read(commands, &command, 1) != 1) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            report(reports, ShellReport::JobChanged, status);
            _exit(0);
        }
        tcsetpgrp(terminal, command == kForegroundToJob ? pid : getpgrp());
        report(reports, ShellReport::ForegroundMoved, 0);
    }
}

// What the test does once "SO PIN: " has appeared.
enum class AtPinPrompt {
    None,             // the key has no SO PIN: no prompt comes
    TypePin,          // the PIN and a line end
    TypeEmptyLine,    // Enter alone
    EndInput,         // Ctrl-D on an empty line
    EndingSignal,     // the row's `endedBy`, as Ctrl-C, Ctrl-\, a hang-up or kill raise it
    IgnoredSignalThenPin,  // the row's `ignoredInJob`, then the PIN and a line end
    StopWithSigtstp,  // Ctrl-Z, then the shell's settings back, `fg`, and the PIN
    StopWithSigstop,  // the same with a stop that cannot be caught
    StopThenBackgroundThenForeground,  // Ctrl-Z, `bg` on the shell's line editor, then `fg` and the PIN
    PartOfPinThenSignal,  // part of the PIN without a line end, then the row's `endedBy` by kill from elsewhere
    PartOfPinThenStopAndForeground,  // part of the PIN, Ctrl-Z, the shell's settings back, `fg`; the whole
                                     // PIN once the prompt is shown again
    PartOfPinThenSigstopAndSigcont,  // part of the PIN, SIGSTOP and SIGCONT with nobody touching the
                                     // terminal; the whole PIN once the prompt is shown again
    StopThenKillFromTheShell,  // Ctrl-Z, the shell's settings back, then `kill %1` while the shell has the
                               // terminal: SIGTERM and SIGCONT
    PinThenHangUpMidWrite,     // the PIN; a hang-up while the key holds the held chunk
    PinThenStopMidWriteThenHangUp,  // the PIN; Ctrl-Z while the key holds the held chunk, the shell takes
                                    // the terminal back, then a hang-up
};

struct TerminalCase {
    const char* name;
    AtPinPrompt action;
    int exitCode;     // when the job exits
    int endedBy = 0;  // the signal that ends the job instead
    std::string afterPinPrompt;  // what standard output shows right after "SO PIN: " ("\r\n" line ends on the terminal)
    std::optional<std::string> sent = std::nullopt;  // the requests after the session was opened
    bool outputOnPipe = false;  // standard output on a pipe, as in `korvene-update | tee log`
    int ignoredInJob = 0;       // a signal the job starts with ignored
    // The hang-up of a row that acts mid-write is the terminal closing (the
    // test closes the master) rather than the signals a shell and the kernel
    // then send, sent by the test; what the job writes after it is lost.
    bool terminalCloses = false;
    const char* output = "";  // a text standard output also shows, when it can still be read
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

// The job is stopped at the prompt and goes on there in the foreground.
bool stops(AtPinPrompt action) {
    return action == AtPinPrompt::StopWithSigtstp || action == AtPinPrompt::StopWithSigstop ||
           action == AtPinPrompt::StopThenBackgroundThenForeground ||
           action == AtPinPrompt::PartOfPinThenStopAndForeground ||
           action == AtPinPrompt::PartOfPinThenSigstopAndSigcont;
}

// The job is stopped at the prompt by a SIGTSTP it can catch.
bool stopsByCtrlZAtPrompt(AtPinPrompt action) {
    return action == AtPinPrompt::StopWithSigtstp || action == AtPinPrompt::StopThenBackgroundThenForeground ||
           action == AtPinPrompt::PartOfPinThenStopAndForeground || action == AtPinPrompt::StopThenKillFromTheShell;
}

bool actsMidWrite(AtPinPrompt action) {
    return action == AtPinPrompt::PinThenHangUpMidWrite || action == AtPinPrompt::PinThenStopMidWriteThenHangUp;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// How many typed bytes a reader of the terminal would get now, an unfinished
// line included: a shell's line editor takes the terminal out of canonical
// mode and reads them as the start of its command line. Only counted, so that
// the job still finds them; the settings are put back.
int typedAndUnread(int slave) {
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) return -1;
    termios lineEditor = settings;
    lineEditor.c_lflag &= ~ICANON;
    lineEditor.c_cc[VMIN] = 0;
    lineEditor.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &lineEditor);
    int count = -1;
    ioctl(slave, FIONREAD, &count);
    tcsetattr(slave, TCSANOW, &settings);
    return count;
}

// Makes the test the parent of the descendants their parent leaves behind,
// for as long as it lives.
class AdoptingOrphans {
public:
    explicit AdoptingOrphans(bool on) : on(on) {
        if (on) (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    ~AdoptingOrphans() {
        if (on) (void)prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    AdoptingOrphans(const AdoptingOrphans&) = delete;
    AdoptingOrphans& operator=(const AdoptingOrphans&) = delete;

private:
    bool on;
};

// One read from `fd`, appended to `text`; false when it gave nothing.
bool readOnce(int fd, std::string& text) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text.append(buffer, static_cast<size_t>(n));
    return true;
}

// The test's side of a run: what the terminal showed, and the job as the shell
// stand-in reports it.
struct JobOnTerminal {
    JobOnTerminal(int master, int output, int reports, int commands)
        : master(master), output(output), reports(reports), commands(commands) {}

    int master;
    int output;    // the job's standard output when not the terminal; -1 once it has ended
    int reports;   // from the shell stand-in; -1 once it has gone
    int commands;  // to the shell stand-in
    pid_t job = -1;
    int status = 0;   // the job's last wait status
    int changes = 0;  // of its status so far
    bool ended = false;
    int moves = 0;  // of the foreground done so far
    std::string shown;    // on the terminal
    std::string printed;  // on the pipe of standard output

    // Waits up to `timeoutMs` for the terminal, the output pipe and the
    // stand-in and takes what they give; true when the terminal or the pipe
    // gave something.
    bool pump(int timeoutMs) {
        pollfd fds[] = {{master, POLLIN, 0}, {output, POLLIN, 0}, {reports, POLLIN, 0}};
        if (poll(fds, 3, timeoutMs) <= 0) return false;
        bool gave = false;
        if ((fds[0].revents & POLLIN) != 0) gave = readOnce(master, shown);
        if (fds[1].revents != 0) {
            if (readOnce(output, printed)) {
                gave = true;
            } else {
                close(output);
                output = -1;
            }
        }
        if (fds[2].revents != 0) takeReport();
        return gave;
    }
    void takeReport() {
        ShellReport record{};
        if (read(reports, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
            close(reports);
            reports = -1;
            return;
        }
        switch (record.kind) {
            case ShellReport::JobStarted:
                job = record.value;
                break;
            case ShellReport::JobChanged:
                status = record.value;
                changes = changes + 1;
                ended = !WIFSTOPPED(status);
                break;
            case ShellReport::ForegroundMoved:
                moves = moves + 1;
                break;
        }
    }
    bool waitUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline || reports < 0) return false;
            pump(5);
        }
        return true;
    }
    // Sends `signo` to the job's group, as the terminal does for a user's key.
    void sendToJob(int signo) const {
        if (job > 0) kill(-job, signo);
    }
    // Sends `signo` and waits until the job has stopped; false when it did not
    // (it may have ended instead).
    bool stopBy(int signo) {
        const int before = changes;
        sendToJob(signo);
        return waitUntil([&] { return changes > before; }) && WIFSTOPPED(status);
    }
    bool giveForegroundTo(char which) {
        const int before = moves;
        if (write(commands, &which, 1) != 1) return false;
        return waitUntil([&] { return moves > before; });
    }
    // Once the stand-in has gone the job is the test's child: waits for its
    // end as the stand-in would have, and ends it when it does not come.
    void awaitAdoptedJob() {
        const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
        while (!ended && job > 0) {
            int adoptedStatus = 0;
            const pid_t got = waitpid(job, &adoptedStatus, WNOHANG);
            if (got == job) {
                status = adoptedStatus;
                ended = true;
            } else if (got < 0) {
                return;
            } else if (std::chrono::steady_clock::now() > deadline) {
                kill(job, SIGKILL);
                waitpid(job, &adoptedStatus, 0);
                return;
            } else {
                pump(5);
            }
        }
    }
};

class SoPinOnTerminal : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(SoPinOnTerminal, StaysHiddenAndTheTerminalComesBackOnEveryWayOut) {
    const TerminalCase& c = GetParam();
    if (actsMidWrite(c.action)) {
        const std::string missing = missingChunks(kHeldChunk + 1);
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    resolveRealTcsetattr();
    void* shared = mmap(nullptr, sizeof(SharedRequestLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* log = new (shared) SharedRequestLog;

    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int reportPipe[2] = {-1, -1};
    int commandPipe[2] = {-1, -1};
    int outputPipe[2] = {-1, -1};
    ASSERT_EQ(pipe(reportPipe), 0);
    ASSERT_EQ(pipe(commandPipe), 0);
    if (c.outputOnPipe) {
        ASSERT_EQ(pipe(outputPipe), 0);
    }
    // A closing terminal ends the stand-in before the job.
    const AdoptingOrphans adopting(c.terminalCloses);
    std::cout.flush();
    (void)std::fflush(stdout);
    const pid_t shell = fork();
    ASSERT_GE(shell, 0) << "fork failed";
    if (shell == 0) {
        close(master);
        close(reportPipe[0]);
        close(commandPipe[1]);
        if (c.outputOnPipe) close(outputPipe[0]);
        actAsShell(slave, reportPipe[1], commandPipe[0], [&] {
            close(reportPipe[1]);
            close(commandPipe[0]);
            dup2(slave, STDIN_FILENO);
            dup2(c.outputOnPipe ? outputPipe[1] : slave, STDOUT_FILENO);
            close(slave);
            if (c.outputOnPipe) close(outputPipe[1]);
            return runFlowOnTerminal(c.action != AtPinPrompt::None, c.ignoredInJob, actsMidWrite(c.action), *log);
        });
    }
    close(reportPipe[1]);
    close(commandPipe[0]);
    if (c.outputOnPipe) close(outputPipe[1]);
    // The test keeps its end of the slave open, so the terminal's settings can
    // still be read once the job and the stand-in have gone.

    JobOnTerminal run(master, outputPipe[0], reportPipe[0], commandPipe[1]);
    // The prompts come where standard output goes.
    const std::string& prompts = c.outputOnPipe ? run.printed : run.shown;
    bool answered = false;
    bool acted = false;
    bool gaveUp = false;
    bool shellReaped = false;
    int shellStatus = 0;
    bool echoOffAtPrompt = false;
    bool restoredWhileStopped = false;
    bool echoOffAfterContinue = false;
    termios before{};
    termios ordinary{};  // what the shell puts back while the job is stopped
    bool shellSettingsPut = false;
    const std::string pinLine = std::string(kPin) + "\n";
    const auto type = [&](const std::string& text) {
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    // Part of the PIN, and a moment for the terminal to take it in.
    const auto typePartOfPin = [&] {
        type(kPartOfPin);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    // A job that ends instead of stopping ends the run with its status.
    const auto stopAtPrompt = [&](int signo) {
        if (!run.stopBy(signo)) {
            ADD_FAILURE() << "the job did not stop";
            return false;
        }
        termios whileStopped{};
        tcgetattr(master, &whileStopped);
        restoredWhileStopped = sameSettings(whileStopped, before);
        return true;
    };
    // A shell puts its own settings back, echo on; these differ a little from
    // the ones the program found, so the test can tell which of the two are
    // restored at the end.
    const auto putShellSettings = [&] {
        ordinary = before;
        ordinary.c_lflag = (ordinary.c_lflag | ECHO) ^ ECHOKE;
        tcsetattr(master, TCSANOW, &ordinary);
        shellSettingsPut = true;
    };
    // The job goes on at the prompt and is given the whole PIN: at once, or
    // once the prompt has been shown again.
    const auto continueAndTypePin = [&](bool awaitPromptAgain) {
        run.sendToJob(SIGCONT);
        echoOffAfterContinue = run.waitUntil([&] { return echoOff(master); });
        if (awaitPromptAgain && !run.waitUntil([&] { return occurrences(prompts, "SO PIN: ") > 1; })) {
            ADD_FAILURE() << "the prompt was not shown again when the job went on:\n" << prompts;
        }
        type(pinLine);
    };
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (!run.ended && run.reports >= 0 && !gaveUp) {
        if (std::chrono::steady_clock::now() > deadline) break;
        // The test acts once the job has gone quiet.
        if (run.pump(50)) continue;
        if (!answered && prompts.find("[y/n]: ") != std::string::npos) {
            tcgetattr(master, &before);
            type("y\n");
            answered = true;
        }
        if (acted || prompts.find("SO PIN: ") == std::string::npos) continue;
        acted = true;
        echoOffAtPrompt = echoOff(master);
        switch (c.action) {
            case AtPinPrompt::None:
                break;
            case AtPinPrompt::TypePin:
                type(pinLine);
                break;
            case AtPinPrompt::TypeEmptyLine:
                type("\n");
                break;
            case AtPinPrompt::EndInput:
                type("\x04");
                break;
            case AtPinPrompt::EndingSignal:
                run.sendToJob(c.endedBy);
                break;
            case AtPinPrompt::IgnoredSignalThenPin:
                run.sendToJob(c.ignoredInJob);
                type(pinLine);
                break;
            case AtPinPrompt::StopWithSigtstp:
            case AtPinPrompt::StopWithSigstop:
            case AtPinPrompt::StopThenBackgroundThenForeground: {
                if (!stopAtPrompt(c.action == AtPinPrompt::StopWithSigstop ? SIGSTOP : SIGTSTP)) break;
                EXPECT_TRUE(run.giveForegroundTo(kForegroundToShell)) << "the shell did not take the terminal";
                if (c.action == AtPinPrompt::StopThenBackgroundThenForeground) {
                    // `bg` from a shell's line editor: its raw settings are on
                    // the terminal while the job goes on in the background. The
                    // job stops again when it reads the terminal, or when it
                    // changes the settings.
                    termios lineEditor = before;
                    lineEditor.c_lflag &= ~(ICANON | ECHO);
                    tcsetattr(master, TCSANOW, &lineEditor);
                    if (!run.stopBy(SIGCONT)) {
                        ADD_FAILURE() << "the job did not stop again in the background";
                        break;
                    }
                }
                putShellSettings();
                EXPECT_TRUE(run.giveForegroundTo(kForegroundToJob)) << "the shell did not give the job the terminal";
                continueAndTypePin(false);
                break;
            }
            case AtPinPrompt::PartOfPinThenSignal:
                typePartOfPin();
                run.sendToJob(c.endedBy);
                break;
            case AtPinPrompt::PartOfPinThenStopAndForeground:
                typePartOfPin();
                if (!stopAtPrompt(SIGTSTP)) break;
                EXPECT_TRUE(run.giveForegroundTo(kForegroundToShell)) << "the shell did not take the terminal";
                EXPECT_EQ(typedAndUnread(slave), 0) << "the part of the PIN typed before the stop was left for the "
                                                       "shell's command line";
                putShellSettings();
                EXPECT_TRUE(run.giveForegroundTo(kForegroundToJob)) << "the shell did not give the job the terminal";
                continueAndTypePin(true);
                break;
            case AtPinPrompt::PartOfPinThenSigstopAndSigcont:
                typePartOfPin();
                if (!stopAtPrompt(SIGSTOP)) break;
                continueAndTypePin(true);
                break;
            case AtPinPrompt::StopThenKillFromTheShell: {
                if (!stopAtPrompt(SIGTSTP)) break;
                EXPECT_TRUE(run.giveForegroundTo(kForegroundToShell)) << "the shell did not take the terminal";
                putShellSettings();
                // `kill %1` on a stopped job: SIGTERM, then SIGCONT so that it
                // can take it.
                const int changesBefore = run.changes;
                run.sendToJob(SIGTERM);
                run.sendToJob(SIGCONT);
                if (!run.waitUntil([&] { return run.changes > changesBefore; })) {
                    ADD_FAILURE() << "the job neither ended nor stopped again";
                    gaveUp = true;
                } else if (WIFSTOPPED(run.status)) {
                    ADD_FAILURE() << "the job stopped again, by " << strsignal(WSTOPSIG(run.status));
                    gaveUp = true;
                }
                break;
            }
            case AtPinPrompt::PinThenHangUpMidWrite:
            case AtPinPrompt::PinThenStopMidWriteThenHangUp: {
                type(pinLine);
                if (!run.waitUntil([&] { return log->held.load(); })) {
                    ADD_FAILURE() << "the installation did not reach chunk " << kHeldChunk;
                    break;
                }
                const bool stopped = c.action == AtPinPrompt::PinThenStopMidWriteThenHangUp;
                if (stopped) {
                    if (!run.stopBy(SIGTSTP)) {
                        ADD_FAILURE() << "the job did not stop mid-write";
                        break;
                    }
                    // A shell takes the terminal back when its job stops.
                    EXPECT_TRUE(run.giveForegroundTo(kForegroundToShell)) << "the shell did not take the terminal";
                }
                if (c.terminalCloses) {
                    // The kernel hangs up the terminal and signals the
                    // stand-in, which passes the hang-up on and exits; as it
                    // goes, the kernel sends SIGHUP and SIGCONT to the group
                    // that had the foreground.
                    while (run.pump(0)) {
                    }
                    close(master);
                    master = -1;
                    run.master = -1;
                    if (run.waitUntil([&] { return run.reports < 0; })) {
                        waitpid(shell, &shellStatus, 0);
                        shellReaped = true;
                    }
                } else {
                    // As the shell passes the hang-up on, and, as it exits, the
                    // kernel signals the foreground group, which a stopped job
                    // is no longer in.
                    hangUpAsAShellDoes(run.job, stopped);
                    if (!stopped) {
                        std::this_thread::sleep_for(kShellExitTime);
                        run.sendToJob(SIGHUP);
                        run.sendToJob(SIGCONT);
                    }
                }
                log->released = true;
                break;
            }
        }
    }
    log->released = true;
    // A stand-in still running ends the job when its commands end, and then
    // itself.
    close(commandPipe[1]);
    if (!shellReaped) waitpid(shell, &shellStatus, 0);
    while (run.reports >= 0) run.takeReport();
    if (c.terminalCloses) run.awaitAdoptedJob();
    // What the job wrote between the last poll and its end still waits on the
    // master and the pipe. The test holds its end of the slave open, so the
    // master reports no hang-up: poll answers only when there is something to
    // read.
    while (run.pump(0)) {
    }
    const bool terminalClosed = master < 0;
    termios after{};
    int leftToRead = 0;
    if (!terminalClosed) {
        tcgetattr(master, &after);
        leftToRead = typedAndUnread(slave);
        close(master);
    }
    close(slave);
    const std::string sent = log->summary();
    log->~SharedRequestLog();
    munmap(shared, sizeof(SharedRequestLog));

    ASSERT_GT(run.job, 0) << "the shell stand-in did not start the job: exit code " << WEXITSTATUS(shellStatus);
    ASSERT_TRUE(run.ended) << "the flow did not end; the terminal showed:\n" << run.shown;
    if (c.endedBy != 0) {
        ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit code " << WEXITSTATUS(run.status);
        EXPECT_EQ(WTERMSIG(run.status), c.endedBy) << strsignal(WTERMSIG(run.status));
    } else {
        ASSERT_TRUE(WIFEXITED(run.status)) << "ended by " << strsignal(WTERMSIG(run.status));
        EXPECT_EQ(WEXITSTATUS(run.status), c.exitCode)
            << "101: terminal settings written without an SO PIN; 102: signal dispositions not put back";
    }
    if (!terminalClosed) {
        EXPECT_TRUE(sameSettings(after, shellSettingsPut ? ordinary : before))
            << "the terminal's settings at the end are not the ones to restore";
        EXPECT_EQ(leftToRead, 0) << "bytes typed at the prompt are left on the terminal for the shell to read";
        EXPECT_NE(prompts.find(c.output), std::string::npos) << prompts;
    }
    EXPECT_EQ(run.shown.find(kPin), std::string::npos) << "the PIN was shown:\n" << run.shown;
    if (c.sent) {
        EXPECT_EQ(sent, *c.sent);
    }
    if (c.action == AtPinPrompt::None) {
        EXPECT_EQ(run.shown.find("SO PIN: "), std::string::npos) << run.shown;
        EXPECT_NE(run.shown.find("[y/n]: y\r\nWriting firmware "), std::string::npos) << run.shown;
        return;
    }
    EXPECT_TRUE(echoOffAtPrompt) << "ECHO and ECHONL must both be off at the prompt";
    EXPECT_NE(prompts.find("SO PIN: " + c.afterPinPrompt), std::string::npos) << prompts;
    if (stopsByCtrlZAtPrompt(c.action)) {
        EXPECT_TRUE(restoredWhileStopped) << "the terminal was left without echo while the job was stopped";
    }
    if (stops(c.action)) {
        EXPECT_TRUE(echoOffAfterContinue) << "echo stayed on after the job went on";
    }
}

const int kUpdated = static_cast<int>(ExitCode::Updated);
const int kCanceled = static_cast<int>(ExitCode::Canceled);
// What the key receives when the installation stops after the held chunk.
const std::string kCanceledAfterTheHeldChunk =
    "GetInfo KeyExchange SetupUpdate WriteFirmware WriteFirmware CancelUpdate";

INSTANTIATE_TEST_SUITE_P(
    AtThePrompt, SoPinOnTerminal,
    ::testing::Values(
        TerminalCase{"PinAndLineEnd", AtPinPrompt::TypePin, kUpdated, 0, "\r\nWriting firmware "},
        TerminalCase{"EndOfInputCancelsAndSendsNothing", AtPinPrompt::EndInput, kCanceled, 0,
                     "\r\nUpdate canceled.\r\n", "GetInfo"},
        TerminalCase{"EmptyLineCancelsAndSendsNothing", AtPinPrompt::TypeEmptyLine, kCanceled, 0,
                     "\r\nUpdate canceled.\r\n", "GetInfo"},
        TerminalCase{"InterruptEndsBySigintWithTheTerminalRestored", AtPinPrompt::EndingSignal, 0, SIGINT, "",
                     "GetInfo"},
        TerminalCase{"TerminateEndsBySigtermWithTheTerminalRestored", AtPinPrompt::EndingSignal, 0, SIGTERM, "",
                     "GetInfo"},
        TerminalCase{"HangUpEndsBySighupWithTheTerminalRestored", AtPinPrompt::EndingSignal, 0, SIGHUP, "",
                     "GetInfo"},
        TerminalCase{"QuitEndsBySigquitWithTheTerminalRestored", AtPinPrompt::EndingSignal, 0, SIGQUIT, "",
                     "GetInfo"},
        TerminalCase{.name = "IgnoredInterruptStaysIgnoredAndThePinStillUpdates",
                     .action = AtPinPrompt::IgnoredSignalThenPin,
                     .exitCode = kUpdated,
                     .afterPinPrompt = "\r\nWriting firmware ",
                     .ignoredInJob = SIGINT},
        TerminalCase{.name = "OutputOnAPipeStillHidesThePinTypedOnTheTerminal",
                     .action = AtPinPrompt::TypePin,
                     .exitCode = kUpdated,
                     .afterPinPrompt = "\nWriting firmware ",
                     .outputOnPipe = true},
        TerminalCase{"StopAndContinueKeepsThePinHidden", AtPinPrompt::StopWithSigtstp, kUpdated, 0,
                     "\r\nWriting firmware "},
        TerminalCase{"UncatchableStopAndContinueKeepsThePinHidden", AtPinPrompt::StopWithSigstop, kUpdated, 0,
                     "\r\nWriting firmware "},
        TerminalCase{"ContinuedInTheBackgroundKeepsThePinHiddenAndTheOrdinarySettings",
                     AtPinPrompt::StopThenBackgroundThenForeground, kUpdated, 0, "\r\nWriting firmware "},
        TerminalCase{"KeyWithoutSoPinLeavesTheTerminalAlone", AtPinPrompt::None, kUpdated, 0, ""},
        TerminalCase{"PartlyTypedPinThenSigtermLeavesNothingOfItToRead", AtPinPrompt::PartOfPinThenSignal, 0, SIGTERM,
                     "", "GetInfo"},
        TerminalCase{"PartlyTypedPinThenSighupLeavesNothingOfItToRead", AtPinPrompt::PartOfPinThenSignal, 0, SIGHUP,
                     "", "GetInfo"},
        TerminalCase{"PartlyTypedPinThenSigquitLeavesNothingOfItToRead", AtPinPrompt::PartOfPinThenSignal, 0, SIGQUIT,
                     "", "GetInfo"},
        TerminalCase{"PartlyTypedPinThenStopAndForegroundPromptsAgainAndTheWholePinUpdates",
                     AtPinPrompt::PartOfPinThenStopAndForeground, kUpdated, 0, "\r\nWriting firmware "},
        TerminalCase{"PartlyTypedPinThenSigstopAndSigcontPromptsAgainAndPutsBackTheSettingsFound",
                     AtPinPrompt::PartOfPinThenSigstopAndSigcont, kUpdated, 0, "\r\nWriting firmware "},
        TerminalCase{"StoppedAtThePromptThenKilledFromTheShellEndsBySigterm", AtPinPrompt::StopThenKillFromTheShell, 0,
                     SIGTERM, "", "GetInfo"},
        TerminalCase{.name = "HangUpMidWriteCancelsOnce",
                     .action = AtPinPrompt::PinThenHangUpMidWrite,
                     .exitCode = kCanceled,
                     .afterPinPrompt = "\r\nWriting firmware .",
                     .sent = kCanceledAfterTheHeldChunk,
                     .output = "Update canceled.\r\n"},
        TerminalCase{.name = "TerminalClosedMidWriteCancelsOnce",
                     .action = AtPinPrompt::PinThenHangUpMidWrite,
                     .exitCode = kCanceled,
                     .afterPinPrompt = "\r\nWriting firmware .",
                     .sent = kCanceledAfterTheHeldChunk,
                     .terminalCloses = true},
        TerminalCase{.name = "HangUpOfTheJobStoppedMidWriteCancelsOnce",
                     .action = AtPinPrompt::PinThenStopMidWriteThenHangUp,
                     .exitCode = kCanceled,
                     .afterPinPrompt = "\r\nWriting firmware .",
                     .sent = kCanceledAfterTheHeldChunk,
                     .output = "Update canceled.\r\n"},
        TerminalCase{.name = "TerminalClosedWithTheJobStoppedMidWriteCancelsOnce",
                     .action = AtPinPrompt::PinThenStopMidWriteThenHangUp,
                     .exitCode = kCanceled,
                     .afterPinPrompt = "\r\nWriting firmware .",
                     .sent = kCanceledAfterTheHeldChunk,
                     .terminalCloses = true}),
    [](const ::testing::TestParamInfo<TerminalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvene::testing
