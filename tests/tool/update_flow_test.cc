// The update flow against the virtual key, from the status query to the exit
// code: every way out of the installation and of the flow, and the
// confirmation prompt's answers. Each run feeds standard input from a file and
// compares the whole of standard output byte for byte.
#include <crypto++/osrng.h>
#include <crypto++/sha.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/support/stdin_feed.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/vector_file.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/update_flow_run.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene::testing {
namespace {

constexpr int code(ExitCode exitCode) { return static_cast<int>(exitCode); }
constexpr int kGetInfo = static_cast<int>(CommandCode::GetInfo);
constexpr int kKeyExchange = static_cast<int>(CommandCode::KeyExchange);
constexpr int kSetupUpdate = static_cast<int>(CommandCode::SetupUpdate);
constexpr int kWriteFirmware = static_cast<int>(CommandCode::WriteFirmware);
constexpr int kGetFirmwareHash = static_cast<int>(CommandCode::GetFirmwareHash);
constexpr int kDeployFirmware = static_cast<int>(CommandCode::DeployFirmware);
constexpr int kCancelUpdate = static_cast<int>(CommandCode::CancelUpdate);

// ---- the embedded pack's chunks ----

const size_t kChunks = embeddedChunkCount();
const std::string kAllChunks = chunkRequests(kChunks);

// ---- the texts of a run ----

const std::string kOffered = "KORVENE can be updated. ver.1.4 -> ver.2.0\n";
const std::string kCaution = "\n" + std::string(58, '=') + "\n" + std::string(22, ' ') +
                             "CAUTION\n"
                             "\n"
                             "  PINs and all keys of KORVENE will be erased.\n"
                             "  All FIDO2/U2F authentication keys will also be deleted.\n"
                             "\n"
                             "  DO NOT shutdown or sleep your PC during updating.\n"
                             "\n" +
                             std::string(58, '=') + "\n\n";
const std::string kPrompt = "Are you sure to update the firmware? [y/n]: ";
const std::string kInvalid = "Invalid key input\n";
const std::string kPinPrompt = "SO PIN: \n";
const std::string kUntilPrompt = kOffered + kCaution + kPrompt;
const std::string kWriting = "Writing firmware ";
const std::string kWritten = kWriting + std::string(kChunks, '.') + " done!\n";
const std::string kVerifying = "Verifying firmware ";
const std::string kVerified = kVerifying + ".. done!\n";
const std::string kInstalled = kWritten + kVerified;
const std::string kUpdated = "Updated successfully!\n";
const std::string kCanceled = "Update canceled.\n";

// The requests of a whole installation after the status query.
const std::string kUpToChunks = "GetInfo KeyExchange SetupUpdate ";
const std::string kInstallRequests = kUpToChunks + kAllChunks + " GetFirmwareHash DeployFirmware FinishUpdate";

std::vector<uint8_t> embeddedPayload() {
    const FirmwarePackHeader* header = embeddedPackHeader();
    return std::vector<uint8_t>(kFirmwarePack + header->headerSize, kFirmwarePack + kFirmwarePackSize);
}

// The digest the key answers with knobs.wrongDigest, in hexadecimal.
std::string wrongDigestHex() {
    const std::vector<uint8_t> payload = embeddedPayload();
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), payload.data(), payload.size());
    digest[0] ^= 0x01;
    return toHex(digest);
}

// ---- one run ----

struct FlowCase {
    const char* name;
    std::function<void(VirtualKeySession&)> arrange;  // the key's state and knobs
    std::string input;                                // standard input, all of it
    int exitCode;
    std::string output;  // the whole standard output
    std::string sent;    // the requests the key received, the status query on
    bool force = false;
    TraceLevel level = TraceLevel::Info;
    size_t chunksNeeded = 1;  // the row asks for an embedded pack of at least this many chunks
};

void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

void nothing(VirtualKeySession&) {}

std::function<void(VirtualKeySession&)> fault(int command, ResponseFault::Kind kind, uint8_t wireStatus = 0,
                                              size_t payloadLength = 0, int occurrence = 0) {
    return [=](VirtualKeySession& k) {
        ResponseFault f;
        f.command = command;
        f.occurrence = occurrence;
        f.kind = kind;
        f.wireStatus = wireStatus;
        f.payloadLength = payloadLength;
        k.key.knobs.faults.push_back(f);
    };
}

std::function<void(VirtualKeySession&)> refuse(int command, uint8_t wireStatus, int occurrence = 0) {
    return fault(command, ResponseFault::Kind::WireStatus, wireStatus, 0, occurrence);
}

std::function<void(VirtualKeySession&)> firmware(uint8_t major, uint8_t minor) {
    return [=](VirtualKeySession& k) {
        k.key.state.firmwareMajor = major;
        k.key.state.firmwareMinor = minor;
    };
}

std::function<void(VirtualKeySession&)> soPin(const std::string& pin) {
    return [=](VirtualKeySession& k) {
        k.key.state.soPinSet = true;
        k.key.state.soPin = pin;
    };
}

std::function<void(VirtualKeySession&)> both(const std::function<void(VirtualKeySession&)>& first,
                                             const std::function<void(VirtualKeySession&)>& second) {
    return [=](VirtualKeySession& k) {
        first(k);
        second(k);
    };
}

class UpdateFlowRun : public ::testing::TestWithParam<FlowCase> {};

TEST_P(UpdateFlowRun, EndsWithItsExitCodeOutputAndRequests) {
    const FlowCase& c = GetParam();
    const std::string missing = missingChunks(c.chunksNeeded);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    c.arrange(k);

    int result = -1;
    std::string output;
    {
        StdinFeed input(c.input);
        StdoutCapture capture;
        traceInit(c.level);
        result = runUpdate(k.session, c.force);
        output = capture.take();
    }
    traceInit(TraceLevel::Info);

    EXPECT_EQ(result, c.exitCode);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(k.requestsSinceOpen(), c.sent);
    ASSERT_NE(k.session, nullptr) << "the flow must leave the session with its caller";

    // Whatever the path: the update requests travel enciphered, and a cancel
    // request goes plain and without payload.
    for (const ReceivedRequest& request : k.key.requests) {
        if (request.command == kSetupUpdate || request.command == kWriteFirmware ||
            request.command == kGetFirmwareHash) {
            EXPECT_TRUE(request.encrypted) << "command " << int(request.command);
        }
        if (request.command == kCancelUpdate) {
            EXPECT_FALSE(request.encrypted);
            EXPECT_EQ(request.length, 0);
        }
    }
}

std::string rowName(const ::testing::TestParamInfo<FlowCase>& info) { return info.param.name; }

// The ways out of the installation and of the update flow.
const std::vector<FlowCase> kFailureTable = {
    // Status and version decision.
    {"StatusQueryFailsWithoutVersionOrBanner", refuse(kGetInfo, 3, 2), "y\n", code(ExitCode::StatusFailed),
     error("Failed to get device status: Busy"), "GetInfo"},
    {"Version2_0NeedsNoUpdate", firmware(2, 0), "y\n", code(ExitCode::NoUpdateNeeded),
     "Current firmware is ver.2.0. No update is needed.\n", "GetInfo"},
    {"Version3_0NeedsNoUpdate", firmware(3, 0), "y\n", code(ExitCode::NoUpdateNeeded),
     "Current firmware is ver.3.0. No update is needed.\n", "GetInfo"},
    {"Version1_255IsOffered", firmware(1, 255), "n\n", code(ExitCode::Canceled),
     "KORVENE can be updated. ver.1.255 -> ver.2.0\n" + kCaution + kPrompt + kCanceled, "GetInfo"},
    {"Version0_0IsOffered", firmware(0, 0), "n\n", code(ExitCode::Canceled),
     "KORVENE can be updated. ver.0.0 -> ver.2.0\n" + kCaution + kPrompt + kCanceled, "GetInfo"},
    {"ForceUpdatesNewerVersion", firmware(5, 1), "y\n", code(ExitCode::Updated),
     "Force update is activated. ver.5.1 -> ver.2.0\n" + kCaution + kPrompt + kInstalled + kUpdated,
     kInstallRequests, true},

    // Confirmation and SO PIN.
    {"UpdatedWithoutSoPin", nothing, "y\n", code(ExitCode::Updated), kUntilPrompt + kInstalled + kUpdated,
     kInstallRequests},
    {"UpdatedWithSoPin", soPin("1234"), "y\n1234\n", code(ExitCode::Updated),
     kUntilPrompt + kPinPrompt + kInstalled + kUpdated, kInstallRequests},
    {"SoPinWithoutFinalLineEndIsUsed", soPin("1234"), "y\n1234", code(ExitCode::Updated),
     kUntilPrompt + kPinPrompt + kInstalled + kUpdated, kInstallRequests},
    // Blanks, a tab and punctuation are PIN bytes: the whole line reaches the key.
    {"SoPinWithBlanksReachesTheKeyUnchanged", soPin(" 1 2\t!x~ "), "y\n 1 2\t!x~ \n", code(ExitCode::Updated),
     kUntilPrompt + kPinPrompt + kInstalled + kUpdated, kInstallRequests},
    // Enter alone (or one typed ahead after y) would spend a PIN try on nothing.
    {"EmptySoPinLineCancelsWithNoRequest", soPin("1234"), "y\n\n1234\n", code(ExitCode::Canceled),
     kUntilPrompt + kPinPrompt + kCanceled, "GetInfo"},
    {"LockedFlagWithoutSoPinSetAsksNoPin", [](VirtualKeySession& k) { k.key.state.soPinLocked = true; }, "y\n",
     code(ExitCode::Updated), kUntilPrompt + kInstalled + kUpdated, kInstallRequests},
    {"VerboseSuccessNotesHashAndDeployment", nothing, "y\n", code(ExitCode::Updated),
     kUntilPrompt + kInstalled + "[VERBOSE] Firmware hash verified.\n[VERBOSE] Firmware has been deployed.\n" +
         kUpdated,
     kInstallRequests, false, TraceLevel::Verbose},
    {"EndOfInputAtConfirmationCancelsWithNoRequest", nothing, "", code(ExitCode::Canceled),
     kUntilPrompt + kCanceled, "GetInfo"},
    {"AnswerNoCancelsWithNoRequest", nothing, "n\n", code(ExitCode::Canceled), kUntilPrompt + kCanceled, "GetInfo"},
    {"LockedSoPinStopsAfterConfirmation",
     both(soPin("1234"), [](VirtualKeySession& k) { k.key.state.soPinLocked = true; }), "y\n",
     code(ExitCode::SoPinLocked),
     kUntilPrompt + error("SO PIN has been locked. Restore your KORVENE to the factory settings."), "GetInfo"},
    {"EndOfInputAtSoPinPromptCancelsWithNoRequest", soPin("1234"), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + kPinPrompt + kCanceled, "GetInfo"},

    // Installation failures, each followed by the cancel request.
    {"KeyExchangeRefused", refuse(kKeyExchange, 3), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + error("Cannot establish secure messaging: Busy") + kCanceled,
     "GetInfo KeyExchange CancelUpdate"},
    {"RandomSourceFails",
     [](VirtualKeySession& k) {
         k.session->setKeyPairGenerator([](std::vector<uint8_t>&, std::vector<uint8_t>&) {
             throw CryptoPP::OS_RNG_Err("read");
         });
     },
     "y\n", code(ExitCode::Canceled),
     kUntilPrompt + error("Cannot establish secure messaging: HostInternalError") + kCanceled,
     "GetInfo CancelUpdate"},
    {"SoPinOf257BytesRefusedAfterKeyExchange", soPin(std::string(257, 'p')), "y\n" + std::string(257, 'p') + "\n",
     code(ExitCode::Canceled), kUntilPrompt + kPinPrompt + error("Too long SO PIN.") + kCanceled,
     "GetInfo KeyExchange CancelUpdate"},
    {"WrongSoPin", soPin("1234"), "y\n4321\n", code(ExitCode::Canceled),
     kUntilPrompt + kPinPrompt + error("Incorrect SO PIN.") + kCanceled,
     "GetInfo KeyExchange SetupUpdate CancelUpdate"},
    {"SetupRefused", refuse(kSetupUpdate, 6), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + error("Setup request failed: BadParameter") + kCanceled,
     "GetInfo KeyExchange SetupUpdate CancelUpdate"},
    {"FifthChunkRefusedAfterFourDots", refuse(kWriteFirmware, 3, 5), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + kWriting + "...." + error("Write request failed: Busy") + kCanceled,
     kUpToChunks + chunkRequests(5) + " CancelUpdate", false, TraceLevel::Info, 5},
    {"HashRequestRefused", refuse(kGetFirmwareHash, 3), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + kWritten + kVerifying + "." + error("Failed to get firmware hash: Busy") + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash CancelUpdate"},
    {"EmptyHash", fault(kGetFirmwareHash, ResponseFault::Kind::PayloadLength, 0, 0), "y\n",
     code(ExitCode::Canceled),
     kUntilPrompt + kWritten + kVerifying + ".." + error("Empty hash is received.") + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash CancelUpdate"},
    {"HashOf31BytesIsDumped", fault(kGetFirmwareHash, ResponseFault::Kind::PayloadLength, 0, 31), "y\n",
     code(ExitCode::Canceled),
     kUntilPrompt + kWritten + kVerifying + ".." + error("Hash mismatch: " + toHex(VirtualKey::filler(31))) +
         kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash CancelUpdate"},
    {"HashOf33BytesIsDumped", fault(kGetFirmwareHash, ResponseFault::Kind::PayloadLength, 0, 33), "y\n",
     code(ExitCode::Canceled),
     kUntilPrompt + kWritten + kVerifying + ".." + error("Hash mismatch: " + toHex(VirtualKey::filler(33))) +
         kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash CancelUpdate"},
    {"WrongDigestIsDumped", [](VirtualKeySession& k) { k.key.knobs.wrongDigest = true; }, "y\n",
     code(ExitCode::Canceled),
     kUntilPrompt + kWritten + kVerifying + ".." + error("Hash mismatch: " + wrongDigestHex()) + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash CancelUpdate"},
    {"DeployRefused", refuse(kDeployFirmware, 3), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + kInstalled + error("Failed to deploy firmware.") + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash DeployFirmware CancelUpdate"},
    {"KeyGoneBeforeFinishAndCancel",
     [](VirtualKeySession& k) {
         // Status, exchange, setup, every chunk, hash and deployment reach the key.
         k.key.knobs.disconnectAfterRequests = static_cast<int>(k.requestsAtStart + 5 + kChunks);
     },
     "y\n", code(ExitCode::Canceled),
     kUntilPrompt + kInstalled + error("Failed to deploy firmware.") +
         error("Failed to cancel update request: DeviceError") + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash DeployFirmware"},
    {"CancelRefusedKeepsCanceled", both(refuse(kDeployFirmware, 3), refuse(kCancelUpdate, 3)), "y\n",
     code(ExitCode::Canceled),
     kUntilPrompt + kInstalled + error("Failed to deploy firmware.") +
         error("Failed to cancel update request: Busy") + kCanceled,
     kUpToChunks + kAllChunks + " GetFirmwareHash DeployFirmware CancelUpdate"},
    {"VerboseNotesTheAcceptedCancel", refuse(kSetupUpdate, 6), "y\n", code(ExitCode::Canceled),
     kUntilPrompt + error("Setup request failed: BadParameter") + "[VERBOSE] Update has been canceled.\n" +
         kCanceled,
     "GetInfo KeyExchange SetupUpdate CancelUpdate", false, TraceLevel::Verbose},
};
INSTANTIATE_TEST_SUITE_P(FailureTables, UpdateFlowRun, ::testing::ValuesIn(kFailureTable), rowName);

// The confirmation prompt's answers, up to the line end or the end of input.
const std::string kGoesOn = kInstalled + kUpdated;
const std::vector<FlowCase> kConfirmationTable = {
    {"LowerY", nothing, "y\n", code(ExitCode::Updated), kUntilPrompt + kGoesOn, kInstallRequests},
    {"UpperY", nothing, "Y\n", code(ExitCode::Updated), kUntilPrompt + kGoesOn, kInstallRequests},
    {"LowerN", nothing, "n\n", code(ExitCode::Canceled), kUntilPrompt + kCanceled, "GetInfo"},
    {"UpperN", nothing, "N\n", code(ExitCode::Canceled), kUntilPrompt + kCanceled, "GetInfo"},
    {"EmptyLineAsksAgainSilently", nothing, "\n", code(ExitCode::Canceled), kUntilPrompt + kPrompt + kCanceled,
     "GetInfo"},
    {"OtherCharacterAsksAgainSilently", nothing, "x\n", code(ExitCode::Canceled),
     kUntilPrompt + kPrompt + kCanceled, "GetInfo"},
    {"OtherCharacterThenEmptyLineThenY", nothing, "x\n\nY\n", code(ExitCode::Updated),
     kUntilPrompt + kPrompt + kPrompt + kGoesOn, kInstallRequests},
    {"YesIsInvalidAndInstallsNothing", nothing, "yes\n", code(ExitCode::Canceled),
     kUntilPrompt + kInvalid + kPrompt + kCanceled, "GetInfo"},
    {"YesThenY", nothing, "yes\ny\n", code(ExitCode::Updated), kUntilPrompt + kInvalid + kPrompt + kGoesOn,
     kInstallRequests},
    {"EndOfInput", nothing, "", code(ExitCode::Canceled), kUntilPrompt + kCanceled, "GetInfo"},
    {"EndOfInputAfterOneCharacter", nothing, "y", code(ExitCode::Canceled), kUntilPrompt + kCanceled, "GetInfo"},
    {"EndOfInputAfterTwoCharacters", nothing, "no", code(ExitCode::Canceled),
     kUntilPrompt + kInvalid + kPrompt + kCanceled, "GetInfo"},
};
INSTANTIATE_TEST_SUITE_P(ConfirmationInput, UpdateFlowRun, ::testing::ValuesIn(kConfirmationTable), rowName);

// ---- what reached the key ----

TEST(UpdateFlowKey, ReassemblesTheEmbeddedPayloadByteForByteFromFullChunksAndTheRestInTheLast) {
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    k.key.state.soPinSet = true;
    k.key.state.soPin = "so-pin";

    ASSERT_EQ(runFlow(k, "y\nso-pin\n").result, code(ExitCode::Updated));

    const FirmwarePackHeader* header = embeddedPackHeader();
    EXPECT_EQ(k.key.state.firmware, embeddedPayload());
    EXPECT_EQ(k.key.state.setupValue1, header->setupValue1);
    EXPECT_EQ(k.key.state.setupValue2, header->setupValue2);
    EXPECT_EQ(k.key.state.expectedSize, header->payloadSize);
    EXPECT_TRUE(k.key.state.deployed);
    EXPECT_TRUE(k.key.state.finished);
    EXPECT_FALSE(k.key.state.canceled);

    std::vector<size_t> chunks;
    for (const ReceivedRequest& request : k.key.requests) {
        if (request.command == kWriteFirmware) chunks.push_back(request.length);
    }
    // 14 chunks, the last of 7240 bytes, for the placeholder pack; a payload of
    // whole chunks ends with a full one.
    ASSERT_EQ(chunks.size(), kChunks);
    for (size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(chunks[i], 8192u) << "chunk " << i;
    EXPECT_EQ(chunks.back(), header->payloadSize - (kChunks - 1) * kFirmwareChunkSize);

    const ReceivedRequest* setup = k.key.lastRequest(kSetupUpdate);
    ASSERT_NE(setup, nullptr);
    EXPECT_EQ(setup->length, 12 + 6);
    EXPECT_EQ(std::string(setup->plain.begin() + 12, setup->plain.end()), "so-pin");
    // The PIN never travels in the clear.
    EXPECT_EQ(std::string(setup->payload.begin(), setup->payload.end()).find("so-pin"), std::string::npos);
}

TEST(UpdateFlowKey, WrongSoPinOnTheLastTryLocksThePinAndTheNextRunStopsAtTheLockedMessage) {
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    k.key.state.soPinSet = true;
    k.key.state.soPin = "1234";
    k.key.state.soPinTriesLeft = 1;

    EXPECT_EQ(runFlow(k, "y\n0000\n").result, code(ExitCode::Canceled));
    EXPECT_TRUE(k.key.state.soPinLocked);

    const QuietRun again = runFlow(k, "y\n1234\n");
    EXPECT_EQ(again.result, code(ExitCode::SoPinLocked));
    EXPECT_EQ(again.output,
              kUntilPrompt + error("SO PIN has been locked. Restore your KORVENE to the factory settings."));
    EXPECT_EQ(k.key.countRequests(kSetupUpdate), 1u);
}

}  // namespace
}  // namespace korvene::testing
