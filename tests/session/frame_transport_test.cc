// Opening a session, the frame exchange of send and both transact forms, the
// sequence counter, the fault flag and the bound on every bulk wait, against
// the virtual key.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/wire_status.h"
#include "tests/session/session_harness.h"
#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::KeySessionTestPeer;
using testing::ReceivedRequest;
using testing::ResponseFault;
using testing::SessionHarness;
using testing::VirtualKey;
using Kind = ResponseFault::Kind;

constexpr uint8_t kGetInfo = static_cast<uint8_t>(CommandCode::GetInfo);
const std::vector<uint8_t> kReadyAnswer = {0x01, 0x00, 0x00, 0x00};

// Writes the ReadyState selector into the payload area: a GetInfo request the
// key answers with 4 bytes.
void putReadySelector(KeySession& session) {
    uint8_t* area = session.payload(4);
    area[0] = 0x03;
    area[1] = area[2] = area[3] = 0x00;
}

ResponseFault fault(Kind kind, uint8_t wireStatus = 0, size_t payloadLength = 0) {
    return testing::answerFault(kGetInfo, kind, wireStatus, payloadLength);
}

ResponseFault wrongMagic(size_t byte) {
    ResponseFault f = fault(Kind::WrongMagic);
    f.magicByte = byte;
    return f;
}

class FrameTransport : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.open()); }

    KeySession& session() { return *h.session; }

    StatusCode readyTransact(std::vector<uint8_t>& out) {
        putReadySelector(session());
        return session().transact(CommandCode::GetInfo, false, 4, out);
    }

    // A request whose answer never comes: the session is faulted afterwards.
    void faultTheSession() {
        h.key.knobs.faults = {fault(Kind::NoAnswer)};
        std::vector<uint8_t> out;
        ASSERT_EQ(readyTransact(out), StatusCode::DeviceError);
        ASSERT_TRUE(session().isFaulted());
        h.key.knobs.faults.clear();
    }

    SessionHarness h;
};

// ---- opening ----

TEST(SessionOpen, CreateEnablesZeroLengthPacketsAndBoundsEveryEndpoint) {
    SessionHarness h;
    h.key.state.outEndpoints = {0x01, 0x02};
    h.key.state.inEndpoints = {0x81};
    ASSERT_TRUE(h.open());
    for (uint8_t address : {0x01, 0x02, 0x81}) {
        EXPECT_TRUE(h.device().zeroLengthPacketsEnabled(address)) << int(address);
        EXPECT_EQ(h.device().timeoutOf(address), KeySession::kDefaultBulkTimeoutMs) << int(address);
    }
    EXPECT_EQ(KeySession::kDefaultBulkTimeoutMs, 30000u);
    EXPECT_EQ(h.session->sequenceNumber(), 0u);
    EXPECT_FALSE(h.session->isSecure());
    EXPECT_FALSE(h.session->isFaulted());
    EXPECT_EQ(h.session->frameBufferSize(), 8u);
    EXPECT_EQ(h.session->usbDevice(), h.enumerator.lastOpened);
}

TEST(SessionOpen, FailedOpenIsPassedOnOrBecomesFailedAndLeavesTheSessionAlone) {
    const struct {
        UsbOpenResult enumerator;
        UsbOpenResult expected;
    } cases[] = {
        {UsbOpenResult::Failed, UsbOpenResult::Failed},
        {UsbOpenResult::AccessDenied, UsbOpenResult::AccessDenied},
        {UsbOpenResult::NoDevice, UsbOpenResult::NoDevice},
        {UsbOpenResult::Busy, UsbOpenResult::Busy},
        {static_cast<UsbOpenResult>(9), UsbOpenResult::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.enumerator));
        SessionHarness h;
        ASSERT_TRUE(h.open());
        std::vector<uint8_t> out;
        putReadySelector(*h.session);
        ASSERT_EQ(h.session->transact(CommandCode::GetInfo, false, 4, out), StatusCode::Success);
        KvUsbDevice* const before = h.session->usbDevice();

        h.enumerator.openResult = c.enumerator;
        EXPECT_EQ(h.session->open(h.enumerator, 0), c.expected);
        EXPECT_EQ(h.session->usbDevice(), before);
        EXPECT_EQ(h.session->sequenceNumber(), 1u);
        EXPECT_EQ(KeySession::create(h.enumerator, 0), nullptr);
    }
}

TEST(SessionOpen, IndexBeyondTheListGivesNoSession) {
    SessionHarness h;
    EXPECT_EQ(KeySession::create(h.enumerator, 1), nullptr);
}

TEST_F(FrameTransport, ReopenClearsCounterFaultAndSecureFlagButKeepsTheKeyRecord) {
    h.establish(testing::sampleKeys());
    faultTheSession();
    ASSERT_EQ(session().sequenceNumber(), 1u);

    ASSERT_EQ(session().open(h.enumerator, 0), UsbOpenResult::Ok);
    EXPECT_EQ(session().sequenceNumber(), 0u);
    EXPECT_FALSE(session().isFaulted());
    EXPECT_FALSE(session().isSecure());
    EXPECT_NE(session().sessionKeys(), nullptr);
    EXPECT_EQ(session().usbDevice(), h.enumerator.lastOpened);

    std::vector<uint8_t> out;
    EXPECT_EQ(readyTransact(out), StatusCode::Success);
    EXPECT_EQ(h.key.requests.back().sequence, 1);
}

// The reopened session is not secure although it keeps its key record: its
// requests go plain and an encrypted one is refused, while an answer flagged
// encrypted is deciphered with the kept keys, since the answer's flag alone
// decides that.
TEST_F(FrameTransport, ReopenedSessionSendsPlainAndStillDeciphersFlaggedAnswers) {
    h.establish(testing::sampleKeys());
    ASSERT_EQ(session().open(h.enumerator, 0), UsbOpenResult::Ok);

    putReadySelector(session());
    std::vector<uint8_t> out;
    EXPECT_EQ(session().transact(CommandCode::GetInfo, true, 4, out), StatusCode::NoEstablishedKey);
    EXPECT_TRUE(h.key.requests.empty());

    h.key.knobs.faults = {fault(Kind::EncryptedFlag)};
    uint32_t state = 0;
    EXPECT_EQ(session().getReadyState(&state), StatusCode::Success);
    EXPECT_EQ(h.key.requests.back().code, 0x03);
    EXPECT_EQ(state, 1u);
    out.clear();
    EXPECT_EQ(readyTransact(out), StatusCode::Success);
    EXPECT_EQ(h.key.requests.back().code, 0x03);
    EXPECT_EQ(out, kReadyAnswer);
}

// ---- the bound on bulk waits ----

TEST_F(FrameTransport, BulkTimeoutIsReappliedNowAndOnEveryLaterOpen) {
    session().setBulkTimeout(5);
    EXPECT_EQ(h.device().timeoutOf(testing::kVirtualOutAddress), 5u);
    EXPECT_EQ(h.device().timeoutOf(testing::kVirtualInAddress), 5u);
    ASSERT_EQ(session().open(h.enumerator, 0), UsbOpenResult::Ok);
    EXPECT_EQ(h.device().timeoutOf(testing::kVirtualOutAddress), 5u);
    EXPECT_EQ(h.device().timeoutOf(testing::kVirtualInAddress), 5u);
}

TEST_F(FrameTransport, KeyThatStopsAnsweringEndsInDeviceErrorWithinTheBound) {
    h.key.knobs.silentAfterRequests = 0;
    std::vector<uint8_t> out;
    EXPECT_EQ(readyTransact(out), StatusCode::DeviceError);
    EXPECT_TRUE(session().isFaulted());
    EXPECT_EQ(h.device().unboundedWaits(), 0u);

    // The same wait without a bound would have hung a real device.
    ASSERT_EQ(session().open(h.enumerator, 0), UsbOpenResult::Ok);
    session().setBulkTimeout(0);
    EXPECT_EQ(readyTransact(out), StatusCode::DeviceError);
    EXPECT_EQ(h.device().unboundedWaits(), 1u);
}

// ---- sequence numbers ----

TEST_F(FrameTransport, SequenceByteStartsAtOneAfterOpenAndWrapsFrom255ToZero) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 257; ++i) {
        ASSERT_EQ(readyTransact(out), StatusCode::Success) << "request " << i + 1;
    }
    ASSERT_EQ(h.key.requests.size(), 257u);
    EXPECT_EQ(h.key.requests[0].sequence, 1);
    EXPECT_EQ(h.key.requests[254].sequence, 255);
    EXPECT_EQ(h.key.requests[255].sequence, 0);
    EXPECT_EQ(h.key.requests[256].sequence, 1);
    EXPECT_EQ(session().sequenceNumber(), 257u);
}

// ---- the error order of a request and the fault flag ----

enum class Call { Send, Transact, TransactWithOutput };

struct RequestCase {
    const char* name;
    Call call;
    // Set-up.
    bool faultedBefore;
    size_t length;  // the payload area holds 4 bytes
    bool encrypted;
    bool failWrite;
    bool failRead;
    std::optional<Kind> answer;
    // Outcome.
    StatusCode status;
    bool faultedAfter;
    bool reachedKey;
    bool numbered;  // the request used up a sequence number
};

const RequestCase kRequestCases[] = {
    {"OversizeBeatsEncryptionAndFault", Call::Send, true, 5, true, false, false, {},
     StatusCode::HostInternalError, true, false, false},
    {"OversizeBeatsEncryptionAndFault", Call::Transact, true, 5, true, false, false, {},
     StatusCode::HostInternalError, true, false, false},
    {"EncryptionWithoutKeysBeatsFault", Call::TransactWithOutput, true, 4, true, false, false, {},
     StatusCode::NoEstablishedKey, true, false, false},
    {"EncryptionWithoutKeys", Call::Send, false, 4, true, false, false, {},
     StatusCode::NoEstablishedKey, false, false, false},
    {"FaultedSessionTouchesNothing", Call::Transact, true, 4, false, false, false, {},
     StatusCode::DeviceError, true, false, false},
    {"FaultedSessionTouchesNothing", Call::TransactWithOutput, true, 0, false, false, false, {},
     StatusCode::DeviceError, true, false, false},
    {"FailedWriteUsesASequenceNumber", Call::Send, false, 4, false, true, false, {},
     StatusCode::DeviceError, false, false, true},
    {"FailedWriteUsesASequenceNumber", Call::Transact, false, 4, false, true, false, {},
     StatusCode::DeviceError, false, false, true},
    {"SendReadsNoAnswer", Call::Send, false, 4, false, false, true, {},
     StatusCode::Success, false, true, true},
    {"FailedHeaderReadFaults", Call::Transact, false, 4, false, false, true, {},
     StatusCode::DeviceError, true, true, true},
    {"TimedOutHeaderReadFaults", Call::TransactWithOutput, false, 4, false, false, false, Kind::NoAnswer,
     StatusCode::DeviceError, true, true, true},
    {"ShortHeaderDoesNotFault", Call::Transact, false, 4, false, false, false, Kind::ShortHeader,
     StatusCode::DeviceError, false, true, true},
    {"ShortPayloadFaults", Call::TransactWithOutput, false, 4, false, false, false, Kind::ShortPayload,
     StatusCode::DeviceError, true, true, true},
    {"WrongMagicDoesNotFault", Call::Transact, false, 4, false, false, false, Kind::WrongMagic,
     StatusCode::ProtocolError, false, true, true},
    {"StaleSequenceDoesNotFault", Call::TransactWithOutput, false, 4, false, false, false, Kind::StaleSequence,
     StatusCode::ProtocolError, false, true, true},
    {"WireStatusDoesNotFault", Call::Transact, false, 4, false, false, false, Kind::WireStatus,
     StatusCode::Busy, false, true, true},
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class RequestErrors : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestErrors, StatusFaultFlagSequenceAndWhatReachedTheKey) {
    const RequestCase& c = GetParam();
    SessionHarness h;
    ASSERT_TRUE(h.open());
    KeySession& session = *h.session;
    ASSERT_EQ(testing::leaveLastWireStatus(h, 15), 15);
    std::vector<uint8_t> out;
    if (c.faultedBefore) {
        h.key.knobs.faults = {fault(Kind::NoAnswer)};
        putReadySelector(session);
        ASSERT_EQ(session.transact(CommandCode::GetInfo, false, 4, out), StatusCode::DeviceError);
        ASSERT_TRUE(session.isFaulted());
    }
    h.key.knobs.faults.clear();
    if (c.answer) h.key.knobs.faults = {fault(*c.answer, testing::wire::Busy)};
    if (c.failWrite) h.device().knobs.failBulkWrite = static_cast<int>(h.device().bulkWrites()) + 1;
    if (c.failRead) h.device().knobs.failBulkRead = static_cast<int>(h.device().bulkReads()) + 1;

    putReadySelector(session);
    const size_t requestsBefore = h.key.requests.size();
    const uint32_t sequenceBefore = session.sequenceNumber();
    const uint8_t wireStatusBefore = session.lastWireStatus();
    StatusCode status = StatusCode::Success;
    switch (c.call) {
        case Call::Send: status = session.send(CommandCode::GetInfo, c.encrypted, c.length); break;
        case Call::Transact: status = session.transact(CommandCode::GetInfo, c.encrypted, c.length); break;
        case Call::TransactWithOutput:
            status = session.transact(CommandCode::GetInfo, c.encrypted, c.length, out);
            break;
    }

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(session.isFaulted(), c.faultedAfter);
    EXPECT_EQ(h.key.requests.size() - requestsBefore, c.reachedKey ? 1u : 0u);
    EXPECT_EQ(session.sequenceNumber() - sequenceBefore, c.numbered ? 1u : 0u);
    // send leaves the last wire status alone. A transact clears it first and
    // sets it only from an answer that arrived whole: the raw code of a refused
    // answer stays, every other failure leaves 0 (a short payload too, whatever
    // its header said).
    const bool refusedAnswer = c.answer == Kind::WireStatus;
    EXPECT_EQ(session.lastWireStatus(),
              c.call == Call::Send ? wireStatusBefore : refusedAnswer ? testing::wire::Busy : 0);
    if (c.reachedKey) {
        EXPECT_EQ(h.key.requests.back().sequence, static_cast<uint8_t>(session.sequenceNumber()));
        EXPECT_EQ(h.key.requests.back().length, c.length);
    }
    if (!c.numbered) {
        // Refused before the header was built: the payload area is still plain.
        const uint8_t* area = session.payload(4);
        EXPECT_EQ(std::vector<uint8_t>(area, area + 4), (std::vector<uint8_t>{3, 0, 0, 0}));
    }
}

std::string requestCaseName(const ::testing::TestParamInfo<RequestCase>& info) {
    static const char* const calls[] = {"Send", "Transact", "TransactWithOutput"};
    return std::string(info.param.name) + "_" + calls[static_cast<int>(info.param.call)];
}

INSTANTIATE_TEST_SUITE_P(FrameTransport, RequestErrors, ::testing::ValuesIn(kRequestCases), requestCaseName);

TEST_F(FrameTransport, FaultFlagStaysUntilInitializeClearsIt) {
    faultTheSession();
    const size_t requests = h.key.requests.size();
    std::vector<uint8_t> out;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(readyTransact(out), StatusCode::DeviceError);
    EXPECT_EQ(h.key.requests.size(), requests);
    EXPECT_EQ(session().sequenceNumber(), 1u);

    ASSERT_TRUE(session().initialize());
    EXPECT_FALSE(session().isFaulted());
    EXPECT_EQ(readyTransact(out), StatusCode::Success);
}

// ---- response handling ----

struct ResponseCase {
    const char* name;
    bool secure;            // keys on both sides; the request is enciphered
    bool keysButPlainRequest;  // keys on both sides; the request travels plain
    std::optional<ResponseFault> answer;
    StatusCode withoutOutput;
    StatusCode withOutput;
    std::vector<uint8_t> out;  // what the form with output leaves on Success or on a wire status
    uint8_t lastWireStatus;
    bool faultedAfter;
};

const ResponseCase kResponseCases[] = {
    {"PlainAnswerWithPayload", false, false, {}, StatusCode::ProtocolError, StatusCode::Success, kReadyAnswer, 0,
     false},
    {"EmptySuccess", false, false, fault(Kind::PayloadLength, 0, 0), StatusCode::Success, StatusCode::Success, {}, 0,
     false},
    {"EmptySuccessFlaggedEncrypted", true, false, fault(Kind::PayloadLength, 0, 0), StatusCode::Success,
     StatusCode::Success, {}, 0, false},
    {"WrongMagicByte0", false, false, wrongMagic(0), StatusCode::ProtocolError, StatusCode::ProtocolError, {}, 0,
     false},
    {"WrongMagicByte1", false, false, wrongMagic(1), StatusCode::ProtocolError, StatusCode::ProtocolError, {}, 0,
     false},
    {"WrongMagicByte2", false, false, wrongMagic(2), StatusCode::ProtocolError, StatusCode::ProtocolError, {}, 0,
     false},
    {"WrongMagicByte3", false, false, wrongMagic(3), StatusCode::ProtocolError, StatusCode::ProtocolError, {}, 0,
     false},
    {"StaleSequence", false, false, fault(Kind::StaleSequence), StatusCode::ProtocolError, StatusCode::ProtocolError,
     {}, 0, false},
    {"ShortHeader", false, false, fault(Kind::ShortHeader), StatusCode::DeviceError, StatusCode::DeviceError, {}, 0,
     false},
    {"ShortPayload", false, false, fault(Kind::ShortPayload), StatusCode::DeviceError, StatusCode::DeviceError, {}, 0,
     true},
    {"WireStatusWithPayloadIsReadAndKeptRaw", false, false, fault(Kind::WireStatus, 15, 4),
     StatusCode::IncorrectPin, StatusCode::IncorrectPin, VirtualKey::filler(4), 15, false},
    {"WireStatusAbove23", false, false, fault(Kind::WireStatus, 40, 0), StatusCode::DeviceInternalError,
     StatusCode::DeviceInternalError, {}, 40, false},
    {"EncryptedAnswerIsDecipheredWithTheKeys", false, true, fault(Kind::EncryptedFlag), StatusCode::ProtocolError,
     StatusCode::Success, kReadyAnswer, 0, false},
    {"EncryptedAnswerToAnEncryptedRequest", true, false, {}, StatusCode::ProtocolError, StatusCode::Success,
     kReadyAnswer, 0, false},
    {"EncryptedAnswerWithoutKeysIsRefused", false, false, fault(Kind::EncryptedFlag), StatusCode::ProtocolError,
     StatusCode::ProtocolError, {}, 0, false},
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponseHandling : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseHandling, BothTransactFormsJudgeTheAnswer) {
    const ResponseCase& c = GetParam();
    for (bool withOutput : {false, true}) {
        SCOPED_TRACE(withOutput ? "with output" : "without output");
        SessionHarness h;
        ASSERT_TRUE(h.open());
        if (c.secure || c.keysButPlainRequest) h.establish(testing::sampleKeys());
        if (c.answer) h.key.knobs.faults = {*c.answer};

        putReadySelector(*h.session);
        std::vector<uint8_t> out = {0xEE};
        const StatusCode status = withOutput ? h.session->transact(CommandCode::GetInfo, c.secure, 4, out)
                                             : h.session->transact(CommandCode::GetInfo, c.secure, 4);
        EXPECT_EQ(status, withOutput ? c.withOutput : c.withoutOutput);
        EXPECT_EQ(h.session->lastWireStatus(), c.lastWireStatus);
        EXPECT_EQ(h.session->isFaulted(), c.faultedAfter);
        if (withOutput && (status == StatusCode::Success || c.lastWireStatus != 0)) {
            EXPECT_EQ(out, c.out);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FrameTransport, ResponseHandling, ::testing::ValuesIn(kResponseCases),
                         [](const ::testing::TestParamInfo<ResponseCase>& info) { return info.param.name; });

TEST(LastWireStatus, IsClearedByBothTransactFormsAndLeftBySend) {
    for (bool withOutput : {false, true}) {
        SCOPED_TRACE(withOutput ? "with output" : "without output");
        SessionHarness h;
        ASSERT_TRUE(h.open());
        h.key.knobs.faults = {fault(Kind::WireStatus, 15)};
        std::vector<uint8_t> out;
        putReadySelector(*h.session);
        ASSERT_EQ(h.session->transact(CommandCode::GetInfo, false, 4, out), StatusCode::IncorrectPin);
        ASSERT_EQ(h.session->lastWireStatus(), 15);
        ASSERT_EQ(h.session->send(CommandCode::GetInfo, false, 4), StatusCode::Success);
        EXPECT_EQ(h.session->lastWireStatus(), 15);

        h.device().knobs.failBulkWrite = static_cast<int>(h.device().bulkWrites()) + 1;
        const StatusCode status = withOutput ? h.session->transact(CommandCode::GetInfo, false, 4, out)
                                             : h.session->transact(CommandCode::GetInfo, false, 4);
        EXPECT_EQ(status, StatusCode::DeviceError);
        EXPECT_EQ(h.session->lastWireStatus(), 0);
    }
}

// ---- request frames ----

TEST_F(FrameTransport, EncryptedEmptyRequestIsTheFlaggedHeaderAlone) {
    h.establish(testing::sampleKeys());
    std::vector<uint8_t> out;
    session().transact(CommandCode::GetFirmwareHash, true, 0, out);
    ASSERT_EQ(h.key.requests.size(), 1u);
    EXPECT_EQ(h.key.requests[0].frame, (std::vector<uint8_t>{'K', 'R', 'V', 'N', 0x01, 0xA4, 0x00, 0x00}));
}

TEST_F(FrameTransport, EncryptedRequestLeavesCiphertextInThePayloadArea) {
    h.establish(testing::sampleKeys());
    const std::vector<uint8_t> plain = {3, 0, 0, 0};
    std::vector<uint8_t> out;
    putReadySelector(session());
    ASSERT_EQ(session().transact(CommandCode::GetInfo, true, 4, out), StatusCode::Success);
    const ReceivedRequest& request = h.key.requests.back();
    EXPECT_EQ(request.code, 0x83);
    EXPECT_EQ(request.plain, plain);
    EXPECT_NE(request.payload, plain);
    const uint8_t* area = session().payload(4);
    EXPECT_EQ(std::vector<uint8_t>(area, area + 4), request.payload);
    EXPECT_EQ(out, kReadyAnswer);
}

// The enciphered requests of the recorded sessions, byte for byte: sequence
// numbers 4 to 6 follow the key exchange, every payload starts at key-stream
// byte 0.
TEST(RecordedSessions, EncipheredRequestFramesMatchByteForByte) {
    const std::vector<testing::VectorCase> cases = testing::loadVectorFile("protocol_sessions.txt");
    ASSERT_EQ(cases.size(), 3u);
    for (const testing::VectorCase& c : cases) {
        SCOPED_TRACE("session " + c.at("case"));
        SessionHarness h;
        ASSERT_TRUE(h.open());
        SessionKeys keys{};
        const auto fill = [&](uint8_t* member, const char* field) {
            const std::vector<uint8_t> bytes = testing::fromHex(c.at(field));
            ASSERT_EQ(bytes.size(), 16u);
            std::memcpy(member, bytes.data(), 16);
        };
        fill(keys.reserved0, "SessionKeys.reserved0");
        fill(keys.cipherKey, "SessionKeys.cipherKey");
        fill(keys.reserved1, "SessionKeys.reserved1");
        fill(keys.initialCounter, "SessionKeys.initialCounter");
        h.establish(keys);
        KeySessionTestPeer::setSequence(*h.session, 3);

        // send writes the frame without reading: the frames do not depend on
        // what the key answers.
        const std::pair<CommandCode, const char*> requests[] = {
            {CommandCode::SetupUpdate, "SetupUpdateRequest"},
            {CommandCode::WriteFirmware, "firmwarePayload"},
            {CommandCode::GetFirmwareHash, nullptr},
        };
        for (const auto& [code, field] : requests) {
            const std::vector<uint8_t> plain = field ? testing::fromHex(c.at(field)) : std::vector<uint8_t>{};
            if (!plain.empty()) std::memcpy(h.session->payload(plain.size()), plain.data(), plain.size());
            ASSERT_EQ(h.session->send(code, true, plain.size()), StatusCode::Success);
        }
        ASSERT_EQ(h.key.requests.size(), 3u);
        EXPECT_EQ(testing::toHex(h.key.requests[0].frame), c.at("SetupUpdate.frame"));
        EXPECT_EQ(testing::toHex(h.key.requests[1].frame), c.at("WriteFirmware.frame"));
        EXPECT_EQ(testing::toHex(h.key.requests[2].frame), c.at("GetFirmwareHash.frame"));
    }
}

TEST_F(FrameTransport, FrameOfWholePacketsIsFollowedByAZeroLengthPacket) {
    session().payload(57);
    ASSERT_EQ(session().send(CommandCode::WriteFirmware, false, 56), StatusCode::Success);
    EXPECT_EQ(h.key.zeroLengthOutTransfers, 1u);
    ASSERT_EQ(session().send(CommandCode::WriteFirmware, false, 57), StatusCode::Success);
    EXPECT_EQ(h.key.zeroLengthOutTransfers, 1u);
}

// ---- the payload area ----

TEST_F(FrameTransport, PayloadAreaGrowsToTheLargestFrameAndRefusesMore) {
    EXPECT_EQ(session().payload(65536), nullptr);
    EXPECT_EQ(session().frameBufferSize(), 8u);
    uint8_t* area = session().payload(65535);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(session().frameBufferSize(), 65543u);
    EXPECT_EQ(session().payload(65536), nullptr);
    EXPECT_EQ(session().frameBufferSize(), 65543u);
    EXPECT_EQ(session().payload(10), area);
    EXPECT_EQ(session().frameBufferSize(), 65543u);
}

TEST_F(FrameTransport, SmallerRequestAfterALargerAreaSendsTheFirstBytesOfIt) {
    uint8_t* area = session().payload(100);
    for (int i = 0; i < 100; ++i) area[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(session().send(CommandCode::WriteFirmware, false, 50), StatusCode::Success);
    const ReceivedRequest& request = h.key.requests.back();
    EXPECT_EQ(request.length, 50);
    ASSERT_EQ(request.payload.size(), 50u);
    EXPECT_EQ(request.payload.front(), 0);
    EXPECT_EQ(request.payload.back(), 49);
    EXPECT_EQ(session().send(CommandCode::WriteFirmware, false, 101), StatusCode::HostInternalError);
}

// ---- closing ----

TEST_F(FrameTransport, RequestAfterCloseFailsItsWrite) {
    session().close();
    EXPECT_FALSE(h.device().isOpen());
    std::vector<uint8_t> out;
    EXPECT_EQ(readyTransact(out), StatusCode::DeviceError);
    EXPECT_FALSE(session().isFaulted());
    EXPECT_TRUE(h.key.requests.empty());
}

}  // namespace
}  // namespace korvene
