// KeySession::establishSecureMessaging against the virtual key: the protocol
// sessions on the wire, the attempt budget, the failure table, the frame
// buffer, a failing random source, and encrypted requests afterwards.
#include <crypto++/osrng.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/session/key_side_vectors.h"
#include "tests/session/session_harness.h"
#include "tests/session/session_vectors.h"
#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::expectedSessionKeysHex;
using testing::fromHex;
using testing::giveKeyTheSessionOf;
using testing::KeySessionTestPeer;
using testing::loadVectorFile;
using testing::ReceivedRequest;
using testing::ResponseFault;
using testing::sampleKeys;
using testing::SessionHarness;
using testing::sessionKeysHex;
using testing::toHex;
using testing::VectorCase;
using Kind = ResponseFault::Kind;

constexpr uint8_t kKeyExchange = static_cast<uint8_t>(CommandCode::KeyExchange);

std::vector<VectorCase> protocolSessions() { return loadVectorFile("protocol_sessions.txt"); }

// A generator that hands out the host key pairs of `sessions`, one a call, and
// records what the private-key vector held when it was called.
struct FixedKeyPairs {
    explicit FixedKeyPairs(std::vector<VectorCase> sessions) : sessions(std::move(sessions)) {}

    std::vector<VectorCase> sessions;
    size_t calls = 0;
    std::vector<std::vector<uint8_t>> privateKeyOnEntry;

    KeyPairGenerator generator() {
        return [this](std::vector<uint8_t>& privateKey, std::vector<uint8_t>& publicKey) {
            privateKeyOnEntry.push_back(privateKey);
            const VectorCase& c = sessions.at(calls++ % sessions.size());
            privateKey = fromHex(c.at("hostPrivateKey"));
            publicKey = fromHex(c.at("hostPublicPoint"));
        };
    }
};

ResponseFault exchangeFault(Kind kind, uint8_t wireStatus = 0, size_t payloadLength = 0) {
    return testing::answerFault(kKeyExchange, kind, wireStatus, payloadLength);
}

class SecureMessaging : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.open()); }

    KeySession& session() { return *h.session; }

    // Sends `plain` as an encrypted request and returns the payload as the key
    // deciphered it.
    std::vector<uint8_t> deliverEncrypted(CommandCode code, const std::vector<uint8_t>& plain) {
        std::memcpy(session().payload(plain.size()), plain.data(), plain.size());
        EXPECT_EQ(session().transact(code, true, plain.size()), StatusCode::Success);
        return h.key.requests.back().plain;
    }

    void expectNoKeysOnEitherSide() {
        EXPECT_FALSE(session().isSecure());
        EXPECT_EQ(session().sessionKeys(), nullptr);
        EXPECT_FALSE(h.key.state.keys.has_value());
        std::vector<uint8_t> out;
        session().payload(4);
        EXPECT_EQ(session().transact(CommandCode::GetInfo, true, 4, out), StatusCode::NoEstablishedKey);
    }

    SessionHarness h;
};

// The three protocol sessions with their fixed key pairs: the request frame,
// the keys on both sides, and encrypted requests in both directions.
TEST(SecureMessagingSessions, ProtocolSessionsAreReproducedOnTheWireAndOnBothSides) {
    const auto sessions = protocolSessions();
    ASSERT_EQ(sessions.size(), 3u);
    for (const VectorCase& c : sessions) {
        SCOPED_TRACE("session " + c.at("case"));
        SessionHarness h;
        ASSERT_TRUE(h.open());
        FixedKeyPairs pairs({c});
        h.session->setKeyPairGenerator(pairs.generator());
        giveKeyTheSessionOf(h.key, c);
        KeySessionTestPeer::setSequence(*h.session, 2);  // the ready and status queries went first

        ASSERT_EQ(h.session->establishSecureMessaging(), StatusCode::Success);
        EXPECT_TRUE(h.session->isSecure());
        ASSERT_EQ(h.key.countRequests(kKeyExchange), 1u);
        EXPECT_EQ(toHex(h.key.lastRequest(kKeyExchange)->frame), c.at("KeyExchangeRequest.frame"));
        ASSERT_NE(h.session->sessionKeys(), nullptr);
        EXPECT_EQ(sessionKeysHex(*h.session->sessionKeys()), expectedSessionKeysHex(c));
        ASSERT_TRUE(h.key.state.keys.has_value());
        EXPECT_EQ(sessionKeysHex(*h.key.state.keys), expectedSessionKeysHex(c)) << "the key derived other keys";

        const std::pair<CommandCode, const char*> requests[] = {
            {CommandCode::SetupUpdate, "SetupUpdateRequest"},
            {CommandCode::WriteFirmware, "firmwarePayload"},
        };
        for (const auto& [code, field] : requests) {
            const auto plain = fromHex(c.at(field));
            std::memcpy(h.session->payload(plain.size()), plain.data(), plain.size());
            ASSERT_EQ(h.session->transact(code, true, plain.size()), StatusCode::Success) << field;
            EXPECT_EQ(toHex(h.key.requests.back().plain), c.at(field)) << "deciphered by the key";
            EXPECT_EQ(toHex(h.key.requests.back().frame), c.at(std::string(field) == "firmwarePayload"
                                                                       ? "WriteFirmware.frame"
                                                                       : "SetupUpdate.frame"));
        }
        std::vector<uint8_t> digest;
        ASSERT_EQ(h.session->transact(CommandCode::GetFirmwareHash, true, 0, digest), StatusCode::Success);
        EXPECT_EQ(toHex(digest), c.at("GetFirmwareHash.response")) << "the key's enciphered answer";
    }
}

TEST_F(SecureMessaging, FreshKeyPairsOnBothSidesAgreeAndTheKeyDeciphersWhatTheHostWrote) {
    ASSERT_EQ(session().establishSecureMessaging(), StatusCode::Success);
    ASSERT_NE(session().sessionKeys(), nullptr);
    ASSERT_TRUE(h.key.state.keys.has_value());
    EXPECT_EQ(sessionKeysHex(*session().sessionKeys()), sessionKeysHex(*h.key.state.keys));

    const ReceivedRequest& request = *h.key.lastRequest(kKeyExchange);
    EXPECT_EQ(request.code, 0x04) << "the exchange travels plain";
    EXPECT_EQ(request.length, 73);
    EXPECT_EQ(toHex(request.payload.data(), 9), std::string(18, '0')) << "host tag and identity are zero";

    const std::vector<uint8_t> setup = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                        0x09, 0x0a, 0x0b, 0x0c, '1', '2', '3', '4'};
    EXPECT_EQ(toHex(deliverEncrypted(CommandCode::SetupUpdate, setup)), toHex(setup));
    EXPECT_NE(toHex(h.key.requests.back().payload), toHex(setup)) << "the payload travelled in clear";
}

TEST_F(SecureMessaging, TenRefusedPointsGiveTenFreshRequestsThenProtocolError) {
    KeySessionTestPeer::installKeys(session(), sampleKeys());
    h.key.knobs.invalidPointAnswers = 10;
    const uint32_t sequenceBefore = session().sequenceNumber();

    EXPECT_EQ(session().establishSecureMessaging(), StatusCode::ProtocolError);
    ASSERT_EQ(h.key.countRequests(kKeyExchange), 10u);
    std::set<std::vector<uint8_t>> hostPoints;
    uint8_t expectedSequence = static_cast<uint8_t>(sequenceBefore);
    for (const auto& request : h.key.requests) {
        EXPECT_EQ(request.sequence, ++expectedSequence);
        hostPoints.insert(std::vector<uint8_t>(request.payload.begin() + 9, request.payload.end()));
    }
    EXPECT_EQ(hostPoints.size(), 10u) << "every attempt needs a new key pair";
    EXPECT_EQ(session().sequenceNumber(), sequenceBefore + 10);
    expectNoKeysOnEitherSide();
}

// The keys come from the second key pair and the second answer; the private
// key of the refused attempt was zero-filled before the generator refilled it.
TEST_F(SecureMessaging, RefusedPointThenValidOneUsesTheSecondKeyPair) {
    const auto sessions = protocolSessions();
    ASSERT_EQ(sessions.size(), 3u);
    FixedKeyPairs pairs({sessions[1], sessions[0]});
    session().setKeyPairGenerator(pairs.generator());
    giveKeyTheSessionOf(h.key, sessions[0]);
    h.key.knobs.invalidPointAnswers = 1;

    ASSERT_EQ(session().establishSecureMessaging(), StatusCode::Success);
    ASSERT_EQ(h.key.countRequests(kKeyExchange), 2u);
    EXPECT_EQ(toHex(h.key.requests[0].payload), sessions[1].at("KeyExchangeRequest"));
    EXPECT_EQ(toHex(h.key.requests[1].payload), sessions[0].at("KeyExchangeRequest"));
    ASSERT_NE(session().sessionKeys(), nullptr);
    EXPECT_EQ(sessionKeysHex(*session().sessionKeys()), expectedSessionKeysHex(sessions[0]));

    ASSERT_EQ(pairs.privateKeyOnEntry.size(), 2u);
    EXPECT_EQ(toHex(pairs.privateKeyOnEntry[1]), std::string(64, '0')) << "refused attempt's private key not wiped";
}

// Every failure but a refused point ends the call after one request, and a
// session that was secure before is left without keys.
struct ExchangeFailure {
    const char* name;
    std::optional<ResponseFault> fault;
    bool failWrite;
    StatusCode status;
    bool faultedAfter;
};

const ExchangeFailure kFailures[] = {
    {"WireStatusBusy", exchangeFault(Kind::WireStatus, 3), false, StatusCode::Busy, false},
    {"WireStatusWithPayload", exchangeFault(Kind::WireStatus, 15, 97), false, StatusCode::IncorrectPin, false},
    {"EmptyAnswer", exchangeFault(Kind::PayloadLength, 0, 0), false, StatusCode::HostInternalError, false},
    {"Answer96Bytes", exchangeFault(Kind::PayloadLength, 0, 96), false, StatusCode::HostInternalError, false},
    {"Answer98Bytes", exchangeFault(Kind::PayloadLength, 0, 98), false, StatusCode::HostInternalError, false},
    {"AnswerFlaggedEncrypted", exchangeFault(Kind::EncryptedFlag), false, StatusCode::ProtocolError, false},
    {"WrongMagic", exchangeFault(Kind::WrongMagic), false, StatusCode::ProtocolError, false},
    {"StaleSequence", exchangeFault(Kind::StaleSequence), false, StatusCode::ProtocolError, false},
    {"ShortHeader", exchangeFault(Kind::ShortHeader), false, StatusCode::DeviceError, false},
    {"ShortPayload", exchangeFault(Kind::ShortPayload), false, StatusCode::DeviceError, true},
    {"NoAnswer", exchangeFault(Kind::NoAnswer), false, StatusCode::DeviceError, true},
    {"FailedWrite", std::nullopt, true, StatusCode::DeviceError, false},
};

void PrintTo(const ExchangeFailure& c, std::ostream* os) { *os << c.name; }

class SecureMessagingFailure : public SecureMessaging, public ::testing::WithParamInterface<ExchangeFailure> {};

TEST_P(SecureMessagingFailure, EndsAfterOneRequestWithoutKeys) {
    const ExchangeFailure& c = GetParam();
    KeySessionTestPeer::installKeys(session(), sampleKeys());
    if (c.fault) h.key.knobs.faults = {*c.fault};
    ASSERT_EQ(testing::leaveLastWireStatus(h, 15), 15);
    if (c.failWrite) h.device().knobs.failBulkWrite = static_cast<int>(h.device().bulkWrites()) + 1;
    const uint32_t sequenceBefore = session().sequenceNumber();

    EXPECT_EQ(session().establishSecureMessaging(), c.status);
    // Cleared at the start; only a refused answer leaves its raw code.
    const bool refusedAnswer = c.fault && c.fault->kind == Kind::WireStatus;
    EXPECT_EQ(session().lastWireStatus(), refusedAnswer ? c.fault->wireStatus : 0);
    EXPECT_EQ(session().sequenceNumber(), sequenceBefore + 1);
    EXPECT_EQ(h.key.countRequests(kKeyExchange), c.failWrite ? 0u : 1u);
    EXPECT_EQ(session().isFaulted(), c.faultedAfter);
    h.key.knobs.faults.clear();
    expectNoKeysOnEitherSide();
}

INSTANTIATE_TEST_SUITE_P(SecureMessaging, SecureMessagingFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecureMessaging, FaultedSessionSendsNothingAndKeepsItsSequence) {
    h.key.knobs.faults = {exchangeFault(Kind::NoAnswer)};
    ASSERT_EQ(session().establishSecureMessaging(), StatusCode::DeviceError);
    ASSERT_TRUE(session().isFaulted());
    h.key.knobs.faults.clear();
    const size_t requestsBefore = h.key.requests.size();
    const uint32_t sequenceBefore = session().sequenceNumber();

    EXPECT_EQ(session().establishSecureMessaging(), StatusCode::DeviceError);
    EXPECT_EQ(h.key.requests.size(), requestsBefore);
    EXPECT_EQ(session().sequenceNumber(), sequenceBefore);
}

// The frame buffer grows to the 81 bytes of the exchange and never shrinks;
// only those 81 bytes go out.
TEST_F(SecureMessaging, FrameBufferGrowsTo81BytesAndNeverShrinks) {
    struct Case {
        size_t payloadArea;  // 0: the buffer as created
        size_t sizeAfter;
    };
    for (const Case c : {Case{0, 81}, Case{4, 81}, Case{73, 81}, Case{200, 208}}) {
        SCOPED_TRACE("payload area " + std::to_string(c.payloadArea));
        SessionHarness fresh;
        ASSERT_TRUE(fresh.open());
        if (c.payloadArea > 0) fresh.session->payload(c.payloadArea);
        ASSERT_EQ(fresh.session->establishSecureMessaging(), StatusCode::Success);
        EXPECT_EQ(fresh.session->frameBufferSize(), c.sizeAfter);
        EXPECT_EQ(fresh.key.lastRequest(kKeyExchange)->frame.size(), 81u);
    }
}

// A random source that cannot be read: the library's exception becomes
// HostInternalError before anything is sent, and earlier keys are gone.
TEST_F(SecureMessaging, FailingRandomSourceGivesHostInternalErrorWithoutKeys) {
    KeySessionTestPeer::installKeys(session(), sampleKeys());
    session().setKeyPairGenerator([](std::vector<uint8_t>&, std::vector<uint8_t>&) {
        throw CryptoPP::OS_RNG_Err("read /dev/urandom");
    });
    const uint32_t sequenceBefore = session().sequenceNumber();

    EXPECT_EQ(session().establishSecureMessaging(), StatusCode::HostInternalError);
    EXPECT_TRUE(h.key.requests.empty());
    EXPECT_EQ(session().sequenceNumber(), sequenceBefore);
    expectNoKeysOnEitherSide();
}

TEST_F(SecureMessaging, FailedAllocationStillPassesOnAndLeavesNoKeys) {
    KeySessionTestPeer::installKeys(session(), sampleKeys());
    session().setKeyPairGenerator([](std::vector<uint8_t>&, std::vector<uint8_t>&) { throw std::bad_alloc(); });

    EXPECT_THROW(session().establishSecureMessaging(), std::bad_alloc);
    EXPECT_FALSE(session().isSecure());
    EXPECT_EQ(session().sessionKeys(), nullptr);
}

}  // namespace
}  // namespace korvene
