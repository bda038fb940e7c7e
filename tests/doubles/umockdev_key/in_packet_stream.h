#pragma once

// The IN side of the emulated key at packet level. The key model queues whole
// IN transfers; on the wire each goes out as packets of the endpoint's size,
// and a transfer whose length is a multiple of the packet size (an empty one
// included) ends with a zero-length packet. An IN URB of N bytes completes
// when N bytes have arrived or a short or zero-length packet ends the
// transfer; a transfer longer than one URB goes on in the next URB.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvene::testing {

class InPacketStream {
public:
    // How one IN URB ended.
    struct Completion {
        size_t length = 0;  // bytes placed in the URB's buffer
        int status = 0;     // 0, or -EOVERFLOW when a packet did not fit
    };

    // Gives the key's next whole IN transfer, or nothing while it has none.
    using TransferSource = std::function<std::optional<std::vector<uint8_t>>()>;

    explicit InPacketStream(uint16_t maxPacketSize) : maxPacket(maxPacketSize) {}

    // Fills one URB of `capacity` bytes at `buffer`. Nothing while no packet is
    // on its way: the URB stays pending. A URB whose first packet has come
    // always completes, since a transfer ends with a short packet.
    std::optional<Completion> fill(uint8_t* buffer, size_t capacity, const TransferSource& source);

    // True while a transfer has packets left to send.
    bool midTransfer() const { return sending; }

private:
    uint16_t maxPacket;
    std::vector<uint8_t> transfer;  // the transfer on its way
    size_t position = 0;            // bytes of it already sent
    bool sending = false;           // its last (short) packet has not gone yet
};

}  // namespace korvene::testing
