#pragma once

// A whole update of the embedded pack over the libusb stand-in, through the
// real USB transport: a LibUsbDevice opened on a stand-in key, a session whose
// host key pair is the one of protocol session 1 (protocol_sessions.txt), and
// the key's answer to every request of installFirmware queued before the
// update starts, as the IN packets a key sends: 64-byte packets, the last one
// short, or a zero-length packet behind an answer of whole packets.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/session/key_session.h"
#include "device/usb/kv_usb_device.h"

namespace korvene::testing {

// A frame of the key's answer: magic, `sequence`, `code` and the payload's
// length, then the payload.
std::vector<uint8_t> answerFrame(size_t sequence, uint8_t code, const std::vector<uint8_t>& payload);
// Queues `answer` on the stand-in key's IN endpoint 0x81 as the key sends it:
// 64-byte packets, the rest in a short one, or a zero-length packet when the
// answer is a whole number of packets.
void queueAnswer(int key, const std::vector<uint8_t>& answer);

// One request of the update and the key's answer to it, as whole frames.
struct ScriptedExchange {
    std::string command;   // "KeyExchange", "SetupUpdate", ...
    size_t requestFrame;   // bytes the host writes: header and payload
    size_t responseFrame;  // bytes the key answers; 0: it answers nothing
};

class ScriptedUpdate {
public:
    // Receives the opened LibUsbDevice and returns the device the session is
    // to own (a wrapper around it, say).
    using DeviceWrapper = std::function<std::unique_ptr<KvUsbDevice>(std::unique_ptr<KvUsbDevice>)>;

    // Resets the stand-in, adds the key, opens a session on it and queues the
    // answers for an update with `soPin`. The session is null when opening failed.
    explicit ScriptedUpdate(const std::string& soPin, DeviceWrapper wrap = {});
    ~ScriptedUpdate();
    ScriptedUpdate(const ScriptedUpdate&) = delete;
    ScriptedUpdate& operator=(const ScriptedUpdate&) = delete;

    // installFirmware on the embedded pack, with standard output captured.
    bool install();

    // The update's exchanges in the order the host makes them.
    const std::vector<ScriptedExchange>& exchanges() const { return script; }
    // The stand-in's index of the key.
    int device() const { return key; }

    std::unique_ptr<KeySession> session;

private:
    std::string pin;
    int key = -1;
    std::vector<ScriptedExchange> script;
};

}  // namespace korvene::testing
