#pragma once

// How the embedded pack's payload travels: in chunks of kFirmwareChunkSize
// bytes, the last holding the rest (14 chunks for the placeholder pack). Tests
// take their chunk counts from here rather than from the placeholder's size.

#include <cstddef>
#include <string>

#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::testing {

inline size_t embeddedChunkCount() {
    return (embeddedPackHeader()->payloadSize + kFirmwareChunkSize - 1) / kFirmwareChunkSize;
}

// A run of `count` chunk requests as VirtualKeySession::requestsSinceOpen
// writes it.
inline std::string chunkRequests(size_t count) {
    return count == 1 ? "WriteFirmware" : "WriteFirmware*" + std::to_string(count);
}

// Why a row that needs an embedded pack of at least chunksNeeded chunks cannot
// run on this one, or empty when the pack has them.
inline std::string missingChunks(size_t chunksNeeded) {
    const size_t chunks = embeddedChunkCount();
    if (chunks >= chunksNeeded) return {};
    return "the embedded pack has " + std::to_string(chunks) + " chunks; this row needs " +
           std::to_string(chunksNeeded);
}

}  // namespace korvene::testing
