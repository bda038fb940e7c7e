// The GetInfo queries: the 108-byte status record and the ready state, plain
// and on a secure session.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device/session/device_status.h"
#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/session/session_harness.h"
#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::KeySessionTestPeer;
using testing::ResponseFault;
using testing::SessionHarness;
using Kind = ResponseFault::Kind;

constexpr uint8_t kGetInfo = static_cast<uint8_t>(CommandCode::GetInfo);

ResponseFault fault(Kind kind, uint8_t wireStatus = 0, size_t payloadLength = 0) {
    return testing::answerFault(kGetInfo, kind, wireStatus, payloadLength);
}

std::vector<uint8_t> bytesOf(const DeviceStatus& status) {
    const auto* p = reinterpret_cast<const uint8_t*>(&status);
    return std::vector<uint8_t>(p, p + sizeof(status));
}

DeviceStatus prefilled() {
    DeviceStatus status;
    std::memset(&status, 0xEE, sizeof(status));
    return status;
}

TEST(DeviceStatusQuery, CopiesAll108BytesAndTheFieldsTheUpdaterReads) {
    SessionHarness h;
    h.key.state.firmwareMajor = 2;
    h.key.state.firmwareMinor = 7;
    h.key.state.soPinSet = true;
    h.key.state.soPinLocked = true;
    ASSERT_TRUE(h.open());
    DeviceStatus status = prefilled();
    ASSERT_EQ(h.session->getDeviceStatus(&status), StatusCode::Success);
    EXPECT_EQ(bytesOf(status), h.key.statusRecord());
    EXPECT_EQ(status.firmwareMajor, 2);
    EXPECT_EQ(status.firmwareMinor, 7);
    EXPECT_EQ(status.flags & (DeviceStatusFlags::SoPinSet | DeviceStatusFlags::SoPinLocked),
              DeviceStatusFlags::SoPinSet | DeviceStatusFlags::SoPinLocked);

    const testing::ReceivedRequest& request = h.key.requests.back();
    EXPECT_EQ(request.frame, (std::vector<uint8_t>{'K', 'R', 'V', 'N', 1, 0x03, 4, 0, 16, 0, 0, 0}));
    EXPECT_EQ(h.session->frameBufferSize(), 12u);
}

TEST(ReadyStateQuery, ReadsTheLittleEndianState) {
    SessionHarness h;
    h.key.state.readyState = 0x01020304;
    ASSERT_TRUE(h.open());
    uint32_t state = 0;
    ASSERT_EQ(h.session->getReadyState(&state), StatusCode::Success);
    EXPECT_EQ(state, 0x01020304u);
    EXPECT_EQ(h.key.requests.back().plain, (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST(InfoQueries, AnswerOfAnyOtherLengthIsAProtocolErrorAndLeavesTheCallersStorage) {
    const struct {
        bool statusQuery;
        size_t length;
        StatusCode expected;
    } cases[] = {
        {true, 107, StatusCode::ProtocolError}, {true, 108, StatusCode::Success},
        {true, 109, StatusCode::ProtocolError}, {true, 0, StatusCode::ProtocolError},
        {true, 4, StatusCode::ProtocolError},   {false, 3, StatusCode::ProtocolError},
        {false, 4, StatusCode::Success},        {false, 5, StatusCode::ProtocolError},
        {false, 0, StatusCode::ProtocolError},  {false, 108, StatusCode::ProtocolError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.statusQuery ? "status" : "ready state") + ", " + std::to_string(c.length) +
                     " bytes");
        SessionHarness h;
        ASSERT_TRUE(h.open());
        h.key.knobs.faults = {fault(Kind::PayloadLength, 0, c.length)};
        const std::vector<uint8_t> answer = testing::VirtualKey::filler(c.length);
        if (c.statusQuery) {
            DeviceStatus status = prefilled();
            EXPECT_EQ(h.session->getDeviceStatus(&status), c.expected);
            EXPECT_EQ(bytesOf(status), c.expected == StatusCode::Success ? answer : bytesOf(prefilled()));
        } else {
            uint32_t state = 0xEEEEEEEE;
            EXPECT_EQ(h.session->getReadyState(&state), c.expected);
            EXPECT_EQ(state, c.expected == StatusCode::Success ? 0xA3A2A1A0u : 0xEEEEEEEEu);
        }
    }
}

// The queries run their own copy of the exchange; its failures follow the
// transport's rules, and the caller's storage is touched only on Success.
TEST(InfoQueries, FailuresFollowTheFrameRulesAndLeaveTheStorage) {
    struct Case {
        const char* name;
        bool faultedBefore;
        bool failWrite;
        bool failRead;
        std::optional<ResponseFault> answer;
        StatusCode expected;
        bool faultedAfter;
        bool reachedKey;
    };
    const Case cases[] = {
        {"faulted session", true, false, false, {}, StatusCode::DeviceError, true, false},
        {"write fails", false, true, false, {}, StatusCode::DeviceError, false, false},
        {"header read fails", false, false, true, {}, StatusCode::DeviceError, true, true},
        {"no answer", false, false, false, fault(Kind::NoAnswer), StatusCode::DeviceError, true, true},
        {"short header", false, false, false, fault(Kind::ShortHeader), StatusCode::DeviceError, false, true},
        {"wrong magic", false, false, false, fault(Kind::WrongMagic), StatusCode::ProtocolError, false, true},
        {"stale sequence", false, false, false, fault(Kind::StaleSequence), StatusCode::ProtocolError, false, true},
        {"short payload", false, false, false, fault(Kind::ShortPayload), StatusCode::DeviceError, true, true},
        {"wire status with payload", false, false, false, fault(Kind::WireStatus, 3, 108), StatusCode::Busy, false,
         true},
        {"encrypted answer without keys", false, false, false, fault(Kind::EncryptedFlag), StatusCode::ProtocolError,
         false, true},
    };
    for (const Case& c : cases) {
        for (bool statusQuery : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (statusQuery ? ", status" : ", ready state"));
            SessionHarness h;
            ASSERT_TRUE(h.open());
            ASSERT_EQ(testing::leaveLastWireStatus(h, 15), 15);
            if (c.faultedBefore) {
                h.key.knobs.faults = {fault(Kind::NoAnswer)};
                uint32_t ignored = 0;
                ASSERT_EQ(h.session->getReadyState(&ignored), StatusCode::DeviceError);
                ASSERT_TRUE(h.session->isFaulted());
            }
            h.key.knobs.faults.clear();
            if (c.answer) h.key.knobs.faults = {*c.answer};
            if (c.failWrite) h.device().knobs.failBulkWrite = static_cast<int>(h.device().bulkWrites()) + 1;
            if (c.failRead) h.device().knobs.failBulkRead = static_cast<int>(h.device().bulkReads()) + 1;
            const size_t requestsBefore = h.key.requests.size();
            const uint32_t sequenceBefore = h.session->sequenceNumber();

            if (statusQuery) {
                DeviceStatus status = prefilled();
                EXPECT_EQ(h.session->getDeviceStatus(&status), c.expected);
                EXPECT_EQ(bytesOf(status), bytesOf(prefilled()));
            } else {
                uint32_t state = 0xEEEEEEEE;
                EXPECT_EQ(h.session->getReadyState(&state), c.expected);
                EXPECT_EQ(state, 0xEEEEEEEEu);
            }
            EXPECT_EQ(h.session->isFaulted(), c.faultedAfter);
            // Cleared at the start; only a refused answer leaves its raw code.
            const bool refusedAnswer = c.answer && c.answer->kind == Kind::WireStatus;
            EXPECT_EQ(h.session->lastWireStatus(), refusedAnswer ? c.answer->wireStatus : 0);
            EXPECT_EQ(h.key.requests.size() - requestsBefore, c.reachedKey ? 1u : 0u);
            EXPECT_EQ(h.session->sequenceNumber() - sequenceBefore, c.faultedBefore ? 0u : 1u);
        }
    }
}

// On a secure session the query goes as code 0x83 with its selector
// enciphered, and the flagged answer is deciphered before its length is
// tested. The ready query is request 7 of each recorded session.
TEST(InfoQueries, SecureSessionEnciphersTheQueryAsTheRecordedSessionsDo) {
    for (const testing::VectorCase& c : testing::loadVectorFile("protocol_sessions.txt")) {
        SCOPED_TRACE("session " + c.at("case"));
        SessionHarness h;
        ASSERT_TRUE(h.open());
        SessionKeys keys{};
        const std::vector<uint8_t> cipherKey = testing::fromHex(c.at("SessionKeys.cipherKey"));
        const std::vector<uint8_t> counter = testing::fromHex(c.at("SessionKeys.initialCounter"));
        std::memcpy(keys.cipherKey, cipherKey.data(), 16);
        std::memcpy(keys.initialCounter, counter.data(), 16);
        h.establish(keys);
        KeySessionTestPeer::setSequence(*h.session, 6);

        uint32_t state = 0;
        ASSERT_EQ(h.session->getReadyState(&state), StatusCode::Success);
        EXPECT_EQ(state, 1u);
        EXPECT_EQ(testing::toHex(h.key.requests.back().frame), c.at("GetInfo.ReadyState.frame"));

        DeviceStatus status = prefilled();
        ASSERT_EQ(h.session->getDeviceStatus(&status), StatusCode::Success);
        EXPECT_EQ(bytesOf(status), h.key.statusRecord());
        EXPECT_EQ(h.key.requests.back().code, 0x83);
        EXPECT_EQ(h.key.requests.back().plain, (std::vector<uint8_t>{16, 0, 0, 0}));
    }
}

TEST(InfoQueries, FrameBufferGrowsToTwelveBytesAndNeverShrinks) {
    SessionHarness h;
    ASSERT_TRUE(h.open());
    h.session->payload(200);
    uint32_t state = 0;
    ASSERT_EQ(h.session->getReadyState(&state), StatusCode::Success);
    EXPECT_EQ(h.session->frameBufferSize(), 208u);
    EXPECT_EQ(h.key.requests.back().frame.size(), 12u);
}

}  // namespace
}  // namespace korvene
