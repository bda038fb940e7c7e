// The core of the virtual key: frame parsing, the request log, the dispatch,
// the GetInfo answers, the class reset with its endpoint halts, and the faults
// it can put into an answer.
#include "tests/doubles/virtual_key/virtual_key.h"

#include <algorithm>

#include "device/session/device_status.h"
#include "device/session/frame.h"
#include "device/session/payload_cipher.h"
#include "tests/doubles/usb_requests.h"
#include "tests/doubles/virtual_key/wire_status.h"

namespace korvene::testing {
namespace {

bool contains(const std::vector<uint8_t>& list, uint8_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

ReceivedRequest parse(const uint8_t* data, size_t length) {
    ReceivedRequest request;
    request.frame.assign(data, data + length);
    if (length < kFrameHeaderSize) return request;
    request.sequence = data[4];
    request.code = data[5];
    request.command = static_cast<uint8_t>(data[5] & kFrameCodeMask);
    request.encrypted = (data[5] & FrameFlags::Encrypted) != 0;
    request.resync = (data[5] & FrameFlags::Resync) != 0;
    request.length = static_cast<uint16_t>(data[6] | (data[7] << 8));
    request.payload.assign(data + kFrameHeaderSize, data + length);
    request.wellFormed = std::equal(std::begin(kFrameMagic), std::end(kFrameMagic), data) &&
                         request.payload.size() == request.length;
    return request;
}

bool isNumbered(const ReceivedRequest& request) { return request.wellFormed && !request.resync; }

}  // namespace

VirtualKey::VirtualKey() = default;

// ---- control requests ----

bool VirtualKey::classReset() {
    ++classResetRequests;
    if (knobs.classResetFails) return false;
    halted.clear();
    for (const auto* list : {&state.outEndpoints, &state.inEndpoints}) {
        for (uint8_t address : *list) {
            if (!contains(knobs.neverHalts, address)) halted.insert(address);
        }
    }
    responses.clear();
    state.keys.reset();
    return true;
}

bool VirtualKey::endpointHalted(uint8_t address) {
    ++haltQueries[address];
    return halted.count(address) != 0;
}

bool VirtualKey::clearHalt(uint8_t address) {
    ++clearHaltRequests[address];
    if (contains(knobs.clearHaltFails, address)) return false;
    if (!contains(knobs.haltPersists, address)) halted.erase(address);
    return true;
}

bool VirtualKey::hasEndpoint(uint8_t address) const {
    return contains(state.outEndpoints, address) || contains(state.inEndpoints, address);
}

int VirtualKey::controlRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                               uint16_t length, uint8_t* data) {
    constexpr int kStall = -1;

    const uint8_t address = static_cast<uint8_t>(index);
    if (requestType == usb::ClassInterfaceOut && request == usb::ClassReset && value == 0 &&
        index == kVirtualInterfaceNumber && length == 0) {
        return classReset() ? 0 : kStall;
    }
    if (requestType == usb::StandardEndpointOut && request == usb::ClearFeature && value == usb::EndpointHaltFeature &&
        length == 0) {
        return hasEndpoint(address) && clearHalt(address) ? 0 : kStall;
    }
    if (request == usb::GetStatus && length == 2 && data != nullptr) {
        if (requestType == usb::StandardEndpointIn) {
            if (!hasEndpoint(address)) return kStall;
            data[0] = endpointHalted(address) ? usb::EndpointHalted : 0;
            data[1] = 0;
            return 2;
        }
        if (requestType == usb::StandardDeviceIn || requestType == usb::StandardInterfaceIn) {
            data[0] = 0;
            data[1] = 0;
            return 2;
        }
    }
    return kStall;  // the key stalls every other request
}

std::string commandName(uint8_t command) {
    switch (static_cast<CommandCode>(command)) {
        case CommandCode::GetInfo: return "GetInfo";
        case CommandCode::KeyExchange: return "KeyExchange";
        case CommandCode::SetupUpdate: return "SetupUpdate";
        case CommandCode::FinishUpdate: return "FinishUpdate";
        case CommandCode::CancelUpdate: return "CancelUpdate";
        case CommandCode::WriteFirmware: return "WriteFirmware";
        case CommandCode::GetFirmwareHash: return "GetFirmwareHash";
        case CommandCode::DeployFirmware: return "DeployFirmware";
    }
    return "Command" + std::to_string(command);
}

// ---- bulk transfers ----

void VirtualKey::receive(const uint8_t* data, size_t length) {
    if (length == 0) {
        ++zeroLengthOutTransfers;
        return;
    }
    ReceivedRequest request = parse(data, length);
    if (request.encrypted && state.keys && !request.payload.empty()) {
        request.plain.resize(request.payload.size());
        ctrDecrypt(&*state.keys, request.payload.data(), request.plain.data(), request.plain.size());
    } else {
        request.plain = request.payload;
    }
    requests.push_back(std::move(request));
    const ReceivedRequest& received = requests.back();
    if (!received.wellFormed) return;  // the key cannot tell what to answer
    answer(received);
}

std::vector<uint8_t> VirtualKey::takeResponse() {
    if (responses.empty()) return {};
    std::vector<uint8_t> response = std::move(responses.front());
    responses.pop_front();
    return response;
}

bool VirtualKey::disconnected() const {
    return knobs.disconnectAfterRequests >= 0 &&
           numberedRequests() >= static_cast<size_t>(knobs.disconnectAfterRequests);
}

// ---- dispatch ----

void VirtualKey::answer(const ReceivedRequest& request) {
    if (knobs.silentAfterRequests >= 0 &&
        numberedRequests() >= static_cast<size_t>(knobs.silentAfterRequests) + (request.resync ? 0 : 1)) {
        return;
    }
    if (request.resync) {
        // The resync packet is answered with its own header.
        responses.push_back(request.frame);
        return;
    }
    const ResponseFault* fault = faultFor(request);
    if (fault != nullptr && fault->kind == ResponseFault::Kind::NoAnswer) return;
    if (fault != nullptr && fault->kind == ResponseFault::Kind::WireStatus) {
        queue(request, fault->wireStatus, filler(fault->payloadLength), false);
        return;
    }
    if (request.encrypted && !state.keys) {
        queue(request, wire::NoEstablishedKey, {}, false);
        return;
    }
    switch (static_cast<CommandCode>(request.command)) {
        case CommandCode::GetInfo: handleGetInfo(request); break;
        case CommandCode::KeyExchange: handleKeyExchange(request); break;
        case CommandCode::SetupUpdate: handleSetupUpdate(request); break;
        case CommandCode::FinishUpdate: handleFinishUpdate(request); break;
        case CommandCode::CancelUpdate: handleCancelUpdate(request); break;
        case CommandCode::WriteFirmware: handleWriteFirmware(request); break;
        case CommandCode::GetFirmwareHash: handleGetFirmwareHash(request); break;
        case CommandCode::DeployFirmware: handleDeployFirmware(request); break;
        default: queue(request, wire::InvalidCommand, {}, false); break;
    }
}

const ResponseFault* VirtualKey::faultFor(const ReceivedRequest& request) const {
    for (const ResponseFault& fault : knobs.faults) {
        if (fault.command >= 0 && fault.command != request.command) continue;
        if (fault.occurrence > 0) {
            // `request` is already in the log, so the count includes it.
            const size_t seen = fault.command >= 0 ? countRequests(request.command) : numberedRequests();
            if (seen != static_cast<size_t>(fault.occurrence)) continue;
        }
        return &fault;
    }
    return nullptr;
}

void VirtualKey::queue(const ReceivedRequest& request, uint8_t status, const std::vector<uint8_t>& payload,
                       bool encrypt) {
    const ResponseFault* fault = faultFor(request);
    const ResponseFault::Kind kind = fault != nullptr ? fault->kind : ResponseFault::Kind::WireStatus;
    const bool spoiled = fault != nullptr && kind != ResponseFault::Kind::WireStatus;

    std::vector<uint8_t> body = payload;
    if (spoiled && kind == ResponseFault::Kind::PayloadLength) {
        status = wire::Success;
        body = filler(fault->payloadLength);
    }
    if (spoiled && kind == ResponseFault::Kind::ShortPayload && fault->wireStatus != 0) status = fault->wireStatus;
    if (spoiled && kind == ResponseFault::Kind::EncryptedFlag) encrypt = true;
    const bool enciphered = encrypt && state.keys.has_value();
    if (enciphered && !body.empty()) ctrCrypt(&*state.keys, body.data(), body.data(), body.size());

    uint8_t code = static_cast<uint8_t>(status & kFrameCodeMask);
    // The flag marks an enciphered payload; the EncryptedFlag fault sets it even
    // when the key has nothing to encipher with.
    if (enciphered || (spoiled && kind == ResponseFault::Kind::EncryptedFlag)) code |= FrameFlags::Encrypted;

    size_t announced = body.size();
    if (spoiled && kind == ResponseFault::Kind::ShortPayload) {
        if (body.empty()) body = filler(1);
        announced = body.size();
        body.pop_back();
    }

    std::vector<uint8_t> frame(std::begin(kFrameMagic), std::end(kFrameMagic));
    frame.push_back(request.sequence);
    frame.push_back(code);
    frame.push_back(static_cast<uint8_t>(announced & 0xFF));
    frame.push_back(static_cast<uint8_t>((announced >> 8) & 0xFF));
    frame.insert(frame.end(), body.begin(), body.end());

    if (spoiled) {
        switch (kind) {
            case ResponseFault::Kind::WrongMagic: frame.at(fault->magicByte) ^= 0x20; break;
            case ResponseFault::Kind::StaleSequence: frame[4] = static_cast<uint8_t>(request.sequence - 1); break;
            case ResponseFault::Kind::ShortHeader: frame.resize(kFrameHeaderSize - 1); break;
            default: break;
        }
    }
    responses.push_back(std::move(frame));
}

// ---- GetInfo ----

void VirtualKey::handleGetInfo(const ReceivedRequest& request) {
    if (request.plain.size() != 4) {
        queue(request, wire::BadParameter, {}, false);
        return;
    }
    const uint32_t id = static_cast<uint32_t>(request.plain[0]) | static_cast<uint32_t>(request.plain[1]) << 8 |
                        static_cast<uint32_t>(request.plain[2]) << 16 |
                        static_cast<uint32_t>(request.plain[3]) << 24;
    switch (static_cast<InfoId>(id)) {
        case InfoId::ReadyState: {
            const uint32_t ready = state.readyState;
            queue(request, wire::Success,
                  {static_cast<uint8_t>(ready), static_cast<uint8_t>(ready >> 8), static_cast<uint8_t>(ready >> 16),
                   static_cast<uint8_t>(ready >> 24)},
                  request.encrypted);
            break;
        }
        case InfoId::Status: queue(request, wire::Success, statusRecord(), request.encrypted); break;
        default: queue(request, wire::BadParameter, {}, false); break;
    }
}

// ---- assertion helpers ----

size_t VirtualKey::countRequests(uint8_t command) const {
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [command](const ReceivedRequest& r) {
        return isNumbered(r) && r.command == command;
    }));
}

const ReceivedRequest* VirtualKey::lastRequest(uint8_t command) const {
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
        if (isNumbered(*it) && it->command == command) return &*it;
    }
    return nullptr;
}

size_t VirtualKey::numberedRequests() const {
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), isNumbered));
}

std::vector<uint8_t> VirtualKey::statusRecord() const {
    std::vector<uint8_t> record(kStatusRecordSize);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(0x30 + i);
    record[1] = static_cast<uint8_t>((state.soPinSet ? DeviceStatusFlags::SoPinSet : 0) |
                                     (state.soPinLocked ? DeviceStatusFlags::SoPinLocked : 0));
    record[102] = state.firmwareMajor;
    record[103] = state.firmwareMinor;
    return record;
}

std::vector<uint8_t> VirtualKey::filler(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    return bytes;
}

}  // namespace korvene::testing
