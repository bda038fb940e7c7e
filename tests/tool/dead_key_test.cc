// The update flow against a key that is pulled out, or stops answering, after
// it took the kth firmware chunk: the write or digest step that meets the dead
// key fails with its message, the cancel request cannot reach the key, and the
// flow ends with "Update canceled." and exit code 4, never with success, and
// without waiting beyond the bulk bound.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/update_flow_run.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::testing {
namespace {

const int kChunks = static_cast<int>(embeddedChunkCount());
// A short bound, so that a read on a silent key could not hold a test for long.
constexpr uint32_t kBulkBoundMs = 200;
// GetInfo for the status, KeyExchange and SetupUpdate come before the chunks.
constexpr int kRequestsBeforeChunks = 3;

enum class Death { PulledOut, Silent };

// Rows that name their chunk from the end of the pack.
constexpr int kAllButTheLastChunk = -1;
constexpr int kEveryChunk = -2;

struct DeadKeyCase {
    const char* name;
    Death death;
    // The key took (and answered) this many chunks, then died; or
    // kAllButTheLastChunk, kEveryChunk.
    int chunksTaken;
};

int chunksTakenOf(const DeadKeyCase& c) {
    if (c.chunksTaken == kAllButTheLastChunk) return kChunks - 1;
    if (c.chunksTaken == kEveryChunk) return kChunks;
    return c.chunksTaken;
}

// A row that counts from the start dies before a chunk the pack must have; a
// row that counts from the end fits any pack.
size_t chunksNeededOf(const DeadKeyCase& c) {
    return c.chunksTaken < 0 ? 0 : static_cast<size_t>(c.chunksTaken) + 1;
}

void PrintTo(const DeadKeyCase& c, std::ostream* os) { *os << c.name; }

// What the flow prints from the first progress line on.
std::string expectedTail(int chunksTaken) {
    const std::string cancelFails = error("Failed to cancel update request: DeviceError") + "Update canceled.\n";
    if (chunksTaken < kChunks) {
        return "Writing firmware " + std::string(chunksTaken, '.') + error("Write request failed: DeviceError") +
               cancelFails;
    }
    return "Writing firmware " + std::string(kChunks, '.') + " done!\n" + "Verifying firmware ." +
           error("Failed to get firmware hash: DeviceError") + cancelFails;
}

class DeadKeyFlow : public ::testing::TestWithParam<DeadKeyCase> {};

TEST_P(DeadKeyFlow, EndsCanceledWithTheFailedStepNamedAndNeverUpdates) {
    const DeadKeyCase& c = GetParam();
    const int chunksTaken = chunksTakenOf(c);
    const std::string missing = missingChunks(chunksNeededOf(c));
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    k.session->setBulkTimeout(kBulkBoundMs);
    const int lastAnswered = static_cast<int>(k.requestsAtStart) + kRequestsBeforeChunks + chunksTaken;
    if (c.death == Death::PulledOut) {
        k.key.knobs.disconnectAfterRequests = lastAnswered;
    } else {
        k.key.knobs.silentAfterRequests = lastAnswered;
    }

    const auto start = std::chrono::steady_clock::now();
    const QuietRun run = runFlow(k, "y\n");
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(run.result, static_cast<int>(ExitCode::Canceled));
    const size_t progress = run.output.find("Writing firmware ");
    ASSERT_NE(progress, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(progress), expectedTail(chunksTaken));
    EXPECT_EQ(run.output.find("Updated successfully!"), std::string::npos);

    // The key holds the chunks it took, in order, and nothing after them.
    const FirmwarePackHeader* pack = embeddedPackHeader();
    const size_t taken = std::min<size_t>(static_cast<size_t>(chunksTaken) * kFirmwareChunkSize, pack->payloadSize);
    const uint8_t* payload = kFirmwarePack + pack->headerSize;
    EXPECT_EQ(k.key.state.firmware, std::vector<uint8_t>(payload, payload + taken));
    EXPECT_FALSE(k.key.state.deployed);
    EXPECT_FALSE(k.key.state.finished);
    // The dead key never saw the cancel request: a pulled-out key takes no
    // frame, and after a read that got nothing the session sends none.
    EXPECT_EQ(k.key.countRequests(static_cast<uint8_t>(CommandCode::CancelUpdate)), 0u);

    // Every read was bounded, by the bound this session set.
    const VirtualKeyDevice* device = k.enumerator.lastOpened;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->timeoutOf(kVirtualInAddress), kBulkBoundMs);
    EXPECT_EQ(device->unboundedWaits(), 0u);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

std::string rowName(const ::testing::TestParamInfo<DeadKeyCase>& info) { return info.param.name; }

const DeadKeyCase kDeadKeys[] = {
    {"PulledOutAfterSetupBeforeTheFirstChunk", Death::PulledOut, 0},
    {"PulledOutAfterTheFirstChunk", Death::PulledOut, 1},
    {"PulledOutAfterChunk7", Death::PulledOut, 7},
    {"PulledOutBeforeTheLastChunk", Death::PulledOut, kAllButTheLastChunk},
    {"PulledOutAfterTheLastChunkBeforeTheDigest", Death::PulledOut, kEveryChunk},
    {"SilentAfterSetupBeforeTheFirstChunk", Death::Silent, 0},
    {"SilentAfterTheFirstChunk", Death::Silent, 1},
    {"SilentAfterChunk7", Death::Silent, 7},
    {"SilentBeforeTheLastChunk", Death::Silent, kAllButTheLastChunk},
    {"SilentAfterTheLastChunkBeforeTheDigest", Death::Silent, kEveryChunk},
};
INSTANTIATE_TEST_SUITE_P(AfterChunkK, DeadKeyFlow, ::testing::ValuesIn(kDeadKeys), rowName);

}  // namespace
}  // namespace korvene::testing
