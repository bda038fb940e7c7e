// The SO PIN in the memory of the real updater: a whole update with a long PIN,
// typed on a pseudo-terminal or written into a pipe, and the process caught by
// ptrace at its exit, after its destructors and exit handlers have run and
// before the kernel takes its memory away; a PIN too long for the key, refused
// before anything is sent, caught the same way; and, once SetupUpdate has been
// answered, the process searched while the key holds back its answer to the
// second firmware chunk. No writable mapping of the process may then hold any
// 8 consecutive bytes of the PIN.
//
// The key model runs in this process (EmulatedUsbBus), so the updater's memory
// holds only what the updater itself keeps. The PIN is made up here for each
// run and reaches the updater only through its standard input. The updater
// runs without LD_BIND_NOW and GLIBC_TUNABLES, which change where the dynamic
// linker and the C library leave copies of it. The updater is not dumpable, so
// reading its memory takes CAP_SYS_PTRACE even for its tracer.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/umockdev_key/emulated_usb_bus.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/e2e/preload_environment.h"
#include "tests/support/child_environment.h"
#include "tests/support/secret_search.h"
#include "tests/tool/embedded_pack_chunks.h"

namespace korvene::testing {
namespace {

constexpr auto kRunLimit = std::chrono::seconds(90);  // a run still going then has hung
// Settings of the dynamic linker and the C library that the updater must not
// inherit: with them, copies of the PIN may end up elsewhere than they do for
// a user, and the search would not find what a user's run leaves.
const std::vector<std::string> kLeftOutOfTheEnvironment = {"LD_BIND_NOW", "GLIBC_TUNABLES"};

const std::string kPrompt = "Are you sure to update the firmware? [y/n]: ";
const std::string kPinPrompt = "SO PIN: ";

// Letters and digits drawn at random: a run of them shares no 8-byte piece with
// text the program holds of its own, and none is special to a terminal's line
// editing.
std::string randomPin(size_t length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 generator(seed());
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string pin;
    for (size_t i = 0; i < length; ++i) pin += kAlphabet[pick(generator)];
    return pin;
}

// Why this process cannot read the memory of a process that is not dumpable,
// or empty when it can.
std::string whyMemoryCannotBeRead() {
    constexpr int kCapSysPtrace = 19;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
        if ((effective >> kCapSysPtrace) & 1) return "";
    }
    return "the updater is not dumpable, and reading its memory needs CAP_SYS_PTRACE, which this test lacks "
           "(CI runs it as root)";
}

// The C library's copy routines leave PIN bytes in the AVX-512 registers, and
// the dynamic linker saves those on the stack; without them a fault in the wipe
// of registers and stack may leave nothing for the search to find.
void noteWhenTheWideRegistersAreMissing() {
    if (__builtin_cpu_supports("avx512f")) return;
    const char* note = "this processor has no AVX-512: a PIN left in the wide registers cannot show here";
    ::testing::Test::RecordProperty("note", note);
    std::cout << "[   NOTE   ] " << note << std::endl;
}

// ---- the search of the process's memory ----

// Searches every writable mapping of the stopped process `pid` for the PIN.
// Mappings that cannot be read (guard areas, device memory) are skipped, and
// so are those past kLargestSearchedMapping. `searchedBytes` tells how much was
// read, so that a search that read nothing does not pass.
std::vector<std::string> findPin(pid_t pid, const std::string& pin, uint64_t& searchedBytes) {
    std::vector<std::string> found;
    searchedBytes = 0;
    const int memory = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (memory < 0) {
        ADD_FAILURE() << "cannot open the memory of process " << pid << ": " << std::strerror(errno);
        return found;
    }
    constexpr uint64_t kChunk = uint64_t{1} << 20;
    const std::vector<Secret> secrets = {secretOf("PIN", reinterpret_cast<const uint8_t*>(pin.data()), pin.size())};
    std::vector<uint8_t> bytes;
    for (const MemoryMapping& mapping : writableMappings(pid)) {
        if (mapping.end - mapping.start > kLargestSearchedMapping) continue;
        // Chunks overlap by one piece less one byte, so a piece across a chunk
        // boundary is found too.
        for (uint64_t from = mapping.start; from < mapping.end;) {
            const uint64_t length = std::min(kChunk, mapping.end - from);
            bytes.resize(length);
            const ssize_t got = pread(memory, bytes.data(), length, static_cast<off_t>(from));
            if (got <= 0) break;
            bytes.resize(static_cast<size_t>(got));
            searchedBytes += static_cast<uint64_t>(got);
            for (std::string& piece : secretsInBytes(bytes.data(), bytes.size(), from, mapping, secrets)) {
                found.push_back(std::move(piece));
            }
            if (from + static_cast<uint64_t>(got) >= mapping.end) break;
            from += static_cast<uint64_t>(got) > kSecretPieceSize ? static_cast<uint64_t>(got) - (kSecretPieceSize - 1)
                                                                  : 1;
        }
    }
    close(memory);
    return found;
}

// ---- the traced run ----

enum class Input {
    Terminal,  // standard input and output on a pseudo-terminal, answered at the prompts
    Pipe,      // standard input a pipe holding both answers, standard output a pipe
};

struct MemoryCase {
    const char* name;
    Input input;
    size_t pinLength;
    int exitCode;         // of the updater
    const char* verdict;  // its last line
};

// The length of the PIN in the rows that update the key.
constexpr size_t kPinLength = 48;
constexpr const char* kUpdated = "Updated successfully!";

void PrintTo(const MemoryCase& c, std::ostream* out) { *out << c.name; }

struct TracedRun {
    bool caughtAtExit = false;  // the exit stop was reached and searched
    int exitCode = -1;          // -1: ended by a signal, or killed at the deadline
    std::string output;
    std::vector<std::string> pinFound;
    uint64_t searchedBytes = 0;
};

bool readOnce(int fd, std::string& into) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, static_cast<size_t>(n));
    return true;
}

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The names of `pid`'s environment that it must not have had from us.
std::vector<std::string> unwantedEnvironment(pid_t pid) {
    std::vector<std::string> found;
    std::ifstream entries("/proc/" + std::to_string(pid) + "/environ");
    for (std::string entry; std::getline(entries, entry, '\0');) {
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(kLeftOutOfTheEnvironment.begin(), kLeftOutOfTheEnvironment.end(), name) !=
            kLeftOutOfTheEnvironment.end()) {
            found.push_back(entry);
        }
    }
    return found;
}

// Runs the updater under ptrace with standard input from `childIn` and output
// to `childOut`, answers on `terminal` at the prompts when it is a terminal
// (-1 otherwise) while reading its output from `fromChild`, and searches its
// memory at the exit stop. Every ptrace call is made from this one thread.
// `started` is told the updater's pid before it runs.
TracedRun traceUpdater(const std::vector<std::string>& environment, int childIn, int childOut, int fromChild,
                       int terminal, const std::string& pin, std::atomic<pid_t>& started) {
    TracedRun run;
    // Everything the child needs is built before the fork: a child of a
    // threaded process may only make system calls.
    std::string program = KORVENE_UPDATER;
    std::vector<char*> argv{program.data(), nullptr};
    std::vector<std::string> entries = childEnvironment(environment, kLeftOutOfTheEnvironment);
    std::vector<char*> envp = nullTerminatedPointers(entries);

    (void)std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return run;
    }
    if (child > 0) started = child;
    if (child == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        dup2(childIn, STDIN_FILENO);
        dup2(childOut, STDOUT_FILENO);
        dup2(childOut, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    bool traced = false;  // options set at the stop after execve
    bool answered = false;
    bool pinTyped = false;
    bool ended = false;
    int status = 0;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{fromChild, POLLIN, 0};
        if (fromChild >= 0 && poll(&fd, 1, 20) > 0) {
            // An end or an error of the output: there is nothing more to read.
            if (!readOnce(fromChild, run.output)) fromChild = -1;
        } else if (fromChild < 0) {
            poll(nullptr, 0, 20);
        }
        if (terminal >= 0 && !answered && run.output.find(kPrompt) != std::string::npos) {
            answered = writeAll(terminal, "y\n");
        }
        if (terminal >= 0 && answered && !pinTyped &&
            run.output.find(kPinPrompt, run.output.find(kPrompt)) != std::string::npos) {
            pinTyped = writeAll(terminal, pin + "\n");
        }

        const pid_t changed = waitpid(child, &status, WNOHANG);
        if (changed != child) continue;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            ended = true;
            break;
        }
        if (!WIFSTOPPED(status)) continue;
        int deliver = 0;
        if (!traced && WSTOPSIG(status) == SIGTRAP) {
            // The stop after execve: from here on the exit is reported, and the
            // process dies with this test.
            traced = ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL) == 0;
            EXPECT_TRUE(traced) << "PTRACE_SETOPTIONS failed: " << std::strerror(errno);
            EXPECT_EQ(unwantedEnvironment(child), std::vector<std::string>{}) << "in the updater's environment";
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            run.caughtAtExit = true;
            run.pinFound = findPin(child, pin, run.searchedBytes);
        } else {
            // A signal on its way to the updater: it gets it as it would untraced.
            deliver = WSTOPSIG(status);
        }
        ptrace(PTRACE_CONT, child, nullptr, deliver);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the updater did not end within " << kRunLimit.count() << " s; it wrote:\n" << run.output;
        return run;
    }
    // What the updater wrote last is still to be read.
    for (pollfd fd{fromChild, POLLIN, 0}; fromChild >= 0 && poll(&fd, 1, 0) > 0 && readOnce(fromChild, run.output);) {
    }
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

TracedRun runOnTerminal(const std::vector<std::string>& environment, const std::string& pin,
                        std::atomic<pid_t>& started) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return {};
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    TracedRun run = traceUpdater(environment, slave, slave, master, master, pin, started);
    close(master);
    close(slave);
    return run;
}

TracedRun runOnPipes(const std::vector<std::string>& environment, const std::string& pin,
                     std::atomic<pid_t>& started) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return {};
    }
    // Both answers wait in the pipe before the updater starts, and the input
    // ends after them.
    EXPECT_TRUE(writeAll(in[1], "y\n" + pin + "\n"));
    close(in[1]);
    TracedRun run = traceUpdater(environment, in[0], out[1], out[0], -1, pin, started);
    close(in[0]);
    close(out[0]);
    close(out[1]);
    return run;
}

// The preload environment, for a process that runs under ptrace and is searched
// for the PIN. In a sanitizer build: the leak check cannot run traced (it ends
// the process instead), so it is left to the other end-to-end tests; and the
// runtime's record of where each block was allocated and freed is not kept,
// since it is taken by walking the stack and keeps stale stack words, pieces of
// a PIN among them, in the runtime's own memory, which a real build does not
// have.
std::vector<std::string> tracedEnvironment(const std::string& umockdevRoot) {
    return preloadEnvironment(umockdevRoot, "detect_leaks=0:malloc_context_size=0");
}

// What a search of the running updater found.
struct Search {
    bool done = false;
    std::vector<std::string> pinFound;
    uint64_t searchedBytes = 0;
};

// One traced run of `c` against a key whose SO PIN is `pin`. With `held`, the
// key holds back its answer to the second WriteFirmware request while the
// updater's memory is searched into `inFlight`.
TracedRun runCase(const MemoryCase& c, const std::string& pin, VirtualKey& key, bool held, Search& inFlight) {
    key.state.soPinSet = true;
    key.state.soPin = pin;
    std::atomic<pid_t> updater{0};
    EmulatedKeyOptions options;
    if (held) {
        options.hold = {static_cast<int>(CommandCode::WriteFirmware), 2, [&] {
                            inFlight.pinFound = findPin(updater, pin, inFlight.searchedBytes);
                            inFlight.done = true;
                        }};
    }
    EmulatedUsbBus bus;
    std::string error;
    EXPECT_TRUE(bus.attach(key, options, &error)) << error;
    const std::vector<std::string> environment = tracedEnvironment(bus.root());
    TracedRun run = c.input == Input::Terminal ? runOnTerminal(environment, pin, updater)
                                               : runOnPipes(environment, pin, updater);
    // What the handler wrote under the lock is seen whole once it is taken.
    const auto lock = bus.lockKeys();
    return run;
}

void expectVerdict(const MemoryCase& c, const TracedRun& run) {
    EXPECT_EQ(run.exitCode, c.exitCode) << "(-1: ended by a signal or killed)\n" << run.output;
    EXPECT_NE(run.output.find(c.verdict), std::string::npos) << run.output;
}

::testing::AssertionResult noPieceFound(const std::string& pin, const std::vector<std::string>& pinFound) {
    if (pinFound.empty()) return ::testing::AssertionSuccess();
    std::string where;
    for (const std::string& piece : pinFound) where += "\n  " + piece;
    return ::testing::AssertionFailure() << "the PIN " << pin << " is in the updater's memory:" << where;
}

class SoPinInUpdaterMemory : public ::testing::TestWithParam<MemoryCase> {
protected:
    void SetUp() override {
        const std::string why = whyMemoryCannotBeRead();
        if (!why.empty()) GTEST_SKIP() << why;
        noteWhenTheWideRegistersAreMissing();
    }
};

TEST_P(SoPinInUpdaterMemory, NoPieceOfThePinIsLeftInAnyWritableMappingAtExit) {
    const MemoryCase& c = GetParam();
    const std::string pin = randomPin(c.pinLength);
    VirtualKey key;
    Search unused;
    const TracedRun run = runCase(c, pin, key, false, unused);

    expectVerdict(c, run);
    // A PIN the key cannot take is refused before anything is sent with it.
    EXPECT_EQ(key.state.deployed, c.exitCode == 0) << "the key took no firmware with this PIN";
    EXPECT_EQ(key.countRequests(static_cast<uint8_t>(CommandCode::SetupUpdate)), c.exitCode == 0 ? 1u : 0u);
    ASSERT_TRUE(run.caughtAtExit) << "the updater was not stopped at its exit";
    EXPECT_GT(run.searchedBytes, 0u) << "no writable memory could be read";
    EXPECT_TRUE(noPieceFound(pin, run.pinFound));
}

std::string caseName(const ::testing::TestParamInfo<MemoryCase>& info) { return info.param.name; }

// The whole update with an ordinary PIN, typed and piped.
const MemoryCase kTypedPin{"TypedOnATerminal", Input::Terminal, kPinLength, 0, kUpdated};
const MemoryCase kPipedPin{"WrittenIntoAPipe", Input::Pipe, kPinLength, 0, kUpdated};

INSTANTIATE_TEST_SUITE_P(
    RealBinary, SoPinInUpdaterMemory,
    ::testing::Values(kTypedPin, kPipedPin,
                      // One byte past the longest PIN, and one that fills far more
                      // of the stack and the registers the read passes it through.
                      MemoryCase{"TooLongPinOf257BytesWrittenIntoAPipe", Input::Pipe, 257, 4, "Too long SO PIN."},
                      MemoryCase{"TooLongPinOf600BytesWrittenIntoAPipe", Input::Pipe, 600, 4, "Too long SO PIN."}),
    caseName);

// Only SetupUpdate needs the PIN: once it has been answered, while the key
// writes the chunks, no copy of it is left.
class SoPinInUpdaterMemoryAfterSetup : public SoPinInUpdaterMemory {};

TEST_P(SoPinInUpdaterMemoryAfterSetup, NoPieceOfThePinIsInAnyWritableMappingWhileTheSecondChunkIsInFlight) {
    const std::string missing = missingChunks(2);
    if (!missing.empty()) GTEST_SKIP() << missing;
    const MemoryCase& c = GetParam();
    const std::string pin = randomPin(c.pinLength);
    VirtualKey key;
    Search inFlight;
    const TracedRun run = runCase(c, pin, key, true, inFlight);

    expectVerdict(c, run);
    ASSERT_TRUE(inFlight.done) << "the key never held its answer to the second chunk";
    EXPECT_GT(inFlight.searchedBytes, 0u) << "no writable memory could be read";
    EXPECT_TRUE(noPieceFound(pin, inFlight.pinFound));
}

INSTANTIATE_TEST_SUITE_P(RealBinary, SoPinInUpdaterMemoryAfterSetup, ::testing::Values(kTypedPin, kPipedPin), caseName);

}  // namespace
}  // namespace korvene::testing
