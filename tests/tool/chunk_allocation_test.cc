// Heap allocations of the chunk loop of an update of the embedded pack,
// through the real USB transport on the libusb stand-in. The first
// WriteFirmware chunk may grow the frame buffer to its size; after it no
// chunk allocates: not installFirmware, not the frame exchange, not the
// payload cipher, not the transport.
#include <crypto++/secblock.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/forwarding_device/forwarding_usb_device.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tests/support/heap_allocation_counter.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/scripted_update.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::testing {
namespace {

// Counts heap allocations from the moment the answer to the first
// WriteFirmware chunk has been read to the moment the first request after the
// chunks is written.
class ChunkWindowDevice final : public ForwardingUsbDevice {
public:
    using ForwardingUsbDevice::ForwardingUsbDevice;

    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override {
        const bool chunk = length >= kFrameHeaderSize &&
                           (data[5] & kFrameCodeMask) == static_cast<uint8_t>(CommandCode::WriteFirmware);
        if (chunk) {
            ++chunks;
        } else if (counting) {
            stopCountingHeapAllocations();
            counting = false;
            closed = true;
        }
        return ForwardingUsbDevice::bulkWrite(outIndex, data, length);
    }

    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override {
        const bool read = ForwardingUsbDevice::bulkRead(inIndex, data, length, received);
        if (chunks == 1 && !counting && !closed) {
            counting = true;
            startCountingHeapAllocations();
        }
        return read;
    }

    // Whether the window opened and closed, and the chunks written inside it.
    bool windowClosed() const { return closed; }
    size_t chunksInWindow() const { return chunks > 0 ? chunks - 1 : 0; }

private:
    size_t chunks = 0;
    bool counting = false;
    bool closed = false;
};

TEST(HeapAllocationCounter, CountsOperatorNewAndTheCAllocationsOfCryptoSecureBlocks) {
    startCountingHeapAllocations();
    auto vector = std::make_unique<std::vector<int>>(100);
    CryptoPP::SecByteBlock block(4096);
    stopCountingHeapAllocations();

    const HeapAllocationCounts counts = countedHeapAllocations();
    EXPECT_EQ(counts.operatorNew, 2u);
    if (countsCAllocations()) {
        EXPECT_GE(counts.cLibrary, 1u);
    }
}

TEST(ChunkLoopAllocation, ChunksAfterTheFirstAllocateNothingFromToolToTransport) {
    ChunkWindowDevice* window = nullptr;
    ScriptedUpdate update("123456", [&window](std::unique_ptr<KvUsbDevice> device) {
        auto watched = std::make_unique<ChunkWindowDevice>(std::move(device));
        window = watched.get();
        return std::unique_ptr<KvUsbDevice>(std::move(watched));
    });
    ASSERT_TRUE(update.session);
    ASSERT_NE(window, nullptr);
    // Recording the bytes of an OUT transfer is the stand-in's only allocation.
    LibUsbStandin::instance().recordOutData(false);

    ASSERT_TRUE(update.install());

    ASSERT_TRUE(window->windowClosed());
    const size_t chunks = window->chunksInWindow();
    ASSERT_EQ(chunks, embeddedChunkCount() - 1);
    ASSERT_GE(chunks, 1u) << "the embedded pack must span at least two chunks";
    const HeapAllocationCounts counts = countedHeapAllocations();
    EXPECT_EQ(counts.operatorNew, 0u) << "operator new over " << chunks << " chunks";
    EXPECT_EQ(counts.cLibrary, 0u) << "C allocations over " << chunks << " chunks ("
                                   << static_cast<double>(counts.cLibrary) / static_cast<double>(chunks)
                                   << " a chunk)";
}

}  // namespace
}  // namespace korvene::testing
