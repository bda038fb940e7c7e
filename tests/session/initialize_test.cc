// KeySession::initialize against the virtual key: the class reset, the halt
// handshake within its budget, the resync packet on old kernels and the ready
// check, with the clock and the kernel release chosen by the test.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "device/session/device_status.h"
#include "device/session/key_session.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/session/session_harness.h"

namespace korvene {
namespace {

using testing::ReceivedRequest;
using testing::ResponseFault;
using testing::SessionHarness;
using Kind = ResponseFault::Kind;

constexpr uint8_t kOut = testing::kVirtualOutAddress;
constexpr uint8_t kIn = testing::kVirtualInAddress;
constexpr uint8_t kSecondOut = 0x02;
constexpr uint8_t kGetInfo = static_cast<uint8_t>(CommandCode::GetInfo);

size_t resyncPackets(const SessionHarness& h) {
    size_t count = 0;
    for (const ReceivedRequest& r : h.key.requests) {
        if (r.resync) ++count;
    }
    return count;
}

size_t count(const std::map<uint8_t, size_t>& byAddress, uint8_t address) {
    const auto it = byAddress.find(address);
    return it == byAddress.end() ? 0 : it->second;
}

TEST(Initialize, FreshKeyIsResetClearedAndReadyThenAnswersItsStatus) {
    SessionHarness h;
    ASSERT_TRUE(h.open());
    ASSERT_TRUE(h.session->initialize());
    EXPECT_FALSE(h.session->isFaulted());
    EXPECT_EQ(h.key.classResetRequests, 1u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kOut), 1u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kIn), 1u);
    EXPECT_EQ(resyncPackets(h), 0u);  // this kernel is 6.1
    ASSERT_EQ(h.key.requests.size(), 1u);
    EXPECT_EQ(h.key.requests[0].command, kGetInfo);
    EXPECT_EQ(h.key.requests[0].sequence, 1);

    h.key.state.firmwareMajor = 2;
    DeviceStatus status{};
    ASSERT_EQ(h.session->getDeviceStatus(&status), StatusCode::Success);
    EXPECT_EQ(status.firmwareMajor, 2);
    EXPECT_EQ(h.key.requests.back().sequence, 2);
}

// The key takes its class reset only as the host must send it: value 0, the
// interface number as index, no data. It stalls any other, so a host that
// sent another could not initialise.
TEST(Initialize, KeyStallsAClassResetWithAnyOtherValueIndexOrLength) {
    const struct {
        const char* name;
        uint16_t value;
        uint16_t index;
        uint16_t length;
        bool taken;
    } cases[] = {
        {"as the host sends it", 0, testing::kVirtualInterfaceNumber, 0, true},
        {"value 1", 1, testing::kVirtualInterfaceNumber, 0, false},
        {"index of another interface", 0, testing::kVirtualInterfaceNumber + 1, 0, false},
        {"with a data stage", 0, testing::kVirtualInterfaceNumber, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        ASSERT_TRUE(h.open());
        uint8_t data[1] = {};
        EXPECT_EQ(h.device().controlTransfer(0x21, 0xFF, c.value, c.index, c.length, data), c.taken);
        EXPECT_EQ(h.key.classResetRequests, c.taken ? 1u : 0u);
    }
}

TEST(Initialize, DropsSecureMessagingOnceTheResetWentThrough) {
    SessionHarness h;
    ASSERT_TRUE(h.open());
    h.establish(testing::sampleKeys());
    ASSERT_TRUE(h.session->initialize());
    EXPECT_EQ(h.session->sessionKeys(), nullptr);
    EXPECT_FALSE(h.session->isSecure());
    // The ready query travelled plain.
    EXPECT_EQ(h.key.requests.back().code, 0x03);
}

struct FailureCase {
    const char* name;
    void (*arrange)(SessionHarness&);
    bool faultedAfter;
    bool keysDropped;
    bool resyncSent;  // on a kernel that asks for one
    bool inCleared;   // a clear-halt request reached the IN endpoint
};

const FailureCase kFailures[] = {
    {"ResetFails", [](SessionHarness& h) { h.key.knobs.classResetFails = true; }, true, false, false, false},
    {"OutHaltNeverShown", [](SessionHarness& h) { h.key.knobs.neverHalts = {kOut}; }, true, true, false, false},
    {"InHaltNeverShown", [](SessionHarness& h) { h.key.knobs.neverHalts = {kIn}; }, true, true, false, false},
    {"SecondOutHaltNeverShown",
     [](SessionHarness& h) {
         h.key.state.outEndpoints = {kOut, kSecondOut};
         h.key.knobs.neverHalts = {kSecondOut};
     },
     true, true, false, false},
    {"ClearFailsOnInEndpoint", [](SessionHarness& h) { h.key.knobs.clearHaltFails = {kIn}; }, false, true, true, true},
    {"OutHaltPersistsPastTheBudget", [](SessionHarness& h) { h.key.knobs.haltPersists = {kOut}; }, false, true, true,
     true},
    {"ReadyStateZero", [](SessionHarness& h) { h.key.state.readyState = 0; }, false, true, true, true},
    {"ReadyStateTwo", [](SessionHarness& h) { h.key.state.readyState = 2; }, false, true, true, true},
    {"ReadyQueryAnsweredBusy",
     [](SessionHarness& h) { h.key.knobs.faults = {testing::answerFault(kGetInfo, Kind::WireStatus, 3)}; },
     false, true, true, true},
    {"ReadyAnswerFlaggedEncryptedWithoutKeys",
     [](SessionHarness& h) { h.key.knobs.faults = {testing::answerFault(kGetInfo, Kind::EncryptedFlag)}; },
     false, true, true, true},
    {"ReadyQueryNeverAnswered", [](SessionHarness& h) { h.key.knobs.silentAfterRequests = 0; }, true, true, true, true},
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class InitializeFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InitializeFailures, ReturnFalseWithTheFaultFlagAndKeysAsTheCauseLeavesThem) {
    const FailureCase& c = GetParam();
    SessionHarness h;
    h.platform.release = "4.9.0";  // a kernel that asks for the resync packet
    h.platform.stepMs = 100;       // every clock reading moves on 100 ms
    c.arrange(h);
    ASSERT_TRUE(h.open());
    h.establish(testing::sampleKeys());

    EXPECT_FALSE(h.session->initialize());
    EXPECT_EQ(h.session->isFaulted(), c.faultedAfter);
    EXPECT_EQ(h.session->sessionKeys() == nullptr, c.keysDropped);
    EXPECT_EQ(h.session->isSecure(), !c.keysDropped);
    EXPECT_EQ(resyncPackets(h), c.resyncSent ? 1u : 0u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kIn) > 0, c.inCleared);
}

INSTANTIATE_TEST_SUITE_P(Initialize, InitializeFailures, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Initialize, HaltNeverShownGivesUpAfterTheBudgetAndLeavesTheSessionFaulted) {
    SessionHarness h;
    h.platform.stepMs = 100;
    h.key.knobs.neverHalts = {kOut};
    ASSERT_TRUE(h.open());
    ASSERT_FALSE(h.session->initialize());
    // Readings at 0, 100, ..., 3100 ms: the 31st query is the first to end
    // above 3000 ms.
    EXPECT_EQ(count(h.key.haltQueries, kOut), 31u);
    EXPECT_EQ(count(h.key.haltQueries, kIn), 0u);

    DeviceStatus status{};
    EXPECT_EQ(h.session->getDeviceStatus(&status), StatusCode::DeviceError);
    EXPECT_TRUE(h.key.requests.empty());
    EXPECT_EQ(h.session->sequenceNumber(), 0u);
}

TEST(Initialize, PersistingHaltIsClearedUntilTheBudgetThenTheNextEndpointFollows) {
    SessionHarness h;
    h.platform.stepMs = 100;
    h.key.knobs.haltPersists = {kOut};
    ASSERT_TRUE(h.open());
    ASSERT_FALSE(h.session->initialize());
    // Clock readings: the start, one after each halt query (200 ms), then one
    // per repeated clear until above 2999 ms.
    EXPECT_EQ(count(h.key.clearHaltRequests, kOut), 28u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kIn), 1u);
    EXPECT_TRUE(h.key.requests.empty());  // failed before the ready query
}

TEST(Initialize, FailedClearOnTheFirstOutEndpointStillClearsTheSecond) {
    SessionHarness h;
    h.platform.release = "4.16";
    h.platform.stepMs = 100;
    h.key.state.outEndpoints = {kOut, kSecondOut};
    h.key.knobs.clearHaltFails = {kOut};
    ASSERT_TRUE(h.open());
    ASSERT_FALSE(h.session->initialize());
    EXPECT_GE(count(h.key.clearHaltRequests, kOut), 1u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kSecondOut), 1u);
    EXPECT_EQ(count(h.key.clearHaltRequests, kIn), 0u);
    EXPECT_EQ(resyncPackets(h), 0u);
    EXPECT_TRUE(h.session->isFaulted());
}

TEST(Initialize, WithoutBulkEndpointsTheReadyQueryCannotBeWritten) {
    SessionHarness h;
    h.platform.release = "3.10.0";
    h.key.state.outEndpoints.clear();
    h.key.state.inEndpoints.clear();
    ASSERT_TRUE(h.open());
    EXPECT_FALSE(h.session->initialize());
    EXPECT_TRUE(h.key.haltQueries.empty());
    EXPECT_TRUE(h.key.clearHaltRequests.empty());
    EXPECT_TRUE(h.key.requests.empty());
    EXPECT_FALSE(h.session->isFaulted());
    EXPECT_EQ(h.session->sequenceNumber(), 1u);
}

TEST(Initialize, ResyncPacketIsSentOnKernelsUpTo4Point16Only) {
    const struct {
        const char* release;
        int unameResult;
        bool sent;
    } cases[] = {
        {"4.16.18", 0, true}, {"4.16", 0, true},   {"4.0", 0, true},    {"3.10.0-1160.el7", 0, true},
        {"4.17.0", 0, false}, {"5.15.0", 0, false}, {"6.1", 0, false},  {"4a", 0, false},
        {"", 0, false},       {"4.9.0", -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("release \"") + c.release + "\", uname " + std::to_string(c.unameResult));
        SessionHarness h;
        h.platform.release = c.release;
        h.platform.unameResult = c.unameResult;
        ASSERT_TRUE(h.open());
        EXPECT_TRUE(h.session->initialize());
        ASSERT_EQ(resyncPackets(h), c.sent ? 1u : 0u);
        if (c.sent) {
            const ReceivedRequest& resync = h.key.requests.front();
            EXPECT_EQ(resync.frame, (std::vector<uint8_t>{'K', 'R', 'V', 'N', 0, 0x40, 0, 0}));
        }
        // The resync packet is no request: the ready query is still number 1.
        EXPECT_EQ(h.key.requests.back().command, kGetInfo);
        EXPECT_EQ(h.key.requests.back().sequence, 1);
    }
}

TEST(Initialize, InputLeftOverFromEarlierAnswersDoesNotReachTheReadyQuery) {
    SessionHarness h;
    h.platform.release = "4.4.0";
    ASSERT_TRUE(h.open());
    // An answer rejected for its magic leaves its payload unread.
    ResponseFault f;
    f.kind = Kind::WrongMagic;
    f.occurrence = 1;
    h.key.knobs.faults = {f};
    uint32_t state = 0;
    ASSERT_EQ(h.session->getReadyState(&state), StatusCode::ProtocolError);
    ASSERT_GT(h.device().bufferedInput(), 0u);
    h.key.knobs.faults.clear();

    EXPECT_TRUE(h.session->initialize());
    EXPECT_EQ(h.device().bufferedInput(), 0u);
}

TEST(Initialize, BudgetIsMeasuredOnTheWrappingMillisecondCounter) {
    // A healthy key reads the clock four times: at the start, after each of
    // the two halt queries and before the ready query.
    const uint64_t nearWrap = 0xFFFFFFFFull - 1500;  // the 32-bit counter wraps between readings
    const struct {
        uint64_t startMs;
        uint32_t stepMs;
        bool ready;
    } cases[] = {
        {1000, 1000, true},
        {1000, 1001, false},
        {nearWrap, 1000, true},
        {nearWrap, 1001, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.startMs) + " ms, step " + std::to_string(c.stepMs) + " ms");
        SessionHarness h;
        h.platform.nowMs = c.startMs;
        h.platform.stepMs = c.stepMs;
        ASSERT_TRUE(h.open());
        EXPECT_EQ(h.session->initialize(), c.ready);
        EXPECT_EQ(h.platform.clockReads, 4u);
        EXPECT_EQ(h.key.requests.size(), c.ready ? 1u : 0u);
    }
}

}  // namespace
}  // namespace korvene
