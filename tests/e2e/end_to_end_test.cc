// The updater as its users run it: the real korvene-update process, linked
// against the real libusb, against virtual keys that exist only as emulated
// USB devices (EmulatedUsbBus). Each row of the table is one run of the binary
// with a command line and standard input; it checks the exit code, the lines
// that matter on standard output, and the requests that reached the key.

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
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
    void (*arrange)(VirtualKey& key, Attachment& attachment) = nullptr;
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

    EmulatedUsbBus bus;
    for (int i = 0; i < attachment.keys; ++i) {
        std::string error;
        ASSERT_TRUE(bus.attach(keys[i], attachment.options, &error)) << error;
    }

    const auto start = std::chrono::steady_clock::now();
    // A run still going at the deadline is killed and fails the test.
    const ProcessResult run = runProcess(scenario.program, scenario.arguments, preloadEnvironment(bus.root()),
                                         scenario.input, kDeadlineSeconds, scenario.closeOutputAfterFirstLine);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

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

}  // namespace
}  // namespace korvene::testing
