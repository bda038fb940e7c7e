#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "device/session/key_session.h"
#include "tool/firmware_pack.h"

namespace korvene {

// Longest SO PIN the setup request carries (256 itself is allowed).
inline constexpr size_t kMaxSoPinLength = 256;
// Largest payload of one WriteFirmware request.
inline constexpr size_t kFirmwareChunkSize = 8192;
// Length of the digest the key must return (SHA-256).
inline constexpr size_t kFirmwareDigestSize = 32;

// The payload of SetupUpdate: three little-endian 32-bit values taken from the
// pack header, then the SO PIN bytes as typed (no terminator, no length field;
// the PIN's length travels only as the frame length). It is written straight
// into the payload area the session lends, never built in a buffer of its own,
// so the PIN is not copied anywhere else.
struct SetupUpdateRequest {
    static constexpr size_t kSetupValue1Offset = 0;
    static constexpr size_t kSetupValue2Offset = 4;
    static constexpr size_t kPayloadSizeOffset = 8;
    static constexpr size_t kSoPinOffset = 12;

    uint32_t setupValue1 = 0;
    uint32_t setupValue2 = 0;
    uint32_t payloadSize = 0;
    const std::string* soPin = nullptr;  // borrowed; null or empty: no PIN bytes

    // 12 + the PIN's length.
    size_t size() const;
    // Writes size() bytes at `area`, the values least significant byte first
    // whatever the host's byte order.
    void writeTo(uint8_t* area) const;
};

// What the caller may hook into the installation.
struct InstallationHooks {
    // Asked before each request up to and including DeployFirmware. True ends
    // the installation there as a failed request does: one Error message that
    // says the update was interrupted, and false.
    std::function<bool()> stopRequested;
    // Called once the SetupUpdate request has been exchanged, whatever the key
    // answered: nothing after it needs the SO PIN.
    std::function<void()> setupWritten;
    // Called right before DeployFirmware is sent: from then on the
    // installation no longer asks stopRequested and runs to its end.
    std::function<void()> deploying;
};

// Installs the firmware of `pack` (a pack that passed checkFirmwarePack; its
// payload follows the header in the same memory) on an open, initialised
// session: secure messaging, setup with the SO PIN, the payload in chunks of at
// most 8192 bytes with a progress line, the key's SHA-256 digest compared with
// the local one, deployment and the finish request. True when every step
// succeeded; false at the first failure, after one Error trace message. Nothing
// is retried and nothing is canceled here.
bool installFirmware(KeySession& session, const FirmwarePackHeader* pack, const std::string& soPin,
                     const InstallationHooks& hooks = {});

}  // namespace korvene
