// An interrupt while the installation runs: the update flow runs in a child
// process, since signal dispositions belong to the whole process, on a session
// opened on the virtual key, and the key's device raises the signals of a row
// just before a chosen request reaches the key. The request in flight still
// goes; the next one must not, and the key must be sent its cancel request.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/virtual_key_device.h"
#include "tests/support/stdin_feed.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene::testing {
namespace {

constexpr int kWindowSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr auto kRunLimit = std::chrono::seconds(20);
constexpr int kChildOpenFailed = 100;

struct InterruptCase {
    const char* name;
    CommandCode at;                // the request just before which the signals come
    int occurrence;                // its 1-based count among requests of that command
    std::vector<int> signals;      // raised in this order
    int exitCode = 0;              // when the child exits
    int endedBy = 0;               // the signal that ends the child instead
    std::string requests = "";     // what the key received after the session was opened
    std::string output = "";       // a text standard output must hold
    bool sigHupIgnored = false;    // the run starts with SIGHUP ignored, as under nohup
    bool onAnotherThread = false;  // the signals are taken on a thread other than the flow's
    size_t chunksNeeded = 1;
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

// What the child reports after the flow returned.
struct ChildReport {
    std::string requests;
    std::string cancel;        // "plain", "encrypted or with a payload", or "none"
    std::string dispositions;  // "as before" or which signal's disposition was left changed
};

// A shell starts a job with the default dispositions and nothing blocked.
void startAsAJob(bool sigHupIgnored) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : kWindowSignals) {
        (void)std::signal(signo, SIG_DFL);
        sigaddset(&signals, signo);
    }
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    if (sigHupIgnored) (void)std::signal(SIGHUP, SIG_IGN);
}

std::string dispositionsLeft(bool sigHupIgnored) {
    for (int signo : kWindowSignals) {
        struct sigaction action {};
        sigaction(signo, nullptr, &action);
        const auto expected = (signo == SIGHUP && sigHupIgnored) ? SIG_IGN : SIG_DFL;
        if (action.sa_handler != expected) return std::string("changed for ") + strsignal(signo);
    }
    return "as before";
}

void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Runs in the child: the flow answering y on a key without SO PIN, standard
// output on `outputFd`, the report on `reportFd`.
int runInterruptedFlow(const InterruptCase& c, int outputFd, int reportFd) {
    startAsAJob(c.sigHupIgnored);
    dup2(outputFd, STDOUT_FILENO);
    VirtualKeySession k;
    if (!k.open()) return kChildOpenFailed;
    std::map<uint8_t, int> seen;
    k.enumerator.lastOpened->beforeBulkWrite = [&](const uint8_t* frame, uint32_t length) {
        if (length < kFrameHeaderSize || (frame[5] & FrameFlags::Resync) != 0) return;
        const uint8_t command = frame[5] & kFrameCodeMask;
        if (command != static_cast<uint8_t>(c.at) || ++seen[command] != c.occurrence) return;
        const auto raiseAll = [&c] {
            for (int signo : c.signals) (void)raise(signo);
        };
        if (c.onAnotherThread) {
            std::thread(raiseAll).join();
        } else {
            raiseAll();
        }
    };

    const StdinFeed feed("y\n");
    traceInit(TraceLevel::Info);
    const int result = runUpdate(k.session, false);
    std::cout.flush();
    (void)std::fflush(stdout);

    const ReceivedRequest* cancel = k.key.lastRequest(static_cast<uint8_t>(CommandCode::CancelUpdate));
    const std::string cancelState =
        cancel == nullptr ? "none" : (!cancel->encrypted && cancel->length == 0 ? "plain" : "encrypted or with a payload");
    writeAll(reportFd, k.requestsSinceOpen() + "\n" + cancelState + "\n" + dispositionsLeft(c.sigHupIgnored) + "\n");
    return result;
}

ChildReport parseReport(const std::string& text) {
    ChildReport report;
    std::string* fields[] = {&report.requests, &report.cancel, &report.dispositions};
    size_t from = 0;
    for (std::string* field : fields) {
        const size_t end = text.find('\n', from);
        if (end == std::string::npos) break;
        *field = text.substr(from, end - from);
        from = end + 1;
    }
    return report;
}

class UpdateInterrupt : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(UpdateInterrupt, EndsWithTheVerdictOrOneCancelRequest) {
    const InterruptCase& c = GetParam();
    const std::string missing = missingChunks(c.chunksNeeded);
    if (!missing.empty()) GTEST_SKIP() << missing;

    int output[2];
    int report[2];
    ASSERT_EQ(pipe(output), 0);
    ASSERT_EQ(pipe(report), 0);
    std::cout.flush();
    (void)std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
        close(output[0]);
        close(report[0]);
        _exit(runInterruptedFlow(c, output[1], report[1]));
    }
    close(output[1]);
    close(report[1]);

    std::string texts[2];
    pollfd fds[2] = {{output[0], POLLIN, 0}, {report[0], POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i].append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (timedOut) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_FALSE(timedOut) << "the flow did not end; it printed:\n" << texts[0];

    const std::string& printed = texts[0];
    if (c.endedBy != 0) {
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status) << "; printed:\n" << printed;
        EXPECT_EQ(WTERMSIG(status), c.endedBy) << strsignal(WTERMSIG(status));
        return;
    }
    ASSERT_TRUE(WIFEXITED(status)) << "ended by " << strsignal(WTERMSIG(status)) << "; printed:\n" << printed;
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << printed;
    const ChildReport got = parseReport(texts[1]);
    EXPECT_EQ(got.requests, c.requests);
    const bool canceled = c.exitCode == static_cast<int>(ExitCode::Canceled);
    EXPECT_EQ(got.cancel, canceled ? "plain" : "none");
    EXPECT_EQ(got.dispositions, "as before") << "the window must put back the dispositions it found";
    EXPECT_NE(printed.find(c.output), std::string::npos) << printed;
    EXPECT_NE(printed.find(canceled ? "Update canceled.\n" : "Updated successfully!\n"), std::string::npos)
        << printed;
}

std::vector<InterruptCase> interruptCases() {
    const size_t chunks = embeddedChunkCount();
    const std::string toChunks = "GetInfo KeyExchange SetupUpdate ";
    const std::string afterThird = toChunks + chunkRequests(3) + " CancelUpdate";
    const std::string whole = toChunks + chunkRequests(chunks) + " GetFirmwareHash DeployFirmware FinishUpdate";
    const std::string interrupted = "[ERROR  ] Update interrupted.\n";
    const std::string atFourthChunk = "Writing firmware ..." + interrupted;
    const int canceled = static_cast<int>(ExitCode::Canceled);
    const int updated = static_cast<int>(ExitCode::Updated);
    // A row that stops after the third chunk needs a fourth that is not sent.
    return {
        {"SigintAtTheThirdChunkSendsNoFurtherChunkAndCancels", CommandCode::WriteFirmware, 3, {SIGINT}, canceled, 0,
         afterThird, atFourthChunk, false, false, 4},
        {"SighupAtTheThirdChunkCancels", CommandCode::WriteFirmware, 3, {SIGHUP}, canceled, 0, afterThird,
         atFourthChunk, false, false, 4},
        {"SigtermAtTheThirdChunkCancels", CommandCode::WriteFirmware, 3, {SIGTERM}, canceled, 0, afterThird,
         atFourthChunk, false, false, 4},
        {"SigquitTakenOnAnotherThreadAtTheThirdChunkCancels", CommandCode::WriteFirmware, 3, {SIGQUIT}, canceled, 0,
         afterThird, atFourthChunk, false, true, 4},
        {"SigintAtTheKeyExchangeCancelsBeforeTheSetup", CommandCode::KeyExchange, 1, {SIGINT}, canceled, 0,
         "GetInfo KeyExchange CancelUpdate", "[y/n]: " + interrupted},
        {"SigintAtTheDigestRequestCancelsBeforeTheDeployment", CommandCode::GetFirmwareHash, 1, {SIGINT}, canceled, 0,
         toChunks + chunkRequests(chunks) + " GetFirmwareHash CancelUpdate",
         "Verifying firmware .. done!\n" + interrupted},
        {"SigintOnceTheDeploymentIsSentLetsTheUpdateSucceed", CommandCode::DeployFirmware, 1, {SIGINT}, updated, 0,
         whole, "Verifying firmware .. done!\nUpdated successfully!\n"},
        {"SecondSigintEndsTheProgramAtOnce", CommandCode::WriteFirmware, 3, {SIGINT, SIGINT}, 0, SIGINT, "", "",
         false, false, 3},
        {"KeyboardInterruptAfterANotedSignalOnAnotherThreadEndsTheProgramByIt", CommandCode::WriteFirmware, 3,
         {SIGTERM, SIGINT}, 0, SIGINT, "", "", false, true, 3},
        {"SighupIgnoredBeforeTheRunStaysIgnored", CommandCode::WriteFirmware, 3, {SIGHUP}, updated, 0, whole,
         "Verifying firmware .. done!\n", true, false, 3},
    };
}

INSTANTIATE_TEST_SUITE_P(DuringTheInstallation, UpdateInterrupt, ::testing::ValuesIn(interruptCases()),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvene::testing
