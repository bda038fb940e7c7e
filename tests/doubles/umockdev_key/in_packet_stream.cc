#include "tests/doubles/umockdev_key/in_packet_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvene::testing {

std::optional<InPacketStream::Completion> InPacketStream::fill(uint8_t* buffer, size_t capacity,
                                                               const TransferSource& source) {
    if (!sending) {
        std::optional<std::vector<uint8_t>> next = source();
        if (!next) {
            return std::nullopt;
        }
        transfer = std::move(*next);
        position = 0;
        sending = true;
    }

    Completion completion;
    for (;;) {
        const size_t packet = std::min<size_t>(maxPacket, transfer.size() - position);
        const size_t copied = std::min(packet, capacity - completion.length);
        if (copied > 0) {
            std::memcpy(buffer + completion.length, transfer.data() + position, copied);
        }
        completion.length += copied;
        position += packet;
        if (packet < maxPacket) {
            sending = false;  // a short or zero-length packet ends the transfer
        }
        if (copied < packet) {
            // A packet larger than the room left: the URB fails, and what the
            // key had left of its transfer is lost with it.
            completion.status = -EOVERFLOW;
            sending = false;
        }
        if (!sending || completion.length == capacity) {
            break;
        }
    }
    return completion;
}

}  // namespace korvene::testing
