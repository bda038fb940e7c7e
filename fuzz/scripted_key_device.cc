#include "fuzz/scripted_key_device.h"

#include <algorithm>
#include <cstring>

#include "device/session/device_status.h"
#include "device/session/frame.h"
#include "device/session/key_derivation.h"
#include "device/session/payload_cipher.h"
#include "tests/doubles/little_endian.h"

namespace korvene::testing {
namespace {

constexpr size_t kKeyExchangeFrameSize = kFrameHeaderSize + sizeof(KeyExchangeRequest);
constexpr size_t kKeyExchangeAnswerSize = kFrameHeaderSize + sizeof(KeyExchangeResponse);

}  // namespace

uint8_t commandOf(const std::vector<uint8_t>& frame) {
    return frame.size() > 5 ? static_cast<uint8_t>(frame[5] & kFrameCodeMask) : 0;
}

ScriptedKeyDevice::ScriptedKeyDevice(FuzzScript& script, const ScriptedKeyIdentity& identity)
    : script(script), identity(identity) {
    // Zero, the healthy choice: one bulk endpoint each way, as the key has.
    constexpr size_t kCounts[] = {1, 2, 0};
    const uint8_t layout = script.byte();
    for (size_t i = 0; i < kCounts[layout % 3]; ++i) outAddresses.push_back(static_cast<uint8_t>(0x01 + i));
    for (size_t i = 0; i < kCounts[(layout / 3) % 3]; ++i) inAddresses.push_back(static_cast<uint8_t>(0x81 + i));
}

bool ScriptedKeyDevice::hasEndpoint(uint8_t address) const {
    return std::count(outAddresses.begin(), outAddresses.end(), address) +
               std::count(inAddresses.begin(), inAddresses.end(), address) >
           0;
}

bool ScriptedKeyDevice::fault() {
    ++faults;
    return false;
}

void ScriptedKeyDevice::close() {
    opened = false;
    outAddresses.clear();
    inAddresses.clear();
    input.clear();
}

bool ScriptedKeyDevice::hostKeysBefore(size_t before, SessionKeys* keys) {
    size_t exchange = std::min(before, log.size());
    while (exchange > 0 && commandOf(log[exchange - 1].frame) != static_cast<uint8_t>(CommandCode::KeyExchange)) {
        --exchange;
    }
    if (exchange == 0) return false;
    --exchange;
    if (exchange != cachedExchange) {
        const ScriptedExchange& keyExchange = log[exchange];
        cachedExchange = exchange;
        cachedValid = keyExchange.frame.size() == kKeyExchangeFrameSize &&
                      keyExchange.delivered.size() == kKeyExchangeAnswerSize &&
                      deriveSessionKeys(identity.hostPrivateKey.data(), keyExchange.frame.data() + kFrameHeaderSize,
                                        keyExchange.delivered.data() + kFrameHeaderSize, &cachedKeys);
    }
    if (cachedValid) *keys = cachedKeys;
    return cachedValid;
}

std::vector<uint8_t> ScriptedKeyDevice::plainPayload(const std::vector<uint8_t>& frame, size_t before) {
    if (frame.size() <= kFrameHeaderSize) return {};
    std::vector<uint8_t> payload(frame.begin() + kFrameHeaderSize, frame.end());
    SessionKeys keys{};
    if ((frame[5] & FrameFlags::Encrypted) != 0 && hostKeysBefore(before, &keys)) {
        ctrDecrypt(&keys, payload.data(), payload.data(), payload.size());
    }
    return payload;
}

// ---- bulk transfers ----

bool ScriptedKeyDevice::bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) {
    if (outIndex >= outAddresses.size() || (data == nullptr && length != 0)) return fault();
    answerPending();
    const uint8_t choice = script.byte() % 8;
    if (choice == 1) return fault();  // lost on the way
    log.push_back({std::vector<uint8_t>(data, data + length), {}});
    // Frames travel on the first OUT endpoint only.
    answerDue = outIndex == 0;
    if (choice == 2) return fault();  // reached the key, reported as failed
    return true;
}

bool ScriptedKeyDevice::bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) {
    if (inIndex >= inAddresses.size() || data == nullptr || length == 0 || received == nullptr) return fault();
    if (inIndex == 0) answerPending();
    const uint8_t choice = script.byte() % 8;
    // Nothing comes: the transfer times out.
    if (inIndex != 0 || input.empty() || choice == 1) return fault();
    if (choice == 2) {
        // The key is reset or gone, and what it had sent with it.
        input.clear();
        return fault();
    }
    size_t count = std::min<size_t>(length, input.size());
    if (choice == 3) count = script.u16() % (count + 1);  // the key's transfer ends early
    const auto end = input.begin() + static_cast<std::ptrdiff_t>(count);
    std::copy(input.begin(), end, data);
    if (!log.empty()) log.back().delivered.insert(log.back().delivered.end(), input.begin(), end);
    input.erase(input.begin(), end);
    *received = static_cast<uint32_t>(count);
    if (count < length) ++faults;
    return true;
}

void ScriptedKeyDevice::answerPending() {
    if (!answerDue) return;
    answerDue = false;
    const std::vector<uint8_t> answer = composeAnswer(log.size() - 1);
    input.insert(input.end(), answer.begin(), answer.end());
}

std::vector<uint8_t> ScriptedKeyDevice::composeAnswer(size_t exchange) {
    const uint8_t choice = script.byte() % 12;
    if (choice == 6) return script.bytes(script.u16() % 512);  // any bytes, header and all
    if (choice == 7) return {};                                 // no answer at all

    const std::vector<uint8_t>& frame = log[exchange].frame;
    std::vector<uint8_t> payload = healthyPayload(exchange);
    uint8_t code = 0;  // wire status 0
    if (choice == 1) code = script.byte();
    if (choice == 9) payload = script.bytes(script.u16() % 300);
    // Answers to enciphered requests travel enciphered; choice 8 turns that round.
    SessionKeys keys{};
    const bool requestEncrypted = frame.size() > 5 && (frame[5] & FrameFlags::Encrypted) != 0;
    const bool encrypt = requestEncrypted != (choice == 8);
    if (encrypt) {
        code |= FrameFlags::Encrypted;
        if (!payload.empty() && hostKeysBefore(exchange, &keys)) {
            ctrCrypt(&keys, payload.data(), payload.data(), payload.size());
        }
    }

    std::vector<uint8_t> answer(std::begin(kFrameMagic), std::end(kFrameMagic));
    answer.push_back(frame.size() > 4 ? frame[4] : 0);
    answer.push_back(code);
    answer.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    answer.push_back(static_cast<uint8_t>(payload.size() >> 8));
    answer.insert(answer.end(), payload.begin(), payload.end());
    switch (choice) {
        case 2: answer[script.u16() % answer.size()] ^= static_cast<uint8_t>(script.byte() | 1); break;
        case 3: answer.resize(script.u16() % answer.size()); break;
        case 4: {
            const std::vector<uint8_t> extra = script.bytes(script.byte());
            answer.insert(answer.end(), extra.begin(), extra.end());
            break;
        }
        case 5: {
            const uint16_t length = script.u16();
            answer[6] = static_cast<uint8_t>(length & 0xFF);
            answer[7] = static_cast<uint8_t>(length >> 8);
            break;
        }
        default: break;
    }
    return answer;
}

std::vector<uint8_t> ScriptedKeyDevice::healthyPayload(size_t exchange) {
    const std::vector<uint8_t>& frame = log[exchange].frame;
    if (frame.size() < kFrameHeaderSize || (frame[5] & FrameFlags::Resync) != 0) return {};
    switch (static_cast<CommandCode>(commandOf(frame))) {
        case CommandCode::GetInfo: {
            const std::vector<uint8_t> request = plainPayload(frame, exchange);
            const uint32_t selector = littleEndian(request.data(), std::min<size_t>(request.size(), 4));
            if (selector == static_cast<uint32_t>(InfoId::ReadyState)) return {1, 0, 0, 0};
            if (selector == static_cast<uint32_t>(InfoId::Status)) return script.bytes(sizeof(DeviceStatus));
            return {};
        }
        case CommandCode::KeyExchange: {
            std::vector<uint8_t> answer = script.bytes(1 + 16 + 16);  // tag, nonce, reserved
            answer.insert(answer.end(), identity.devicePublicKey.begin(), identity.devicePublicKey.end());
            return answer;
        }
        case CommandCode::GetFirmwareHash:
            return std::vector<uint8_t>(identity.firmwareDigest.begin(), identity.firmwareDigest.end());
        default:
            return {};
    }
}

// ---- control transfers and the halt handshake ----

bool ScriptedKeyDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                        uint16_t length, uint8_t* data) {
    if (!opened || (data == nullptr && length != 0)) return false;
    const uint8_t choice = script.byte() % 8;
    bool done = false;
    if (choice == 1) {
        done = false;  // stalled, or failed on the wire
    } else if (choice == 2) {
        // Answered with any bytes, and nothing done.
        if ((requestType & usb::DirectionIn) != 0 && length > 0) script.bytes(data, length);
        done = true;
    } else {
        done = healthyControl(requestType, request, value, index, length, data);
        if (choice == 3) done = false;  // took effect, reported as failed
    }
    if (done && requestType == usb::ClassInterfaceOut && request == usb::ClassReset) ++resets;
    return done;
}

bool ScriptedKeyDevice::healthyControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                       uint16_t length, uint8_t* data) {
    if (requestType == usb::ClassInterfaceOut && request == usb::ClassReset) {
        // Every bulk endpoint halts; what the key had queued is dropped.
        halted.clear();
        halted.insert(outAddresses.begin(), outAddresses.end());
        halted.insert(inAddresses.begin(), inAddresses.end());
        input.clear();
        answerDue = false;
        return true;
    }
    if (requestType == usb::StandardEndpointIn && request == usb::GetStatus && length == 2) {
        if (!hasEndpoint(static_cast<uint8_t>(index))) return false;
        data[0] = halted.count(static_cast<uint8_t>(index)) != 0 ? usb::EndpointHalted : 0;
        data[1] = 0;
        return true;
    }
    if (requestType == usb::StandardEndpointOut && request == usb::ClearFeature && value == usb::EndpointHaltFeature) {
        halted.erase(static_cast<uint8_t>(index));
        return true;
    }
    if ((requestType & usb::DirectionIn) != 0 && length > 0) std::memset(data, 0, length);
    return true;
}

bool ScriptedKeyDevice::clearHalt(uint8_t address) {
    if (!opened) return false;
    switch (script.byte() % 4) {
        case 1: return false;  // the request failed
        case 2: return true;   // accepted, and the halt stays
        default: halted.erase(address); return true;
    }
}

bool ScriptedKeyDevice::discardInput(uint8_t address) {
    if (!inAddresses.empty() && address == inAddresses[0]) input.clear();
    return true;
}

}  // namespace korvene::testing
