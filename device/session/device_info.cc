// The GetInfo queries: the key's status record and its ready state.
#include <cstring>

#include "device/session/key_session.h"
#include "device/session/payload_cipher.h"

namespace korvene {
namespace {

constexpr size_t kInfoIdSize = 4;
constexpr size_t kReadyStateSize = 4;

}  // namespace

StatusCode KeySession::queryInfo(InfoId id, size_t expectedLength, uint8_t* destination) {
    if (ioBuffer.size() < kFrameHeaderSize + kInfoIdSize) ioBuffer.resize(kFrameHeaderSize + kInfoIdSize, 0);
    const uint32_t selector = static_cast<uint32_t>(id);
    for (size_t i = 0; i < kInfoIdSize; ++i) {
        ioBuffer[kFrameHeaderSize + i] = static_cast<uint8_t>(selector >> (8 * i));
    }

    lastStatus = 0;
    if (faulted != 0) return StatusCode::DeviceError;
    // The query is enciphered whenever the session is secure; the caller has
    // no say in it.
    StatusCode status = writeFrame(static_cast<uint8_t>(CommandCode::GetInfo), secure != 0, kInfoIdSize);
    if (status != StatusCode::Success) return status;

    uint8_t responseCode = 0;
    status = readResponse(scratch, &responseCode);
    if (status != StatusCode::Success) return status;
    if (!scratch.empty() && (responseCode & FrameFlags::Encrypted) != 0) {
        // No key record (as during initialisation): nothing to decipher with.
        if (!keys) return StatusCode::ProtocolError;
        ctrDecrypt(keys.get(), scratch.data(), scratch.data(), scratch.size());
    }
    if (scratch.size() != expectedLength) return StatusCode::ProtocolError;
    std::memcpy(destination, scratch.data(), expectedLength);
    return StatusCode::Success;
}

StatusCode KeySession::getDeviceStatus(DeviceStatus* status) {
    return queryInfo(InfoId::Status, sizeof(DeviceStatus), reinterpret_cast<uint8_t*>(status));
}

StatusCode KeySession::getReadyState(uint32_t* state) {
    uint8_t bytes[kReadyStateSize] = {};
    const StatusCode status = queryInfo(InfoId::ReadyState, kReadyStateSize, bytes);
    if (status == StatusCode::Success) {
        *state = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }
    return status;
}

}  // namespace korvene
