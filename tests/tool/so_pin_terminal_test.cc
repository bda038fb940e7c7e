// The SO PIN typed on a real terminal: the update flow runs in a child whose
// standard input and output are a pseudo-terminal, and the test acts at its
// prompts as a user and a shell would: it types, interrupts, stops the job,
// puts the shell's own settings back and continues it. The terminal itself
// would echo whatever it is given, so a PIN that does not come back proves
// echo was off.
//
// The child runs in a process group of its own inside the test's session, as
// a job of a shell does, so that a stop by SIGTSTP takes effect (the kernel
// discards it for an orphaned group). The pseudo-terminal is the child's
// standard input and output but not its controlling terminal; the signals a
// user's keys would raise are sent with kill.
#include <dlfcn.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

// Every change of terminal settings this binary makes is counted, so that a
// run can show it left the terminal alone. The count and the real function
// live in the calling process; the child reads its own.
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
// Exit codes of the child beyond the flow's own.
constexpr int kChildOpenFailed = 100;
constexpr int kChildTouchedTerminalWithoutPin = 101;
constexpr int kChildLeftHandlersInstalled = 102;

constexpr auto kRunLimit = std::chrono::seconds(20);
constexpr auto kStepLimit = std::chrono::seconds(5);

// What the child's key received after its session was opened, shared with the
// test across the fork.
struct SharedRequestLog {
    volatile size_t count = 0;
    uint8_t commands[64] = {};

    void note(const uint8_t* frame, uint32_t length) {
        if (length < kFrameHeaderSize || (frame[5] & FrameFlags::Resync) != 0) return;
        if (count < sizeof(commands)) commands[count] = frame[5] & kFrameCodeMask;
        count = count + 1;
    }
    std::string summary() const {
        std::string names;
        for (size_t i = 0; i < count && i < sizeof(commands); ++i) {
            names += (names.empty() ? "" : " ") + commandName(commands[i]);
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

constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};

// A shell starts a foreground job with the default dispositions and nothing
// blocked, whatever the test itself inherited.
void startAsAJob() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : kPromptSignals) {
        (void)std::signal(signo, SIG_DFL);
        sigaddset(&signals, signo);
    }
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

bool handlersAreDefault() {
    for (int signo : kPromptSignals) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) return false;
    }
    return true;
}

// Runs in the child: the flow on a key with or without an SO PIN, on a
// terminal that echoes line ends even with echo off (ECHONL), so that the flow
// must clear that flag too.
int runFlowOnTerminal(bool soPinSet, SharedRequestLog& log) {
    startAsAJob();
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
    k.enumerator.lastOpened->beforeBulkWrite = [&log](const uint8_t* frame, uint32_t length) {
        log.note(frame, length);
    };

    terminalSettingsWrites = 0;
    traceInit(TraceLevel::Info);
    const int result = runUpdate(k.session, false);
    std::cout.flush();
    (void)std::fflush(stdout);
    if (!soPinSet && terminalSettingsWrites != 0) return kChildTouchedTerminalWithoutPin;
    if (!handlersAreDefault()) return kChildLeftHandlersInstalled;
    return result;
}

// What the test does once "SO PIN: " has appeared.
enum class AtPinPrompt {
    None,             // the key has no SO PIN: no prompt comes
    TypePin,          // the PIN and a line end
    TypeEmptyLine,    // Enter alone
    EndInput,         // Ctrl-D on an empty line
    Interrupt,        // SIGINT, as Ctrl-C raises it
    StopWithSigtstp,  // Ctrl-Z, then the shell's settings back, SIGCONT, and the PIN
    StopWithSigstop,  // the same with a stop that cannot be caught
};

struct TerminalCase {
    const char* name;
    AtPinPrompt action;
    int exitCode;     // when the child exits
    int endedBy = 0;  // the signal that ends the child instead
    std::string afterPinPrompt;  // what the terminal shows right after "SO PIN: " ("\r\n" line ends)
    std::optional<std::string> sent = std::nullopt;  // the requests after the session was opened
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

bool stops(AtPinPrompt action) {
    return action == AtPinPrompt::StopWithSigtstp || action == AtPinPrompt::StopWithSigstop;
}

// One read of what the terminal shows, appended to `shown`; false when it
// gave nothing.
bool readOnce(int master, std::string& shown) {
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    shown.append(buffer, static_cast<size_t>(n));
    return true;
}

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class SoPinOnTerminal : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(SoPinOnTerminal, StaysHiddenAndTheTerminalComesBackOnEveryWayOut) {
    const TerminalCase& c = GetParam();
    resolveRealTcsetattr();
    void* shared = mmap(nullptr, sizeof(SharedRequestLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* log = new (shared) SharedRequestLog;

    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::cout.flush();
    (void)std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
        setpgid(0, 0);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        close(master);
        close(slave);
        _exit(runFlowOnTerminal(c.action != AtPinPrompt::None, *log));
    }
    // The test keeps its end of the slave open, so the terminal's settings can
    // still be read once the child has gone.

    std::string shown;
    bool answered = false;
    bool acted = false;
    bool echoOffAtPrompt = false;
    bool restoredWhileStopped = false;
    bool echoOffAfterContinue = false;
    termios before{};
    termios shell{};  // what the shell puts back while the job is stopped
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (!ended) {
        if (std::chrono::steady_clock::now() > deadline) break;
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 50) > 0) {
            readOnce(master, shown);
            continue;
        }
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!answered && shown.find("[y/n]: ") != std::string::npos) {
            tcgetattr(master, &before);
            EXPECT_EQ(write(master, "y\n", 2), 2);
            answered = true;
        }
        if (acted || shown.find("SO PIN: ") == std::string::npos) continue;
        acted = true;
        echoOffAtPrompt = echoOff(master);
        const std::string pinLine = std::string(kPin) + "\n";
        switch (c.action) {
            case AtPinPrompt::None:
                break;
            case AtPinPrompt::TypePin:
                EXPECT_EQ(write(master, pinLine.data(), pinLine.size()), static_cast<ssize_t>(pinLine.size()));
                break;
            case AtPinPrompt::TypeEmptyLine:
                EXPECT_EQ(write(master, "\n", 1), 1);
                break;
            case AtPinPrompt::EndInput:
                EXPECT_EQ(write(master, "\x04", 1), 1);
                break;
            case AtPinPrompt::Interrupt:
                kill(child, SIGINT);
                break;
            case AtPinPrompt::StopWithSigtstp:
            case AtPinPrompt::StopWithSigstop: {
                kill(child, c.action == AtPinPrompt::StopWithSigtstp ? SIGTSTP : SIGSTOP);
                // A child that ends instead of stopping is reaped here: its
                // status is the run's, and the run is over.
                const bool changed =
                    waitUntil([&] { return waitpid(child, &status, WNOHANG | WUNTRACED) == child; });
                if (!changed || !WIFSTOPPED(status)) {
                    ended = changed;
                    ADD_FAILURE() << "the job did not stop";
                    break;
                }
                termios whileStopped{};
                tcgetattr(master, &whileStopped);
                restoredWhileStopped = sameSettings(whileStopped, before);
                // A shell puts its own settings back, echo on; these differ a
                // little from the ones the program found, so the test can tell
                // which of the two are restored at the end.
                shell = before;
                shell.c_lflag = (shell.c_lflag | ECHO) ^ ECHOKE;
                tcsetattr(master, TCSANOW, &shell);
                kill(child, SIGCONT);
                echoOffAfterContinue = waitUntil([&] { return echoOff(master); });
                EXPECT_EQ(write(master, pinLine.data(), pinLine.size()), static_cast<ssize_t>(pinLine.size()));
                break;
            }
        }
    }
    // What the child wrote between the last poll and its end still waits on
    // the master. The test holds its end of the slave open, so the master
    // reports no hang-up: poll answers only when there is something to read.
    for (pollfd fd{master, POLLIN, 0}; poll(&fd, 1, 0) > 0 && readOnce(master, shown);) {
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    termios after{};
    tcgetattr(master, &after);
    close(master);
    close(slave);
    const std::string sent = log->summary();
    munmap(shared, sizeof(SharedRequestLog));

    ASSERT_TRUE(ended) << "the flow did not end; the terminal showed:\n" << shown;
    if (c.endedBy != 0) {
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), c.endedBy);
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), c.exitCode)
            << "101: terminal settings written without an SO PIN; 102: signal handlers left installed";
    }
    EXPECT_TRUE(sameSettings(after, stops(c.action) ? shell : before))
        << "the terminal's settings at the end are not the ones to restore";
    EXPECT_EQ(shown.find(kPin), std::string::npos) << "the PIN was shown:\n" << shown;
    if (c.sent) {
        EXPECT_EQ(sent, *c.sent);
    }
    if (c.action == AtPinPrompt::None) {
        EXPECT_EQ(shown.find("SO PIN: "), std::string::npos) << shown;
        EXPECT_NE(shown.find("[y/n]: y\r\nWriting firmware "), std::string::npos) << shown;
        return;
    }
    EXPECT_TRUE(echoOffAtPrompt) << "ECHO and ECHONL must both be off at the prompt";
    EXPECT_NE(shown.find("SO PIN: " + c.afterPinPrompt), std::string::npos) << shown;
    if (c.action == AtPinPrompt::StopWithSigtstp) {
        EXPECT_TRUE(restoredWhileStopped) << "the terminal was left without echo while the job was stopped";
    }
    if (stops(c.action)) {
        EXPECT_TRUE(echoOffAfterContinue) << "echo stayed on after the job went on";
    }
}

const int kUpdated = static_cast<int>(ExitCode::Updated);
const int kCanceled = static_cast<int>(ExitCode::Canceled);

INSTANTIATE_TEST_SUITE_P(
    AtThePrompt, SoPinOnTerminal,
    ::testing::Values(
        TerminalCase{"PinAndLineEnd", AtPinPrompt::TypePin, kUpdated, 0, "\r\nWriting firmware "},
        TerminalCase{"EndOfInputCancelsAndSendsNothing", AtPinPrompt::EndInput, kCanceled, 0,
                     "\r\nUpdate canceled.\r\n", "GetInfo"},
        TerminalCase{"EmptyLineCancelsAndSendsNothing", AtPinPrompt::TypeEmptyLine, kCanceled, 0,
                     "\r\nUpdate canceled.\r\n", "GetInfo"},
        TerminalCase{"InterruptEndsBySigintWithTheTerminalRestored", AtPinPrompt::Interrupt, 0, SIGINT, "",
                     "GetInfo"},
        TerminalCase{"StopAndContinueKeepsThePinHidden", AtPinPrompt::StopWithSigtstp, kUpdated, 0,
                     "\r\nWriting firmware "},
        TerminalCase{"UncatchableStopAndContinueKeepsThePinHidden", AtPinPrompt::StopWithSigstop, kUpdated, 0,
                     "\r\nWriting firmware "},
        TerminalCase{"KeyWithoutSoPinLeavesTheTerminalAlone", AtPinPrompt::None, kUpdated, 0, ""}),
    [](const ::testing::TestParamInfo<TerminalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvene::testing
