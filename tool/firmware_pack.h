#pragma once

#include <cstddef>
#include <cstdint>

namespace korvene {

// The 24-byte header at the start of a firmware pack; little-endian fields.
struct FirmwarePackHeader {
    uint8_t magic[8];        // "KORVFIRM"
    uint16_t headerSize;     // 24
    uint8_t packVersion[2];  // major, minor: 2.0
    uint32_t setupValue1;    // opaque, forwarded to the key
    uint32_t setupValue2;    // opaque, forwarded to the key
    uint32_t payloadSize;    // payload bytes behind the header
};
static_assert(sizeof(FirmwarePackHeader) == 24);

// The embedded pack, generated read-only data.
extern const uint8_t kFirmwarePack[];
extern const size_t kFirmwarePackSize;

inline const FirmwarePackHeader* embeddedPackHeader() {
    return reinterpret_cast<const FirmwarePackHeader*>(kFirmwarePack);
}

// True when the pack passes every header check; otherwise one Verbose message
// names the first check that failed.
bool checkFirmwarePack(const FirmwarePackHeader* pack, uint32_t size);

}  // namespace korvene
