// The updater as its users run it: the real korvene-update process, linked
// against the real libusb, against virtual keys that exist only as emulated
// USB devices (EmulatedUsbBus). Each row of the table is one run of the binary
// with a command line and standard input; it checks the exit code, the lines
// that matter on standard output, and the requests that reached the key, and
// may look at the running process while the key holds back an answer.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "device/session/frame.h"
#include "tests/doubles/umockdev_key/emulated_usb_bus.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/wire_status.h"
#include "tests/e2e/preload_environment.h"
#include "tests/support/process_runner.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tool/firmware_pack.h"

namespace korvene::testing {
namespace {

using Commands = std::vector<CommandCode>;

constexpr int kDeadlineSeconds = 120;  // a run still going then has hung
constexpr int kBulkBoundSeconds = 30;  // the session's bound on every bulk transfer
constexpr int kShortBoundSeconds = 2;  // the bound of the short-bound test build

// What the key is and how it sits on the bus before the run.
struct Attachment {
    int keys = 1;                  // 0, 1 or 2 identical keys
    EmulatedKeyOptions options;    // for every attached key
};

struct Scenario;

// A look at the running updater (`updater` is its pid) while the key holds back
// its answer to the `occurrence`-th request of `command` (see AnswerHold).
struct HeldAnswerCheck {
    CommandCode command = CommandCode::GetInfo;
    int occurrence = 0;
    void (*check)(pid_t updater, const Scenario& scenario) = nullptr;
};

struct Scenario {
    const char* name = "";
    // The row needs an embedded pack of at least this many chunks.
    size_t chunksNeeded = 1;
    const char* program = KORVENE_UPDATER;
    std::vector<std::string> arguments{};
    std::string input{};
    // The reader of standard output closes it after the first line, before the
    // input is written (`korvene-update | head -n 1`).
    bool closeOutputAfterFirstLine = false;
    // The updater starts with this standard descriptor closed; -1: none.
    int closedDescriptor = -1;
    void (*arrange)(VirtualKey& key, Attachment& attachment) = nullptr;
    HeldAnswerCheck whileHeld{};
    int exitCode = 0;
    // Texts that must appear on standard output, in this order.
    std::vector<std::string> output{};
    // Texts that must not appear on standard output.
    std::vector<std::string> absent{};
    // The numbered requests every attached key must have received, in order.
    Commands commands{};
    // Further checks of the (first) key's side.
    void (*verify)(const VirtualKey& key) = nullptr;
};

// gtest names a failing row by its name rather than by its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const FirmwarePackHeader& pack() { return *embeddedPackHeader(); }


std::string dots(size_t count) { return std::string(count, '.'); }

std::vector<uint8_t> embeddedPayload() {
    const uint8_t* start = kFirmwarePack + pack().headerSize;
    return {start, start + pack().payloadSize};
}

// The requests of a run up to and including the key exchange: the ready check
// of the initialisation, the status query, and `exchanges` KeyExchange requests.
Commands upToExchange(size_t exchanges = 1) {
    Commands commands{CommandCode::GetInfo, CommandCode::GetInfo};
    commands.insert(commands.end(), exchanges, CommandCode::KeyExchange);
    return commands;
}

Commands then(Commands commands, std::initializer_list<CommandCode> more) {
    commands.insert(commands.end(), more);
    return commands;
}

Commands withChunks(Commands commands, size_t chunks) {
    commands.push_back(CommandCode::SetupUpdate);
    commands.insert(commands.end(), chunks, CommandCode::WriteFirmware);
    return commands;
}

Commands wholeUpdate() {
    return then(withChunks(upToExchange(), embeddedChunkCount()),
                {CommandCode::GetFirmwareHash, CommandCode::DeployFirmware, CommandCode::FinishUpdate});
}

Commands statusOnly() { return {CommandCode::GetInfo, CommandCode::GetInfo}; }

Commands numberedCommands(const VirtualKey& key) {
    Commands commands;
    for (const ReceivedRequest& request : key.requests) {
        if (request.wellFormed && !request.resync) commands.push_back(static_cast<CommandCode>(request.command));
    }
    return commands;
}

std::vector<std::string> names(const Commands& commands) {
    std::vector<std::string> result;
    for (CommandCode command : commands) result.push_back(commandName(static_cast<uint8_t>(command)));
    return result;
}

// The setup values of the embedded pack followed by the SO PIN, as the key
// must have deciphered them.
std::vector<uint8_t> setupPayload(const std::string& soPin) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {pack().setupValue1, pack().setupValue2, pack().payloadSize}) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    bytes.insert(bytes.end(), soPin.begin(), soPin.end());
    return bytes;
}

ResponseFault refuse(CommandCode command, int occurrence, uint8_t wireStatus) {
    ResponseFault fault;
    fault.command = static_cast<int>(command);
    fault.occurrence = occurrence;
    fault.kind = ResponseFault::Kind::WireStatus;
    fault.wireStatus = wireStatus;
    return fault;
}

const std::string kSoPin = "123456";

// With the 12 setup values and the 8-byte header, a setup request of exactly one
// 64-byte packet, which the host must follow with a zero-length packet.
const std::string kPacketSizedSoPin(44, 'p');

const std::string kBanner = "KORVENE firmware ver.2.0 updater (2.0.0.111 (";
const std::string kCaution = "                      CAUTION\n";
const std::string kPrompt = "Are you sure to update the firmware? [y/n]: ";
const std::string kCanceled = "Update canceled.\n";
const std::string kUpdated = "Updated successfully!\n";
const std::string kVerified = "Verifying firmware .. done!\n";

std::string writingDone() { return "Writing firmware " + dots(embeddedChunkCount()) + " done!\n"; }

void expectFirmwareInstalled(const VirtualKey& key) {
    EXPECT_TRUE(key.state.firmware == embeddedPayload()) << "the key reassembled " << key.state.firmware.size()
                                                         << " bytes, not the embedded payload";
    EXPECT_TRUE(key.state.deployed);
    EXPECT_TRUE(key.state.finished);
    EXPECT_FALSE(key.state.canceled);
}

// The cancel request that must follow a failed installation: plain, no payload.
void expectPlainCancel(const VirtualKey& key) {
    const ReceivedRequest* cancel = key.lastRequest(static_cast<uint8_t>(CommandCode::CancelUpdate));
    ASSERT_NE(cancel, nullptr);
    EXPECT_FALSE(cancel->encrypted);
    EXPECT_EQ(cancel->length, 0);
    EXPECT_TRUE(key.state.canceled);
}

void keyWithSoPin(VirtualKey& key, Attachment&) {
    key.state.soPinSet = true;
    key.state.soPin = kSoPin;
}

// ---- looks at the running updater while the key holds an answer ----

std::string procPath(pid_t pid, const std::string& rest) { return "/proc/" + std::to_string(pid) + "/" + rest; }

// The descriptor the row closed is open again, on /dev/null, and not on one of
// the program's own files (libusb's event descriptor, the key's node).
void expectClosedDescriptorOnDevNull(pid_t updater, const Scenario& scenario) {
    char target[PATH_MAX] = {};
    const std::string link = procPath(updater, "fd/" + std::to_string(scenario.closedDescriptor));
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    ASSERT_GT(length, 0) << "descriptor " << scenario.closedDescriptor << " is not open: " << std::strerror(errno);
    EXPECT_STREQ(target, "/dev/null") << "descriptor " << scenario.closedDescriptor;
}

// Signals a shell or a terminal sends, which only the main thread may take.
constexpr std::array<int, 6> kShellSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};

// Every thread but the main one (tid == pid) blocks every one of kShellSignals,
// and there is such a thread (libusb's), or the check would prove nothing.
void expectOnlyTheMainThreadTakesShellSignals(pid_t updater, const Scenario&) {
    DIR* tasks = opendir(procPath(updater, "task").c_str());
    ASSERT_NE(tasks, nullptr) << std::strerror(errno);
    size_t others = 0;
    for (dirent* entry = readdir(tasks); entry != nullptr; entry = readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == std::to_string(updater)) continue;
        ++others;
        std::ifstream status(procPath(updater, "task/" + tid + "/status"));
        std::string name;
        unsigned long long blocked = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("SigBlk:", 0) == 0) blocked = std::strtoull(line.c_str() + 7, nullptr, 16);
        }
        for (int signo : kShellSignals) {
            EXPECT_NE(blocked & (1ULL << (signo - 1)), 0u)
                << "thread " << tid << " (" << name << ") can take " << sigabbrev_np(signo);
        }
    }
    closedir(tasks);
    EXPECT_GE(others, 1u) << "the updater has no thread but its main one";
}

std::vector<Scenario> scenarios() {
    return {
        {
            .name = "UpdatesAKeyWithoutSoPinToTheEmbeddedFirmware",
            .input = "y\n",
            .output = {kBanner, "KORVENE can be updated. ver.1.4 -> ver.2.0\n", kCaution, kPrompt, writingDone(),
                       kVerified, kUpdated},
            .absent = {"SO PIN: ", "[ERROR", kCanceled},
            .commands = wholeUpdate(),
            .verify =
                [](const VirtualKey& key) {
                    expectFirmwareInstalled(key);
                    const ReceivedRequest* setup = key.lastRequest(static_cast<uint8_t>(CommandCode::SetupUpdate));
                    ASSERT_NE(setup, nullptr);
                    EXPECT_TRUE(setup->encrypted);
                    EXPECT_EQ(setup->plain, setupPayload(""));
                },
        },
        {
            .name = "UpdatesAKeyWithSoPinWhoseSetupRequestEndsInAZeroLengthPacket",
            .input = "y\n" + kPacketSizedSoPin + "\n",
            .arrange =
                [](VirtualKey& key, Attachment&) {
                    key.state.soPinSet = true;
                    key.state.soPin = kPacketSizedSoPin;
                },
            .output = {"KORVENE can be updated. ver.1.4 -> ver.2.0\n", kPrompt, "SO PIN: \n", writingDone(), kVerified,
                       kUpdated},
            .absent = {"[ERROR", kCanceled},
            .commands = wholeUpdate(),
            .verify =
                [](const VirtualKey& key) {
                    expectFirmwareInstalled(key);
                    const ReceivedRequest* setup = key.lastRequest(static_cast<uint8_t>(CommandCode::SetupUpdate));
                    ASSERT_NE(setup, nullptr);
                    EXPECT_EQ(setup->plain, setupPayload(kPacketSizedSoPin));
                    EXPECT_EQ(setup->frame.size(), kVirtualMaxPacket);
                    EXPECT_EQ(key.zeroLengthOutTransfers, 1u) << "the 64-byte setup request needs its ZLP";
                },
        },
        {
            // Every write after the banner meets a closed pipe: the update still
            // runs to its end, and its exit code tells the verdict.
            .name = "OutputClosedByItsReaderDoesNotStopTheUpdate",
            .input = "y\n",
            .closeOutputAfterFirstLine = true,
            .output = {kBanner},
            .commands = wholeUpdate(),
            .verify = expectFirmwareInstalled,
        },
        {
            .name = "ForceUpdatesAKeyThatIsNewerThanTheEmbeddedFirmware",
            .arguments = {"--force"},
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.state.firmwareMajor = 5;
                key.state.firmwareMinor = 1;
            },
            .output = {"Force update is activated. ver.5.1 -> ver.2.0\n", kCaution, kPrompt, writingDone(), kUpdated},
            .commands = wholeUpdate(),
            .verify = expectFirmwareInstalled,
        },
        {
            .name = "KeyAlreadyUpToDateNeedsNoUpdateAndIsNotTouched",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.state.firmwareMajor = 2;
                key.state.firmwareMinor = 0;
            },
            .exitCode = 1,
            .output = {kBanner, "Current firmware is ver.2.0. No update is needed.\n"},
            .absent = {kCaution, kPrompt},
            .commands = statusOnly(),
        },
        {
            .name = "NoKeyAttachedEndsAsDeviceUnavailable",
            .input = "y\n",
            .arrange = [](VirtualKey&, Attachment& attachment) { attachment.keys = 0; },
            .exitCode = 3,
            .output = {kBanner, "[WARN   ] KORVENE not found. Please attach one KORVENE device to the PC.\n",
                       kCanceled},
        },
        {
            .name = "TwoKeysAttachedAreCountedAndNeitherIsOpened",
            .input = "y\n",
            .arrange = [](VirtualKey&, Attachment& attachment) { attachment.keys = 2; },
            .exitCode = 3,
            .output = {"[WARN   ] Found 2 KORVENE devices; only one should be attached.\n", kCanceled},
            .verify = [](const VirtualKey& key) { EXPECT_EQ(key.classResetRequests, 0u); },
        },
        {
            .name = "KeyClaimedByAnotherProgramIsReportedBusy",
            .input = "y\n",
            .arrange = [](VirtualKey&, Attachment& attachment) { attachment.options.claimBusy = true; },
            .exitCode = 3,
            .output = {"[ERROR  ] KORVENE is being used by another app.\n", kCanceled},
            .verify = [](const VirtualKey& key) { EXPECT_EQ(key.classResetRequests, 0u); },
        },
        {
            .name = "KeyRefusingTheInterfaceResetCannotBeAccessed",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.classResetFails = true; },
            .exitCode = 3,
            .output = {"[ERROR  ] Cannot access KORVENE.\n", kCanceled},
            .verify = [](const VirtualKey& key) { EXPECT_GE(key.classResetRequests, 1u); },
        },
        {
            .name = "StatusQueryRefusedByTheKeyEndsAsStatusFailed",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.knobs.faults.push_back(refuse(CommandCode::GetInfo, 2, wire::Busy));
            },
            .exitCode = 7,
            .output = {kBanner, "[ERROR  ] Failed to get device status: Busy\n"},
            .absent = {"KORVENE can be updated", kCaution, kCanceled},
            .commands = statusOnly(),
        },
        {
            // 56 payload bytes make a 64-byte answer that ends with a zero-length
            // packet; without it the host's read would wait out its bound instead.
            .name = "StatusAnswerOfOneWholePacketIsReadToItsZeroLengthPacketAndRefused",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                ResponseFault fault;
                fault.command = static_cast<int>(CommandCode::GetInfo);
                fault.occurrence = 2;
                fault.kind = ResponseFault::Kind::PayloadLength;
                fault.payloadLength = kVirtualMaxPacket - kFrameHeaderSize;
                key.knobs.faults.push_back(fault);
            },
            .exitCode = 7,
            .output = {"[ERROR  ] Failed to get device status: ProtocolError\n"},
            .commands = statusOnly(),
        },
        {
            .name = "LockedSoPinEndsAfterTheConfirmationWithoutACancel",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.state.soPinSet = true;
                key.state.soPinLocked = true;
                key.state.soPin = kSoPin;
            },
            .exitCode = 5,
            .output = {kCaution, kPrompt,
                       "[ERROR  ] SO PIN has been locked. Restore your KORVENE to the factory settings.\n"},
            .absent = {"SO PIN: ", kCanceled},
            .commands = statusOnly(),
        },
        {
            .name = "AnswerNoCancelsWithoutAnotherRequest",
            .input = "n\n",
            .exitCode = 4,
            .output = {kCaution, kPrompt, kCanceled},
            .absent = {"Writing firmware"},
            .commands = statusOnly(),
        },
        {
            .name = "EndOfInputAtTheConfirmationCancelsWithoutAnotherRequest",
            .input = "",
            .exitCode = 4,
            .output = {kPrompt, kCanceled},
            .commands = statusOnly(),
        },
        {
            // Nothing typed, nothing tried: an empty PIN would cost one of the
            // key's tries, and nothing has been sent that needs a cancel.
            .name = "EndOfInputAtTheSoPinCancelsWithoutTryingAPin",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.state.soPinSet = true;
                key.state.soPin = kSoPin;
            },
            .exitCode = 4,
            .output = {kPrompt, "SO PIN: \n", kCanceled},
            .commands = statusOnly(),
            .verify = [](const VirtualKey& key) { EXPECT_EQ(key.state.soPinTriesLeft, 3); },
        },
        {
            .name = "WrongSoPinIsRefusedAndTheUpdateCanceled",
            .input = "y\n654321\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.state.soPinSet = true;
                key.state.soPin = kSoPin;
            },
            .exitCode = 4,
            .output = {"SO PIN: \n", "[ERROR  ] Incorrect SO PIN.\n", kCanceled},
            .absent = {"Writing firmware"},
            .commands = then(upToExchange(), {CommandCode::SetupUpdate, CommandCode::CancelUpdate}),
            .verify =
                [](const VirtualKey& key) {
                    const ReceivedRequest* setup = key.lastRequest(static_cast<uint8_t>(CommandCode::SetupUpdate));
                    ASSERT_NE(setup, nullptr);
                    EXPECT_EQ(setup->plain, setupPayload("654321"));
                    EXPECT_EQ(key.state.soPinTriesLeft, 2);
                    expectPlainCancel(key);
                },
        },
        {
            .name = "FifthFirmwareChunkRefusedEndsTheProgressLineAndCancels",
            .chunksNeeded = 5,
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.knobs.faults.push_back(refuse(CommandCode::WriteFirmware, 5, wire::OperationDenied));
            },
            .exitCode = 4,
            .output = {"Writing firmware ....[ERROR  ] Write request failed: OperationDenied\n", kCanceled},
            .absent = {"Verifying firmware", kUpdated},
            .commands = then(withChunks(upToExchange(), 5), {CommandCode::CancelUpdate}),
            .verify =
                [](const VirtualKey& key) {
                    EXPECT_EQ(key.state.firmware.size(), 4 * kFirmwareChunkSize);
                    EXPECT_FALSE(key.state.deployed);
                    expectPlainCancel(key);
                },
        },
        {
            .name = "DigestMismatchIsNotDeployedAndCancels",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.wrongDigest = true; },
            .exitCode = 4,
            .output = {writingDone(), "Verifying firmware ..[ERROR  ] Hash mismatch: ", kCanceled},
            .commands = then(withChunks(upToExchange(), embeddedChunkCount()),
                             {CommandCode::GetFirmwareHash, CommandCode::CancelUpdate}),
            .verify =
                [](const VirtualKey& key) {
                    EXPECT_FALSE(key.state.deployed);
                    expectPlainCancel(key);
                },
        },
        {
            .name = "DeployRefusedIsNotFinishedAndCancels",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) {
                key.knobs.faults.push_back(refuse(CommandCode::DeployFirmware, 0, wire::OperationDenied));
            },
            .exitCode = 4,
            .output = {writingDone(), kVerified, "[ERROR  ] Failed to deploy firmware.\n", kCanceled},
            .absent = {kUpdated},
            .commands = then(withChunks(upToExchange(), embeddedChunkCount()),
                             {CommandCode::GetFirmwareHash, CommandCode::DeployFirmware, CommandCode::CancelUpdate}),
            .verify =
                [](const VirtualKey& key) {
                    EXPECT_FALSE(key.state.finished);
                    expectPlainCancel(key);
                },
        },
        {
            .name = "KeyPointRefusedTenTimesEndsTheKeyExchangeAndCancels",
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.invalidPointAnswers = 10; },
            .exitCode = 4,
            .output = {"[ERROR  ] Cannot establish secure messaging: ProtocolError\n", kCanceled},
            .absent = {"Writing firmware"},
            .commands = then(upToExchange(10), {CommandCode::CancelUpdate}),
            .verify = expectPlainCancel,
        },
        {
            // The key is gone after the second chunk: the third cannot be written,
            // and neither can the cancel request.
            .name = "KeyUnpluggedDuringTheWriteEndsAsCanceled",
            .chunksNeeded = 3,
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.disconnectAfterRequests = 6; },
            .exitCode = 4,
            .output = {"Writing firmware ..[ERROR  ] Write request failed: DeviceError\n",
                       "[ERROR  ] Failed to cancel update request: DeviceError\n", kCanceled},
            .commands = withChunks(upToExchange(), 2),
        },
        {
            // The status query is never answered: the updater gives up when its
            // bound on the transfer ends, and does not hang.
            .name = "KeyThatStopsAnsweringAtTheStatusQueryEndsWithinTheBulkBound",
            .program = KORVENE_UPDATER_SHORT_BOUND,
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.silentAfterRequests = 1; },
            .exitCode = 7,
            .output = {"[ERROR  ] Failed to get device status: DeviceError\n"},
            .commands = statusOnly(),
        },
        {
            // The key takes the fifth chunk and never answers: the wait ends at the
            // bound, the session is faulted, so the cancel request cannot go either.
            .name = "KeyThatStopsAnsweringMidWriteEndsWithinTheBulkBound",
            .chunksNeeded = 5,
            .program = KORVENE_UPDATER_SHORT_BOUND,
            .input = "y\n",
            .arrange = [](VirtualKey& key, Attachment&) { key.knobs.silentAfterRequests = 8; },
            .exitCode = 4,
            .output = {"Writing firmware ....[ERROR  ] Write request failed: DeviceError\n",
                       "[ERROR  ] Failed to cancel update request: DeviceError\n", kCanceled},
            .absent = {kUpdated},
            .commands = withChunks(upToExchange(), 5),
        },
        {
            // A closed standard input reads as an ended one.
            .name = "StandardInputClosedIsDevNullAndTheUpdateCancelsAtTheConfirmation",
            .input = "y\n" + kSoPin + "\n",
            .closedDescriptor = STDIN_FILENO,
            .arrange = keyWithSoPin,
            .whileHeld = {CommandCode::GetInfo, 2, expectClosedDescriptorOnDevNull},
            .exitCode = 4,
            .output = {kCaution, kPrompt, kCanceled},
            .absent = {"SO PIN: "},
            .commands = statusOnly(),
        },
        {
            .name = "StandardOutputClosedIsDevNullAndTheUpdateCompletes",
            .input = "y\n" + kSoPin + "\n",
            .closedDescriptor = STDOUT_FILENO,
            .arrange = keyWithSoPin,
            .whileHeld = {CommandCode::GetInfo, 2, expectClosedDescriptorOnDevNull},
            .commands = wholeUpdate(),
            .verify = expectFirmwareInstalled,
        },
        {
            .name = "StandardErrorClosedIsDevNullAndTheUpdateCompletes",
            .input = "y\n" + kSoPin + "\n",
            .closedDescriptor = STDERR_FILENO,
            .arrange = keyWithSoPin,
            .whileHeld = {CommandCode::GetInfo, 2, expectClosedDescriptorOnDevNull},
            .output = {kBanner, kPrompt, "SO PIN: \n", writingDone(), kUpdated},
            .commands = wholeUpdate(),
            .verify = expectFirmwareInstalled,
        },
        {
            .name = "OnlyTheMainThreadTakesShellSignalsWhileAChunkIsInFlight",
            .chunksNeeded = 2,
            .input = "y\n",
            .whileHeld = {CommandCode::WriteFirmware, 2, expectOnlyTheMainThreadTakesShellSignals},
            .output = {writingDone(), kUpdated},
            .commands = wholeUpdate(),
            .verify = expectFirmwareInstalled,
        },
        {
            .name = "BrokenPackBuildStopsBeforeTouchingTheKey",
            .program = KORVENE_UPDATER_BROKEN_PACK,
            .input = "y\n",
            .exitCode = 6,
            .output = {kBanner, "[ERROR  ] This updater is broken!\n"},
            .absent = {kCanceled},
            .verify = [](const VirtualKey& key) { EXPECT_EQ(key.classResetRequests, 0u); },
        },
        {
            .name = "UnknownOptionEndsAsBadOptionWithNothingOnStandardOutput",
            .arguments = {"-x"},
            .input = "y\n",
            .exitCode = 2,
            .verify = [](const VirtualKey& key) { EXPECT_EQ(key.classResetRequests, 0u); },
        },
    };
}

// Where each of `texts` first appears in `output`, in order; the first one
// missing is named.
::testing::AssertionResult appearInOrder(const std::string& output, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& text : texts) {
        const size_t at = output.find(text, from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "missing (in this order): \"" << text << "\"";
        }
        from = at + text.size();
    }
    return ::testing::AssertionSuccess();
}

class EndToEnd : public ::testing::TestWithParam<Scenario> {};

TEST_P(EndToEnd, UpdaterEndsAsUserAndKeyExpect) {
    const Scenario& scenario = GetParam();
    const std::string missing = missingChunks(scenario.chunksNeeded);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VirtualKey keys[2];
    Attachment attachment;
    for (VirtualKey& key : keys) {
        if (scenario.arrange != nullptr) scenario.arrange(key, attachment);
    }

    std::atomic<pid_t> updater{0};
    std::atomic<bool> held{false};
    const HeldAnswerCheck& whileHeld = scenario.whileHeld;
    if (whileHeld.check != nullptr) {
        attachment.options.hold = {static_cast<int>(whileHeld.command), whileHeld.occurrence, [&] {
                                       held = true;
                                       ASSERT_NE(updater.load(), 0) << "the updater's pid is not known yet";
                                       whileHeld.check(updater.load(), scenario);
                                   }};
    }

    EmulatedUsbBus bus;
    for (int i = 0; i < attachment.keys; ++i) {
        std::string error;
        ASSERT_TRUE(bus.attach(keys[i], attachment.options, &error)) << error;
    }

    ProcessSpec spec;
    spec.program = scenario.program;
    spec.args = scenario.arguments;
    spec.environment = preloadEnvironment(bus.root());
    spec.stdinText = scenario.input;
    // A run still going at the deadline is killed and fails the test.
    spec.timeoutSeconds = kDeadlineSeconds;
    spec.closeOutputAfterFirstLine = scenario.closeOutputAfterFirstLine;
    spec.closedDescriptor = scenario.closedDescriptor;
    spec.started = [&updater](pid_t pid) { updater = pid; };
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult run = runProcess(spec);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (whileHeld.check != nullptr) {
        EXPECT_TRUE(held) << "the key never held its answer to " << commandName(static_cast<uint8_t>(whileHeld.command))
                          << " #" << whileHeld.occurrence;
    }

    const std::string transcript = "standard output:\n" + run.stdoutText + "\nstandard error:\n" + run.stderrText;
    EXPECT_EQ(run.exitCode, scenario.exitCode) << "(-1: killed or ended by a signal)\n" << transcript;
    EXPECT_TRUE(appearInOrder(run.stdoutText, scenario.output)) << transcript;
    for (const std::string& text : scenario.absent) {
        EXPECT_EQ(run.stdoutText.find(text), std::string::npos) << "unexpected \"" << text << "\"\n" << transcript;
    }
    if (scenario.output.empty()) {
        EXPECT_EQ(run.stdoutText, "");
    }
    // No run waits longer than its bound on one transfer.
    const bool shortBound = std::string(scenario.program) == KORVENE_UPDATER_SHORT_BOUND;
    EXPECT_LT(seconds, (shortBound ? kShortBoundSeconds : kBulkBoundSeconds) + 15.0);

    auto lock = bus.lockKeys();
    for (int i = 0; i < attachment.keys; ++i) {
        EXPECT_EQ(names(numberedCommands(keys[i])), names(scenario.commands)) << "key #" << i;
    }
    if (scenario.verify != nullptr && attachment.keys > 0) scenario.verify(keys[0]);
}

INSTANTIATE_TEST_SUITE_P(RealBinary, EndToEnd, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// ---- the environment the rows start the updater with ----

// An inherited variable of a name the tests set themselves (ASAN_OPTIONS with
// the leak check on, say) must not win over the tests' own entry, nor reach the
// child beside it.
TEST(ChildEnvironment, TheTestsOwnEntriesReplaceInheritedOnesOfTheSameName) {
    struct Inherited {
        const char* name;
        const char* value;
    };
    const Inherited inherited[] = {{"ASAN_OPTIONS", "detect_leaks=1"},
                                   {"UMOCKDEV_DIR", "/inherited"},
                                   {"KORVENE_E2E_INHERITED", "kept"}};
    for (const Inherited& variable : inherited) ASSERT_EQ(setenv(variable.name, variable.value, 1), 0);
    const ProcessResult run = runProcess("/usr/bin/env", {}, {"ASAN_OPTIONS=own", "UMOCKDEV_DIR=/own"});
    for (const Inherited& variable : inherited) unsetenv(variable.name);

    std::vector<std::string> seen;
    std::istringstream lines(run.stdoutText);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("ASAN_OPTIONS=", 0) == 0 || line.rfind("UMOCKDEV_DIR=", 0) == 0 ||
            line.rfind("KORVENE_E2E_INHERITED=", 0) == 0) {
            seen.push_back(line);
        }
    }
    EXPECT_EQ(run.exitCode, 0) << run.stderrText;
    EXPECT_EQ(seen, (std::vector<std::string>{"KORVENE_E2E_INHERITED=kept", "ASAN_OPTIONS=own", "UMOCKDEV_DIR=/own"}));
}

// ---- core files ----

// A directory of its own for one run, removed with what it holds.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char name[] = "/tmp/korvene-e2e-XXXXXX";
        if (mkdtemp(name) != nullptr) path = name;
    }
    ~ScratchDirectory() {
        for (const std::string& entry : entries()) (void)std::remove((path + "/" + entry).c_str());
        (void)rmdir(path.c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return names;
        for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
        return names;
    }

    std::string path;
};

// RLIMIT_CORE raised to its hard limit for this process and the children it
// starts, and put back after.
class CoreFilesEnabled {
public:
    CoreFilesEnabled() {
        if (getrlimit(RLIMIT_CORE, &before) != 0) return;
        rlimit unlimited = before;
        unlimited.rlim_cur = unlimited.rlim_max;
        enabled = unlimited.rlim_cur == RLIM_INFINITY && setrlimit(RLIMIT_CORE, &unlimited) == 0;
    }
    ~CoreFilesEnabled() { (void)setrlimit(RLIMIT_CORE, &before); }
    CoreFilesEnabled(const CoreFilesEnabled&) = delete;
    CoreFilesEnabled& operator=(const CoreFilesEnabled&) = delete;

    bool enabled = false;

private:
    rlimit before{};
};

std::string corePattern() {
    std::ifstream file("/proc/sys/kernel/core_pattern");
    std::string pattern;
    std::getline(file, pattern);
    return pattern;
}

// Why a core file of a process in `directory` would not land there, or empty
// when a control child that raises SIGQUIT in it leaves one (which is then
// removed).
std::string whyNoCoreFileLandsIn(const ScratchDirectory& directory) {
    const std::string pattern = corePattern();
    if (pattern.empty() || pattern[0] == '|' || pattern[0] == '/') {
        return "core files go to \"" + pattern + "\" (core_pattern), not to the working directory";
    }
    (void)std::fflush(nullptr);
    const pid_t control = fork();
    if (control == 0) {
        // Only system calls: this process has threads.
        if (chdir(directory.path.c_str()) != 0) _exit(1);
        (void)signal(SIGQUIT, SIG_DFL);
        sigset_t quit;
        sigemptyset(&quit);
        sigaddset(&quit, SIGQUIT);
        (void)sigprocmask(SIG_UNBLOCK, &quit, nullptr);
        (void)raise(SIGQUIT);
        _exit(2);
    }
    int status = 0;
    if (control < 0 || waitpid(control, &status, 0) != control) return "the control child could not be run";
    const std::vector<std::string> left = directory.entries();
    for (const std::string& entry : left) (void)std::remove((directory.path + "/" + entry).c_str());
    if (!WIFSIGNALED(status) || !WCOREDUMP(status) || left.empty()) {
        return "a process that raises SIGQUIT in " + directory.path + " dumps no core file there (core_pattern \"" +
               pattern + "\")";
    }
    return "";
}

// The process that holds the SO PIN writes no core file: a repeated keyboard
// interrupt mid-write (Ctrl-C, then Ctrl-\) ends it by SIGQUIT, whose default
// action would dump one, with none dumped.
TEST(CoreFile, SecondKeyboardInterruptMidWriteEndsTheUpdaterBySigquitWithoutACoreFile) {
    const std::string missing = missingChunks(2);
    if (!missing.empty()) GTEST_SKIP() << missing;
    const CoreFilesEnabled coreFiles;
    if (!coreFiles.enabled) GTEST_SKIP() << "RLIMIT_CORE cannot be raised to unlimited here";
    const ScratchDirectory directory;
    ASSERT_FALSE(directory.path.empty()) << "mkdtemp failed";
    const std::string why = whyNoCoreFileLandsIn(directory);
    if (!why.empty()) GTEST_SKIP() << why;

    // The key has an SO PIN, which a core file would carry.
    VirtualKey key;
    key.state.soPinSet = true;
    key.state.soPin = kSoPin;
    std::atomic<pid_t> updater{0};
    std::atomic<bool> signalled{false};
    EmulatedKeyOptions options;
    // Both wait, blocked, until the ioctl returns; SIGINT, the lower number, is
    // taken first and noted, then SIGQUIT arrives as the second interrupt.
    options.hold = {static_cast<int>(CommandCode::WriteFirmware), 2, [&] {
                        signalled = updater != 0 && kill(updater, SIGINT) == 0 && kill(updater, SIGQUIT) == 0;
                    }};
    EmulatedUsbBus bus;
    std::string error;
    ASSERT_TRUE(bus.attach(key, options, &error)) << error;

    ProcessSpec spec;
    spec.program = KORVENE_UPDATER;
    // A sanitizer build would otherwise turn core files off for itself.
    spec.environment = preloadEnvironment(bus.root(), "disable_coredump=0");
    spec.stdinText = "y\n" + kSoPin + "\n";
    spec.timeoutSeconds = kDeadlineSeconds;
    spec.workingDirectory = directory.path;
    spec.started = [&updater](pid_t pid) { updater = pid; };
    const ProcessResult run = runProcess(spec);

    ASSERT_TRUE(signalled) << "the key never held its answer to the second chunk, or kill failed";
    const std::string transcript = "standard output:\n" + run.stdoutText + "\nstandard error:\n" + run.stderrText;
    EXPECT_EQ(run.signal, SIGQUIT) << "exit code " << run.exitCode << "\n" << transcript;
    EXPECT_FALSE(run.coreDumped) << "the wait status says a core was dumped";
    EXPECT_EQ(directory.entries(), std::vector<std::string>{}) << "files written in the working directory";
}

}  // namespace
}  // namespace korvene::testing
