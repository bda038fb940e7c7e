#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "device/session/device_status.h"
#include "device/session/frame.h"
#include "device/session/session_keys.h"
#include "device/session/status_code.h"
#include "device/usb/kv_usb_device.h"
#include "device/usb/kv_usb_enumerator.h"
#include "device/usb/usb_open_result.h"

namespace korvene {

class SessionPlatform;

namespace testing {
class KeySessionTestPeer;
}  // namespace testing

// Makes one ephemeral P-256 key pair: a 32-byte private scalar and the 65-byte
// uncompressed public point. Reports failure only by exception.
using KeyPairGenerator = std::function<void(std::vector<uint8_t>& privateKey,
                                            std::vector<uint8_t>& publicKey)>;

// One open session with the key over its bulk endpoints: the owned device, one
// frame buffer for outgoing requests, the request counter and the
// secure-messaging state. Every operation that talks to the key returns a
// StatusCode; nothing here prints.
class KeySession {
public:
    // Largest payload of one request.
    static constexpr uint64_t maxPayload = 0xFFFF;
    // Bound on every bulk transfer of the session. A healthy key answers well
    // within it (it writes flash while it answers a firmware chunk), so it only
    // ends the wait for a key that has stopped answering.
    static constexpr uint32_t kDefaultBulkTimeoutMs = 30000;

    // Builds a session and opens listed device `index` of the enumerator's last
    // scan. Null when the open fails.
    static std::unique_ptr<KeySession> create(KvUsbEnumerator& enumerator, size_t index);

    ~KeySession();
    KeySession(const KeySession&) = delete;
    KeySession& operator=(const KeySession&) = delete;

    UsbOpenResult open(KvUsbEnumerator& enumerator, size_t index);
    void close();

    // Payload area (byte 8 of the frame buffer) for a request of `length` bytes,
    // growing the buffer with zeros as needed; null above maxPayload.
    uint8_t* payload(size_t length);

    StatusCode send(CommandCode code, bool encrypted, size_t length);
    StatusCode transact(CommandCode code, bool encrypted, size_t length);
    StatusCode transact(CommandCode code, bool encrypted, size_t length, std::vector<uint8_t>& out);

    StatusCode getDeviceStatus(DeviceStatus* status);
    StatusCode getReadyState(uint32_t* state);
    bool initialize();

    StatusCode establishSecureMessaging();

    // Seams. The defaults are the real platform, the real key-pair generator and
    // kDefaultBulkTimeoutMs.
    void setPlatform(SessionPlatform* platform);
    void setKeyPairGenerator(KeyPairGenerator generator);
    // Applies the bound to every endpoint of the owned device now and after
    // every later open.
    void setBulkTimeout(uint32_t milliseconds);

    // Read-only views for callers and tests.
    uint32_t sequenceNumber() const { return sequence; }
    bool isSecure() const { return secure != 0; }
    bool isFaulted() const { return faulted != 0; }
    uint8_t lastWireStatus() const { return lastStatus; }
    size_t frameBufferSize() const { return ioBuffer.size(); }
    const SessionKeys* sessionKeys() const { return keys.get(); }
    KvUsbDevice* usbDevice() const { return device.get(); }

private:
    // Tests install session keys and move the counter through this peer.
    friend class testing::KeySessionTestPeer;

    KeySession();

    // The refusals every request of send and transact makes before it touches
    // the device, in their order: the frame does not fit the buffer
    // (HostInternalError), encryption without secure messaging
    // (NoEstablishedKey), a faulted session (DeviceError). Success when none
    // applies.
    StatusCode checkRequest(bool encrypted, size_t length) const;

    // What both forms of transact share: lastStatus cleared, the refusals, the
    // frame write and the response read into `payloadOut` (readResponse).
    StatusCode exchange(CommandCode code, bool encrypted, size_t length, std::vector<uint8_t>& payloadOut,
                        uint8_t* codeByte);

    // Steps shared by every request: increments the counter, writes the header
    // (magic, sequence byte, code & 0x3F, length) into the frame buffer,
    // enciphers the payload in place when `encrypted`, and writes header and
    // payload in one bulk transfer on OUT endpoint 0. DeviceError when the write
    // fails. The callers make their own checks before it.
    StatusCode writeFrame(uint8_t code, bool encrypted, size_t length);

    // Reads one response to the request just written: the 8-byte header, checks
    // magic and sequence byte, reads exactly the announced payload into
    // `payloadOut`, stores the wire status in lastStatus and maps a non-zero one
    // through statusFromWire. On Success `payloadOut` holds the payload as
    // received (not deciphered) and `codeByte` the response's code byte.
    StatusCode readResponse(std::vector<uint8_t>& payloadOut, uint8_t* codeByte);

    // GetInfo exchange shared by getDeviceStatus and getReadyState.
    StatusCode queryInfo(InfoId id, size_t expectedLength, uint8_t* destination);

    void dropSecureMessaging();
    void applyBulkTimeout();

    std::unique_ptr<KvUsbDevice> device;
    std::vector<uint8_t> ioBuffer;
    uint32_t sequence = 0;
    SessionKeysPtr keys;
    uint8_t secure = 0;
    uint8_t lastStatus = 0;
    uint8_t faulted = 0;

    SessionPlatform* platform;
    KeyPairGenerator keyPairGenerator;
    uint32_t bulkTimeoutMs = kDefaultBulkTimeoutMs;
    // Scratch for responses whose payload is read and dropped.
    std::vector<uint8_t> scratch;
};

}  // namespace korvene
