#pragma once

#include <cstddef>
#include <cstdint>

namespace korvene {

// Every request and response starts with this 8-byte header:
//   0..3 magic "KRVN", 4 sequence byte, 5 code (bits 0-5 command or wire
//   status, bit 6 resync, bit 7 encrypted), 6..7 payload length little-endian.
struct FrameHeader {
    uint8_t magic[4];
    uint8_t sequence;
    uint8_t code;
    uint8_t length[2];
};
static_assert(sizeof(FrameHeader) == 8);

inline constexpr size_t kFrameHeaderSize = 8;
inline constexpr uint8_t kFrameMagic[4] = {'K', 'R', 'V', 'N'};
inline constexpr uint8_t kFrameCodeMask = 0x3F;

namespace FrameFlags {
inline constexpr uint8_t Resync = 0x40;
inline constexpr uint8_t Encrypted = 0x80;
}  // namespace FrameFlags

enum class CommandCode : uint8_t {
    GetInfo = 3,
    KeyExchange = 4,
    SetupUpdate = 32,
    FinishUpdate = 33,
    CancelUpdate = 34,
    WriteFirmware = 35,
    GetFirmwareHash = 36,
    DeployFirmware = 37,
};

}  // namespace korvene
