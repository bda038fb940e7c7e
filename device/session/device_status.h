#pragma once

#include <cstdint>

namespace korvene {

// Selector of a GetInfo request, sent little-endian as its 4-byte payload.
enum class InfoId : uint32_t {
    ReadyState = 3,  // answer: 4 bytes, 1 means ready
    Status = 16,     // answer: the 108-byte DeviceStatus
};

namespace DeviceStatusFlags {
inline constexpr uint8_t SoPinSet = 0x01;
inline constexpr uint8_t SoPinLocked = 0x08;
}  // namespace DeviceStatusFlags

// The key's 108-byte status record, copied byte for byte from its answer.
struct DeviceStatus {
    uint8_t reserved0;
    uint8_t flags;  // DeviceStatusFlags
    uint8_t reserved2[100];
    uint8_t firmwareMajor;
    uint8_t firmwareMinor;
    uint8_t reserved104[4];
};
static_assert(sizeof(DeviceStatus) == 108);

}  // namespace korvene
