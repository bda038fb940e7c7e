#include "device/session/key_session.h"

#include <algorithm>

#include "device/session/ecdh.h"
#include "device/session/payload_cipher.h"
#include "device/session/session_platform.h"

namespace korvene {

KeySession::KeySession()
    : ioBuffer(kFrameHeaderSize, 0),
      platform(&systemSessionPlatform()),
      keyPairGenerator(generateEphemeralKeyPair) {}

KeySession::~KeySession() = default;

std::unique_ptr<KeySession> KeySession::create(KvUsbEnumerator& enumerator, size_t index) {
    std::unique_ptr<KeySession> session(new KeySession());
    if (session->open(enumerator, index) != UsbOpenResult::Ok) return nullptr;
    return session;
}

UsbOpenResult KeySession::open(KvUsbEnumerator& enumerator, size_t index) {
    KvUsbDevice* opened = nullptr;
    const UsbOpenResult result = enumerator.openDeviceWithStatus(index, &opened);
    // Owned from here, so that a device handed out with a failure is not lost.
    std::unique_ptr<KvUsbDevice> candidate(opened);
    if (result != UsbOpenResult::Ok) {
        switch (result) {
            case UsbOpenResult::AccessDenied:
            case UsbOpenResult::NoDevice:
            case UsbOpenResult::Busy:
                return result;
            default:
                return UsbOpenResult::Failed;
        }
    }
    if (!candidate) return UsbOpenResult::Failed;

    for (size_t i = 0; i < candidate->outEndpointCount(); ++i) {
        candidate->enableZeroLengthPackets(candidate->outEndpointAddress(static_cast<uint32_t>(i)));
    }
    for (size_t i = 0; i < candidate->inEndpointCount(); ++i) {
        candidate->enableZeroLengthPackets(candidate->inEndpointAddress(static_cast<uint32_t>(i)));
    }

    device = std::move(candidate);
    applyBulkTimeout();
    secure = 0;
    sequence = 0;
    lastStatus = 0;
    faulted = 0;
    return UsbOpenResult::Ok;
}

void KeySession::close() {
    if (device) device->close();
}

uint8_t* KeySession::payload(size_t length) {
    if (length > maxPayload) return nullptr;
    if (ioBuffer.size() < kFrameHeaderSize + length) ioBuffer.resize(kFrameHeaderSize + length, 0);
    return ioBuffer.data() + kFrameHeaderSize;
}

StatusCode KeySession::checkRequest(bool encrypted, size_t length) const {
    if (length > ioBuffer.size() - kFrameHeaderSize) return StatusCode::HostInternalError;
    if (encrypted && secure == 0) return StatusCode::NoEstablishedKey;
    if (faulted != 0) return StatusCode::DeviceError;
    return StatusCode::Success;
}

StatusCode KeySession::send(CommandCode code, bool encrypted, size_t length) {
    const StatusCode refused = checkRequest(encrypted, length);
    if (refused != StatusCode::Success) return refused;
    return writeFrame(static_cast<uint8_t>(code), encrypted, length);
}

StatusCode KeySession::exchange(CommandCode code, bool encrypted, size_t length, std::vector<uint8_t>& payloadOut,
                                uint8_t* codeByte) {
    lastStatus = 0;
    const StatusCode refused = checkRequest(encrypted, length);
    if (refused != StatusCode::Success) return refused;
    const StatusCode written = writeFrame(static_cast<uint8_t>(code), encrypted, length);
    if (written != StatusCode::Success) return written;
    return readResponse(payloadOut, codeByte);
}

StatusCode KeySession::transact(CommandCode code, bool encrypted, size_t length) {
    uint8_t responseCode = 0;
    const StatusCode status = exchange(code, encrypted, length, scratch, &responseCode);
    if (status != StatusCode::Success) return status;
    // This form expects no payload; a successful answer that carries one is
    // not what the request asked for.
    if (!scratch.empty()) return StatusCode::ProtocolError;
    return StatusCode::Success;
}

StatusCode KeySession::transact(CommandCode code, bool encrypted, size_t length, std::vector<uint8_t>& out) {
    uint8_t responseCode = 0;
    const StatusCode status = exchange(code, encrypted, length, out, &responseCode);
    if (status != StatusCode::Success) return status;
    if (!out.empty() && (responseCode & FrameFlags::Encrypted) != 0) {
        // Without a key record the payload cannot be deciphered; the answer is
        // as unusable as a malformed one.
        if (!keys) return StatusCode::ProtocolError;
        ctrDecrypt(keys.get(), out.data(), out.data(), out.size());
    }
    return StatusCode::Success;
}

StatusCode KeySession::writeFrame(uint8_t code, bool encrypted, size_t length) {
    // Callers check `secure`, which implies a record; never encipher without one.
    if (encrypted && !keys) return StatusCode::NoEstablishedKey;

    ++sequence;
    uint8_t* frame = ioBuffer.data();
    std::copy(std::begin(kFrameMagic), std::end(kFrameMagic), frame);
    frame[4] = static_cast<uint8_t>(sequence & 0xFF);
    frame[5] = static_cast<uint8_t>(code & kFrameCodeMask);
    frame[6] = static_cast<uint8_t>(length & 0xFF);
    frame[7] = static_cast<uint8_t>((length >> 8) & 0xFF);
    if (encrypted) {
        frame[5] |= FrameFlags::Encrypted;
        if (length > 0) ctrCrypt(keys.get(), frame + kFrameHeaderSize, frame + kFrameHeaderSize, length);
    }
    if (!device->bulkWrite(0, frame, static_cast<uint32_t>(kFrameHeaderSize + length))) {
        return StatusCode::DeviceError;
    }
    return StatusCode::Success;
}

StatusCode KeySession::readResponse(std::vector<uint8_t>& payloadOut, uint8_t* codeByte) {
    uint8_t header[kFrameHeaderSize] = {};
    uint32_t received = 0;
    if (!device->bulkRead(0, header, kFrameHeaderSize, &received)) {
        // A failed (or timed-out) read leaves the stream in an unknown place.
        faulted = 1;
        return StatusCode::DeviceError;
    }
    if (received != kFrameHeaderSize) return StatusCode::DeviceError;
    if (!std::equal(std::begin(kFrameMagic), std::end(kFrameMagic), header) ||
        header[4] != static_cast<uint8_t>(sequence & 0xFF)) {
        return StatusCode::ProtocolError;
    }

    const uint16_t length = static_cast<uint16_t>(header[6] | (header[7] << 8));
    payloadOut.resize(length, 0);
    if (length > 0) {
        received = 0;
        if (!device->bulkRead(0, payloadOut.data(), length, &received) || received < length) {
            faulted = 1;
            return StatusCode::DeviceError;
        }
    }

    lastStatus = static_cast<uint8_t>(header[5] & kFrameCodeMask);
    if (lastStatus != 0) return statusFromWire(lastStatus);
    *codeByte = header[5];
    return StatusCode::Success;
}

void KeySession::setPlatform(SessionPlatform* newPlatform) {
    platform = newPlatform != nullptr ? newPlatform : &systemSessionPlatform();
}

void KeySession::setKeyPairGenerator(KeyPairGenerator generator) {
    keyPairGenerator = generator ? std::move(generator) : KeyPairGenerator(generateEphemeralKeyPair);
}

void KeySession::setBulkTimeout(uint32_t milliseconds) {
    bulkTimeoutMs = milliseconds;
    applyBulkTimeout();
}

void KeySession::applyBulkTimeout() {
    if (!device) return;
    // The result is ignored: an endpoint that takes no bound is no reason to
    // refuse the device.
    for (size_t i = 0; i < device->outEndpointCount(); ++i) {
        device->setTimeout(device->outEndpointAddress(static_cast<uint32_t>(i)), bulkTimeoutMs);
    }
    for (size_t i = 0; i < device->inEndpointCount(); ++i) {
        device->setTimeout(device->inEndpointAddress(static_cast<uint32_t>(i)), bulkTimeoutMs);
    }
}

void KeySession::dropSecureMessaging() {
    keys.reset();
    secure = 0;
}

}  // namespace korvene
