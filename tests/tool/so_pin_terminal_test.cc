// The SO PIN typed on a real terminal: the update flow runs in a child whose
// standard input and output are a pseudo-terminal, and the test types at its
// prompts as a user would. The terminal itself would echo whatever it is
// given, so a PIN that does not come back proves echo was off.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene::testing {
namespace {

constexpr char kPin[] = "2468";
// Exit codes of the child beyond the flow's own.
constexpr int kChildOpenFailed = 100;
constexpr int kChildSettingsChanged = 101;

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

// Runs in the child: the flow on a key with an SO PIN, the terminal's
// settings compared before and after.
int runFlowOnTerminal() {
    __fpurge(stdin);
    clearerr(stdin);
    std::cin.clear();
    VirtualKeySession k;
    k.key.state.soPinSet = true;
    k.key.state.soPin = kPin;
    if (!k.open()) return kChildOpenFailed;
    termios before{};
    tcgetattr(STDIN_FILENO, &before);
    traceInit(TraceLevel::Info);
    const int result = runUpdate(k.session, false);
    termios after{};
    tcgetattr(STDIN_FILENO, &after);
    std::cout.flush();
    (void)std::fflush(stdout);
    return sameSettings(before, after) ? result : kChildSettingsChanged;
}

struct TerminalCase {
    const char* name;
    std::string typedAtPinPrompt;
    int exitCode;
    std::string afterPinPrompt;  // what the terminal shows next (output post-processed: "\r\n")
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

class SoPinOnTerminal : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(SoPinOnTerminal, IsReadWithoutEchoAndTheTerminalSettingsAreRestored) {
    const TerminalCase& c = GetParam();
    std::cout.flush();
    (void)std::fflush(stdout);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0) << "forkpty failed";
    if (child == 0) _exit(runFlowOnTerminal());

    std::string shown;
    bool answered = false;
    bool pinTyped = false;
    bool echoOffAtPrompt = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool timedOut = false;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        shown.append(buffer, static_cast<size_t>(n));
        if (!answered && shown.find("[y/n]: ") != std::string::npos) {
            EXPECT_EQ(write(master, "y\n", 2), 2);
            answered = true;
        }
        if (!pinTyped && shown.find("SO PIN: ") != std::string::npos) {
            termios settings{};
            // On Linux the master reports the terminal's settings.
            tcgetattr(master, &settings);
            echoOffAtPrompt = (settings.c_lflag & (ECHO | ECHONL)) == 0;
            EXPECT_EQ(write(master, c.typedAtPinPrompt.data(), c.typedAtPinPrompt.size()),
                      static_cast<ssize_t>(c.typedAtPinPrompt.size()));
            pinTyped = true;
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(master);

    ASSERT_FALSE(timedOut) << "the flow did not end; the terminal showed:\n" << shown;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << "101: the terminal settings were not restored";
    EXPECT_TRUE(echoOffAtPrompt);
    EXPECT_EQ(shown.find(kPin), std::string::npos) << shown;
    EXPECT_NE(shown.find("SO PIN: " + c.afterPinPrompt), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(
    Typed, SoPinOnTerminal,
    ::testing::Values(TerminalCase{"PinAndLineEnd", std::string(kPin) + "\n", static_cast<int>(ExitCode::Updated),
                                   "\r\nWriting firmware "},
                      // Ctrl-D on an empty line: end of input before any PIN byte.
                      TerminalCase{"EndOfInput", "\x04", static_cast<int>(ExitCode::Canceled),
                                   "\r\nUpdate canceled.\r\n"}),
    [](const ::testing::TestParamInfo<TerminalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvene::testing
