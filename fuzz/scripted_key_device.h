#pragma once

// A KvUsbDevice whose key answers from the fuzzer's script: every bulk read,
// control transfer and clear-halt asks the script what happens, and every
// request frame the host writes gets an answer composed from the script. The
// script's zero is the healthy choice throughout, so a used-up script plays a
// key that does everything right: it halts its endpoints on the class reset,
// echoes the sequence byte, reports ready, hands out its status record, answers
// the key exchange with a valid point, and returns the right firmware digest.
//
// The device keeps a transcript for the harness's invariants: every frame
// written and the exact bytes the host read until the next write, and a count
// of the transfers that failed or delivered less than asked.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "device/session/session_keys.h"
#include "device/usb/kv_usb_device.h"
#include "tests/doubles/usb_requests.h"
#include "fuzz/fuzz_script.h"

namespace korvene::testing {

// What the scripted key and the harness both know.
struct ScriptedKeyIdentity {
    std::vector<uint8_t> hostPrivateKey;     // the fixed key pair the harness hands the session
    std::vector<uint8_t> hostPublicKey;      // 0x04 || X || Y
    std::vector<uint8_t> devicePublicKey;    // X || Y of the key's valid point
    std::array<uint8_t, 32> firmwareDigest;  // SHA-256 of the payload the host installs
};

// One request frame and what the host read in answer to it.
struct ScriptedExchange {
    std::vector<uint8_t> frame;      // the bulk OUT transfer as written
    std::vector<uint8_t> delivered;  // every byte bulkRead handed out until the next write
};

// The command code of a request frame (bits 0-5 of its code byte); 0 for a
// frame too short to hold one.
uint8_t commandOf(const std::vector<uint8_t>& frame);

class ScriptedKeyDevice final : public StandardRequestsDevice {
public:
    ScriptedKeyDevice(FuzzScript& script, const ScriptedKeyIdentity& identity);

    const std::vector<ScriptedExchange>& exchanges() const { return log; }
    // Bulk transfers that failed, or that delivered fewer bytes than asked.
    size_t transferFaults() const { return faults; }
    // Class reset requests reported as done.
    size_t classResets() const { return resets; }
    // The session keys a host holds after it read the answer of the last
    // KeyExchange before exchange `before` as it was delivered; false when
    // there is none or it yields no keys.
    bool hostKeysBefore(size_t before, SessionKeys* keys);
    // The payload of a frame or an answer as the host or the key reads it:
    // deciphered when its code byte is flagged and keys are known.
    std::vector<uint8_t> plainPayload(const std::vector<uint8_t>& frame, size_t before);

    void close() override;
    bool isOpen() const override { return opened; }
    size_t outEndpointCount() const override { return outAddresses.size(); }
    size_t inEndpointCount() const override { return inAddresses.size(); }
    uint8_t outEndpointAddress(uint32_t index) const override { return outAddresses.at(index); }
    uint8_t inEndpointAddress(uint32_t index) const override { return inAddresses.at(index); }
    bool enableZeroLengthPackets(uint8_t address) override { return hasEndpoint(address); }
    bool setTimeout(uint8_t address, uint32_t) override { return hasEndpoint(address); }
    bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                         uint8_t* data) override;
    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override;
    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override;
    bool discardInput(uint8_t address) override;
    bool clearHalt(uint8_t address) override;
    bool open(libusb_device*, uint8_t) override { return false; }
    UsbOpenResult openWithStatus(libusb_device*, uint8_t) override { return UsbOpenResult::Failed; }

private:
    bool hasEndpoint(uint8_t address) const;
    bool fault();
    // Queues the answer to the last frame if it has none yet: the key answers
    // every request it took, whether the host reads the answer or not.
    void answerPending();
    std::vector<uint8_t> composeAnswer(size_t exchange);
    std::vector<uint8_t> healthyPayload(size_t exchange);
    bool healthyControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                        uint8_t* data);

    FuzzScript& script;
    const ScriptedKeyIdentity& identity;
    bool opened = true;
    std::vector<uint8_t> outAddresses;
    std::vector<uint8_t> inAddresses;
    std::set<uint8_t> halted;
    std::deque<uint8_t> input;  // sent by the key, not yet read by the host
    bool answerDue = false;
    std::vector<ScriptedExchange> log;
    size_t faults = 0;
    size_t resets = 0;
    // Keys derived for the KeyExchange at `cachedExchange`, to derive once.
    size_t cachedExchange = SIZE_MAX;
    bool cachedValid = false;
    SessionKeys cachedKeys{};
};

}  // namespace korvene::testing
