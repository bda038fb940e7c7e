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
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/session/session_keys.h"

namespace korvene::testing {

inline constexpr uint8_t kVirtualOutAddress = 0x01;
inline constexpr uint8_t kVirtualInAddress = 0x81;
inline constexpr uint16_t kVirtualMaxPacket = 64;
// The number of the key's only interface: the index of its class reset.
inline constexpr uint16_t kVirtualInterfaceNumber = 0;
inline constexpr size_t kStatusRecordSize = 108;

// One OUT transfer as it reached the key.
struct ReceivedRequest {
    uint8_t sequence = 0;
    uint8_t code = 0;        // the whole code byte as sent
    uint8_t command = 0;     // code & 0x3F
    bool encrypted = false;  // bit 7
    bool resync = false;     // bit 6
    uint16_t length = 0;     // header length field
    std::vector<uint8_t> payload;  // as it travelled
    std::vector<uint8_t> plain;    // deciphered when encrypted and keys are known, else a copy
    std::vector<uint8_t> frame;    // the whole transfer, header included
    // Magic "KRVN", at least 8 bytes, and exactly `length` payload bytes. The
    // key answers nothing else.
    bool wellFormed = false;
};

// How the key spoils its answer to a matching request.
struct ResponseFault {
    enum class Kind {
        WireStatus,     // answer `wireStatus` (payload: `payloadLength` filler bytes); the request is not acted on
        WrongMagic,     // correct answer, magic byte `magicByte` changed
        StaleSequence,  // correct answer, sequence byte of the previous request
        ShortHeader,    // only the first 7 header bytes
        ShortPayload,   // header announces the payload (at least 1 byte), one byte fewer follows; the
                        // status is `wireStatus` when that is not 0, else the real answer's
        PayloadLength,  // status 0 with `payloadLength` filler bytes instead of the real payload
        EncryptedFlag,  // correct answer with bit 7 set (payload enciphered when keys exist)
        NoAnswer,       // nothing at all: the host's read waits until its bound
    };
    int command = -1;    // CommandCode value; -1 matches every command
    int occurrence = 0;  // 1-based count among requests of that command; 0 matches every one
    Kind kind = Kind::WireStatus;
    uint8_t wireStatus = 0;
    size_t payloadLength = 0;
    size_t magicByte = 0;  // WrongMagic: which of the four magic bytes, 0-3
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

    // The bulk endpoints of the key's interface, in descriptor order. Frames
    // travel on the first of each direction only; the others take part in the
    // halt handshake. Tests may add a second one or remove them all.
    std::vector<uint8_t> outEndpoints{kVirtualOutAddress};
    std::vector<uint8_t> inEndpoints{kVirtualInAddress};

    // Secure messaging (the key's side of the exchange).
    std::vector<uint8_t> privateKey;       // 32 bytes; empty: a fresh one per exchange
    uint8_t deviceTag = 0x5a;
    std::array<uint8_t, 16> deviceNonce{};  // all zero: a fresh one per exchange
    bool randomNonce = true;                // false: deviceNonce is sent as it is, zeros included
    std::array<uint8_t, 16> reserved{};
    // Established keys. While set, the key deciphers encrypted requests and
    // enciphers its answers to them; an encrypted request without keys gets
    // wire status 5 (NoEstablishedKey). The class reset drops them.
    std::optional<SessionKeys> keys;

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
    // The first fault that matches a request decides its answer.
    std::vector<ResponseFault> faults;

    // Initialisation.
    bool classResetFails = false;
    std::vector<uint8_t> neverHalts;       // endpoint addresses that never show a halt
    std::vector<uint8_t> haltPersists;     // halts that clear-halt does not clear
    std::vector<uint8_t> clearHaltFails;   // addresses whose clear-halt request fails

    // Key exchange: the first N answers carry a point that is not on the curve.
    int invalidPointAnswers = 0;

    // Firmware digest: answer a digest with byte `wrongDigestByte` (0-31)
    // changed, and/or followed by `extraDigestBytes` filler bytes.
    bool wrongDigest = false;
    size_t wrongDigestByte = 0;
    size_t extraDigestBytes = 0;

    // The counts below are of numbered requests: well-formed frames other than
    // resync packets.
    // After this many requests the key is gone: every later write and control
    // request fails as if the device were unplugged, and reads fail once the
    // answers queued before are drained. -1: never.
    int disconnectAfterRequests = -1;
    // After this many requests the key takes further frames but never answers
    // again. -1: never.
    int silentAfterRequests = -1;
};

// Name of a command code for test output ("WriteFirmware"), "Command<n>" for others.
std::string commandName(uint8_t command);

class VirtualKey {
public:
    VirtualKey();

    VirtualKeyState state;
    VirtualKeyKnobs knobs;

    // Every OUT transfer that reached the key, in order (resync packets and
    // malformed transfers included, zero-length packets not).
    std::vector<ReceivedRequest> requests;
    // Count of zero-length OUT transfers seen.
    size_t zeroLengthOutTransfers = 0;
    // Control requests seen, failed ones included.
    size_t classResetRequests = 0;
    std::map<uint8_t, size_t> haltQueries;        // by endpoint address
    std::map<uint8_t, size_t> clearHaltRequests;  // by endpoint address

    // ---- transport-neutral entry points used by the front doors ----

    // Class request 0x21/0xFF (interface reset): every bulk endpoint halts
    // (except those of knobs.neverHalts), queued answers and keys are dropped.
    // False when knobs.classResetFails.
    bool classReset();
    // GET_STATUS of an endpoint: its halt bit.
    bool endpointHalted(uint8_t address);
    // CLEAR_FEATURE(ENDPOINT_HALT); false when the knob makes it fail.
    bool clearHalt(uint8_t address);
    // True when `address` is one of the key's bulk endpoints.
    bool hasEndpoint(uint8_t address) const;
    // One request on the control endpoint, as either front door receives it: the
    // class reset (value 0, the interface number as index, no data),
    // CLEAR_FEATURE(ENDPOINT_HALT) and GET_STATUS (`data` holds `length`
    // bytes). Returns the number of bytes answered into `data`, or -1 when the
    // key stalls the request, as it stalls any other.
    int controlRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                       uint16_t length, uint8_t* data);

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
    // Well-formed frames other than resync packets.
    size_t numberedRequests() const;
    // The 108-byte record the key answers to GetInfo Status: flags at byte 1,
    // the firmware version at 102 and 103, a fixed pattern elsewhere.
    std::vector<uint8_t> statusRecord() const;
    // The bytes the key fills a payload of `length` with where a fault asks for one.
    static std::vector<uint8_t> filler(size_t length);

private:
    void answer(const ReceivedRequest& request);
    // Queues the answer to `request`: header (magic, the request's sequence
    // byte, `status`, length) and payload, enciphered and flagged when
    // `encrypt` and the key holds keys; then spoils it as a matching fault asks.
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

    std::set<uint8_t> halted;  // endpoint addresses showing a halt
    std::deque<std::vector<uint8_t>> responses;
    size_t exchangeAnswers = 0;
};

}  // namespace korvene::testing
