// An interrupt while the installation runs: the update flow runs in a child
// process, since signal dispositions belong to the whole process, on a session
// opened on the virtual key, and the key's device raises the signals of a row
// just before a chosen request reaches the key. The request in flight still
// goes; the next one must not, and the key must be sent its cancel request.
// The rows send what shells, terminals and service managers send, several
// signals in a row among them, not one idealised signal.
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
#include "tests/doubles/virtual_key/wire_status.h"
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
// How long a thread that sent a signal to the process waits for the main
// thread to take it.
constexpr auto kTakeLimit = std::chrono::seconds(2);

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
    // The signals are sent to the process by another thread that blocks every
    // signal, as libusb's threads do, so only the flow's thread can take them.
    bool fromABlockingThread = false;
    size_t chunksNeeded = 1;
    int millisecondsApart = 0;  // the pause between two signals of the row
    int refusedChunk = 0;       // the 1-based WriteFirmware the key answers with an error; 0: none
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

// What the child reports after the flow returned.
struct ChildReport {
    std::string requests;
    std::string cancel;        // "plain", "encrypted or with a payload", or "none"
    std::string dispositions;  // "as before" or which signal's disposition was left changed
    std::string raised;        // the signals the hook raised, as appendSignal writes them
};

std::string signalName(int signo) {
    const char* abbreviation = sigabbrev_np(signo);
    return abbreviation == nullptr ? std::to_string(signo) : std::string("SIG") + abbreviation;
}

// The record the child keeps of the signals its hook raised: "SIGHUP SIGINT",
// a signal that was ignored when it was raised marked "(ignored)", and
// " still pending" at the end when one of them had not been taken once they
// all were sent. A signal that changes nothing visible still shows here that it
// came and was taken, while the flow sees nothing of the record.
void appendSignal(std::string& record, int signo, bool ignored) {
    if (!record.empty()) record += ' ';
    record += signalName(signo);
    if (ignored) record += "(ignored)";
}

// The record of a row whose signals were all raised and taken.
std::string allRaisedAndTaken(const InterruptCase& c) {
    std::string record;
    for (int signo : c.signals) appendSignal(record, signo, signo == SIGHUP && c.sigHupIgnored);
    return record;
}

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

bool isPending(int signo) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, signo) == 1;
}

// Adds `signo` to the record as it is about to be raised.
void noteRaised(std::string& record, int signo) {
    struct sigaction action {};
    sigaction(signo, nullptr, &action);
    appendSignal(record, signo, action.sa_handler == SIG_IGN);
}

// Raises the row's signals on the calling thread, the flow's own: each is taken
// before raise returns unless it is blocked.
void raiseHere(const InterruptCase& c, std::string& record) {
    for (size_t i = 0; i < c.signals.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.millisecondsApart));
        noteRaised(record, c.signals[i]);
        (void)raise(c.signals[i]);
    }
    for (int signo : c.signals) {
        if (isPending(signo)) {
            record += " still pending";
            break;
        }
    }
}

// Sends the row's signals to the process from a thread that blocks every
// signal, as libusb's threads do; the kernel can then hand them only to the
// flow's thread. Each is sent once the one before has been taken, as a
// signal sent a moment later is; two pending at once would be taken lowest
// number first.
void sendFromABlockingThread(const InterruptCase& c, std::string& record) {
    std::thread([&c, &record] {
        sigset_t every;
        sigfillset(&every);
        pthread_sigmask(SIG_BLOCK, &every, nullptr);
        for (size_t i = 0; i < c.signals.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.millisecondsApart));
            const int signo = c.signals[i];
            noteRaised(record, signo);
            (void)kill(getpid(), signo);
            const auto giveUp = std::chrono::steady_clock::now() + kTakeLimit;
            while (isPending(signo) && std::chrono::steady_clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (isPending(signo)) {
                record += " still pending";
                return;
            }
        }
    }).join();
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
    if (c.refusedChunk > 0) {
        ResponseFault refusal;
        refusal.command = static_cast<int>(CommandCode::WriteFirmware);
        refusal.occurrence = c.refusedChunk;
        refusal.wireStatus = wire::DeviceInternalError;
        k.key.knobs.faults.push_back(refusal);
    }
    std::map<uint8_t, int> seen;
    std::string raised;
    k.enumerator.lastOpened->beforeBulkWrite = [&](const uint8_t* frame, uint32_t length) {
        if (length < kFrameHeaderSize || (frame[5] & FrameFlags::Resync) != 0) return;
        const uint8_t command = frame[5] & kFrameCodeMask;
        if (command != static_cast<uint8_t>(c.at) || ++seen[command] != c.occurrence) return;
        if (c.fromABlockingThread) {
            sendFromABlockingThread(c, raised);
        } else {
            raiseHere(c, raised);
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
    writeAll(reportFd, k.requestsSinceOpen() + "\n" + cancelState + "\n" + dispositionsLeft(c.sigHupIgnored) + "\n" +
                           raised + "\n");
    return result;
}

ChildReport parseReport(const std::string& text) {
    ChildReport report;
    std::string* fields[] = {&report.requests, &report.cancel, &report.dispositions, &report.raised};
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
    EXPECT_EQ(got.raised, allRaisedAndTaken(c))
        << "the signals of the row must have been raised and taken";
    EXPECT_NE(printed.find(c.output), std::string::npos) << printed;
    EXPECT_NE(printed.find(canceled ? "Update canceled.\n" : "Updated successfully!\n"), std::string::npos)
        << printed;
}

std::vector<InterruptCase> interruptCases() {
    const size_t chunks = embeddedChunkCount();
    const int lastChunk = static_cast<int>(chunks);
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
        {"SigquitSentByAThreadThatBlocksSignalsReachesTheFlowAndCancels", CommandCode::WriteFirmware, 3, {SIGQUIT},
         canceled, 0, afterThird, atFourthChunk, false, true, 4},
        // A closed terminal: the shell forwards one hang-up as it exits, and a
        // moment later the kernel sends the foreground group another with a
        // continue.
        {"TwoSighupsAndASigcontOfAClosedTerminalOnlyCancel", CommandCode::WriteFirmware, 3, {SIGHUP, SIGHUP, SIGCONT},
         canceled, 0, afterThird, atFourthChunk, false, false, 4, 2},
        // A service manager stopping the session.
        {"SigtermThenSighupOnlyCancel", CommandCode::WriteFirmware, 3, {SIGTERM, SIGHUP}, canceled, 0, afterThird,
         atFourthChunk, false, false, 4},
        // A shell hung up with the job stopped.
        {"SighupSigcontSigtermOfAShellToItsStoppedJobOnlyCancel", CommandCode::WriteFirmware, 3,
         {SIGHUP, SIGCONT, SIGTERM}, canceled, 0, afterThird, atFourthChunk, false, false, 4},
        {"SigintAtTheKeyExchangeCancelsBeforeTheSetup", CommandCode::KeyExchange, 1, {SIGINT}, canceled, 0,
         "GetInfo KeyExchange CancelUpdate", "[y/n]: " + interrupted},
        {"SigintAtTheLastChunkSendsNoDigestRequest", CommandCode::WriteFirmware, lastChunk, {SIGINT}, canceled, 0,
         toChunks + chunkRequests(chunks) + " CancelUpdate", " done!\nVerifying firmware ." + interrupted},
        {"SigintAtTheDigestRequestCancelsBeforeTheDeployment", CommandCode::GetFirmwareHash, 1, {SIGINT}, canceled, 0,
         toChunks + chunkRequests(chunks) + " GetFirmwareHash CancelUpdate",
         "Verifying firmware .. done!\n" + interrupted},
        {"SigtermAtTheCancelOfARefusedChunkIsOnlyNoted", CommandCode::CancelUpdate, 1, {SIGTERM}, canceled, 0,
         toChunks + "WriteFirmware CancelUpdate", "Writing firmware [ERROR  ] Write request failed: DeviceInternalError\n",
         false, false, 1, 0, 1},
        {"SigintOnceTheDeploymentIsSentLetsTheUpdateSucceed", CommandCode::DeployFirmware, 1, {SIGINT}, updated, 0,
         whole, "Verifying firmware .. done!\nUpdated successfully!\n"},
        {"SecondSigintOnceTheDeploymentIsSentLetsTheUpdateFinish", CommandCode::DeployFirmware, 1, {SIGINT, SIGINT},
         updated, 0, whole, "Verifying firmware .. done!\nUpdated successfully!\n"},
        {"SecondSigintEndsTheProgramAtOnce", CommandCode::WriteFirmware, 3, {SIGINT, SIGINT}, 0, SIGINT, "", "",
         false, false, 3},
        {"SecondSigintAtTheDigestRequestStillEndsTheProgram", CommandCode::GetFirmwareHash, 1, {SIGINT, SIGINT}, 0,
         SIGINT},
        {"SigintAfterASigtermBothSentByAThreadThatBlocksSignalsEndsTheProgram", CommandCode::WriteFirmware, 3,
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
