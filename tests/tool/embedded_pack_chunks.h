#pragma once

// How the embedded pack's payload travels: in chunks of kFirmwareChunkSize
// bytes, the last holding the rest (14 chunks for the placeholder pack). Tests
// take their chunk counts from here rather than from the placeholder's size.

#include <cstddef>

#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::testing {

inline size_t embeddedChunkCount() {
    return (embeddedPackHeader()->payloadSize + kFirmwareChunkSize - 1) / kFirmwareChunkSize;
}

}  // namespace korvene::testing
