#pragma once

// The virtual key: one model of the key's side of the protocol, reached by the
// tests through two front doors (an in-process KvUsbDevice and, for end-to-end
// tests, an emulated USB device answered through real libusb). Tests set its
// state and fault knobs, run the real host code, then read its request log.
//
// The model is transport-neutral: it takes whole bulk OUT transfers and class
// requests, and queues whole IN transfers (responses). The front doors turn
// those into their transport's units.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "device/session/session_keys.h"

namespace korvene::testing {

inline constexpr uint8_t kVirtualOutAddress = 0x01;
inline constexpr uint8_t kVirtualInAddress = 0x81;
inline constexpr uint16_t kVirtualMaxPacket = 64;

// One request as it reached the key.
struct ReceivedRequest {
    uint8_t sequence = 0;
    uint8_t code = 0;        // the whole code byte as sent
    uint8_t command = 0;     // code & 0x3F
    bool encrypted = false;  // bit 7
    bool resync = false;     // bit 6
    uint16_t length = 0;     // header length field
    std::vector<uint8_t> payload;  // as it travelled
    std::vector<uint8_t> plain;    // deciphered when encrypted and keys are known, else a copy
};

// How the key spoils its answer to a matching request.
struct ResponseFault {
    enum class Kind {
        WireStatus,     // answer `wireStatus` (payload: `payloadLength` filler bytes)
        WrongMagic,     // correct answer, magic byte 0 changed
        StaleSequence,  // correct answer, sequence byte of the previous request
        ShortHeader,    // only the first 7 header bytes
        ShortPayload,   // header announces the payload, one byte fewer follows
        PayloadLength,  // status 0 with `payloadLength` filler bytes instead of the real payload
        EncryptedFlag,  // correct answer with bit 7 set (payload enciphered when keys exist)
        NoAnswer,       // nothing at all: the host's read waits until its bound
    };
    int command = -1;    // CommandCode value; -1 matches every command
    int occurrence = 0;  // 1-based count among requests of that command; 0 matches every one
    Kind kind = Kind::WireStatus;
    uint8_t wireStatus = 0;
    size_t payloadLength = 0;
};

// The key's data. Defaults: firmware 1.4, no SO PIN, ready.
struct VirtualKeyState {
    uint8_t firmwareMajor = 1;
    uint8_t firmwareMinor = 4;
    bool soPinSet = false;
    bool soPinLocked = false;
    std::string soPin;         // the PIN SetupUpdate must carry when soPinSet
    int soPinTriesLeft = 3;    // a wrong PIN takes one; at 0 the PIN locks
    uint32_t readyState = 1;

    // Secure messaging (the key's side of the exchange).
    std::vector<uint8_t> privateKey;       // 32 bytes; empty: a fresh one per exchange
    uint8_t deviceTag = 0x5a;
    std::array<uint8_t, 16> deviceNonce{};  // all zero: a fresh one per exchange
    bool randomNonce = true;
    std::array<uint8_t, 16> reserved{};
    std::optional<SessionKeys> keys;        // established keys, after a successful exchange

    // The update in progress.
    bool setupDone = false;
    uint32_t setupValue1 = 0;
    uint32_t setupValue2 = 0;
    uint32_t expectedSize = 0;
    std::vector<uint8_t> firmware;  // chunks reassembled in order
    bool deployed = false;
    bool finished = false;
    bool canceled = false;
};

struct VirtualKeyKnobs {
    std::vector<ResponseFault> faults;

    // Initialisation.
    bool classResetFails = false;
    std::vector<uint8_t> neverHalts;       // endpoint addresses that never show a halt
    std::vector<uint8_t> haltPersists;     // halts that clear-halt does not clear
    std::vector<uint8_t> clearHaltFails;   // addresses whose clear-halt request fails

    // Key exchange: the first N answers carry a point that is not on the curve.
    int invalidPointAnswers = 0;

    // Firmware digest: answer a digest with one byte changed.
    bool wrongDigest = false;

    // After this many requests (frames that reached the key) the key is gone:
    // every later transfer fails as if the device were unplugged. -1: never.
    int disconnectAfterRequests = -1;
    // After this many requests the key takes further frames but never answers
    // again. -1: never.
    int silentAfterRequests = -1;
};

class VirtualKey {
public:
    VirtualKey();

    VirtualKeyState state;
    VirtualKeyKnobs knobs;

    // Every frame that reached the key, in order (resync packets included).
    std::vector<ReceivedRequest> requests;
    // Count of zero-length OUT transfers seen.
    size_t zeroLengthOutTransfers = 0;

    // ---- transport-neutral entry points used by the front doors ----

    // Class request 0x21/0xFF (interface reset): every bulk endpoint halts.
    bool classReset();
    // GET_STATUS of an endpoint: its halt bit.
    bool endpointHalted(uint8_t address) const;
    // CLEAR_FEATURE(ENDPOINT_HALT); false when the knob makes it fail.
    bool clearHalt(uint8_t address);

    // One whole bulk OUT transfer (a frame, or a zero-length packet).
    void receive(const uint8_t* data, size_t length);

    // IN side: whole transfers the key has queued, oldest first.
    bool hasResponse() const { return !responses.empty(); }
    std::vector<uint8_t> takeResponse();

    // True once the disconnect knob has fired: every transfer must fail.
    bool disconnected() const;

    // Helpers for assertions.
    size_t countRequests(uint8_t command) const;
    const ReceivedRequest* lastRequest(uint8_t command) const;

private:
    void answer(const ReceivedRequest& request);
    void queue(const ReceivedRequest& request, uint8_t status, const std::vector<uint8_t>& payload,
               bool encrypt);
    const ResponseFault* faultFor(const ReceivedRequest& request) const;

    // Handlers, one per concern.
    void handleGetInfo(const ReceivedRequest& request);
    void handleKeyExchange(const ReceivedRequest& request);
    void handleSetupUpdate(const ReceivedRequest& request);
    void handleWriteFirmware(const ReceivedRequest& request);
    void handleGetFirmwareHash(const ReceivedRequest& request);
    void handleDeployFirmware(const ReceivedRequest& request);
    void handleFinishUpdate(const ReceivedRequest& request);
    void handleCancelUpdate(const ReceivedRequest& request);

    std::array<bool, 2> halted{};  // [0] OUT endpoint, [1] IN endpoint
    std::deque<std::vector<uint8_t>> responses;
    size_t exchangeAnswers = 0;
};

}  // namespace korvene::testing
