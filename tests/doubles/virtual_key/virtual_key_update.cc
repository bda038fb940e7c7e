// The key's side of the firmware update: SetupUpdate with its SO PIN check and
// try counter, the WriteFirmware chunks reassembled in order, the key's own
// SHA-256 of what it received, DeployFirmware, FinishUpdate and CancelUpdate.
// The dispatch has already refused an encrypted request while the key holds no
// keys, so `plain` is the deciphered payload of every encrypted request here.
#include <crypto++/sha.h>

#include "tests/doubles/little_endian.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/wire_status.h"

namespace korvene::testing {
namespace {

constexpr size_t kSetupValuesSize = 12;
constexpr size_t kMaxSoPin = 256;

// The wire status that refuses an update request arriving plain (the update
// travels only enciphered) or, when `needsSetup`, before a successful setup; 0
// when the request may go on.
uint8_t updateRefusal(const ReceivedRequest& request, const VirtualKeyState& state, bool needsSetup) {
    if (!request.encrypted) return wire::NonsecureTransactionProhibited;
    if (needsSetup && !state.setupDone) return wire::OperationDenied;
    return wire::Success;
}

}  // namespace

void VirtualKey::handleSetupUpdate(const ReceivedRequest& request) {
    if (const uint8_t refusal = updateRefusal(request, state, false)) {
        queue(request, refusal, {}, false);
        return;
    }
    const std::vector<uint8_t>& plain = request.plain;
    if (plain.size() < kSetupValuesSize || plain.size() > kSetupValuesSize + kMaxSoPin) {
        queue(request, wire::BadParameter, {}, false);
        return;
    }
    if (state.soPinSet) {
        if (state.soPinLocked || state.soPinTriesLeft <= 0) {
            state.soPinLocked = true;
            queue(request, wire::PinLocked, {}, false);
            return;
        }
        const std::string pin(plain.begin() + kSetupValuesSize, plain.end());
        if (pin != state.soPin) {
            --state.soPinTriesLeft;
            if (state.soPinTriesLeft <= 0) state.soPinLocked = true;
            queue(request, wire::IncorrectPin, {}, false);
            return;
        }
    }
    state.setupValue1 = littleEndian32(plain.data());
    state.setupValue2 = littleEndian32(plain.data() + 4);
    state.expectedSize = littleEndian32(plain.data() + 8);
    state.setupDone = true;
    state.firmware.clear();
    state.deployed = false;
    state.finished = false;
    queue(request, wire::Success, {}, false);
}

void VirtualKey::handleWriteFirmware(const ReceivedRequest& request) {
    if (const uint8_t refusal = updateRefusal(request, state, true)) {
        queue(request, refusal, {}, false);
        return;
    }
    if (request.plain.empty()) {
        queue(request, wire::BadParameter, {}, false);
        return;
    }
    if (state.firmware.size() + request.plain.size() > state.expectedSize) {
        queue(request, wire::TooLargeData, {}, false);
        return;
    }
    state.firmware.insert(state.firmware.end(), request.plain.begin(), request.plain.end());
    queue(request, wire::Success, {}, false);
}

void VirtualKey::handleGetFirmwareHash(const ReceivedRequest& request) {
    // The digest is answered enciphered, so the request must come in secure.
    if (const uint8_t refusal = updateRefusal(request, state, true)) {
        queue(request, refusal, {}, false);
        return;
    }
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), state.firmware.data(), state.firmware.size());
    if (knobs.wrongDigest) digest.at(knobs.wrongDigestByte) ^= 0x01;
    const std::vector<uint8_t> extra = filler(knobs.extraDigestBytes);
    digest.insert(digest.end(), extra.begin(), extra.end());
    queue(request, wire::Success, digest, true);
}

void VirtualKey::handleDeployFirmware(const ReceivedRequest& request) {
    if (!state.setupDone) {
        queue(request, wire::OperationDenied, {}, false);
        return;
    }
    if (state.firmware.size() != state.expectedSize) {
        queue(request, wire::BadParameter, {}, false);
        return;
    }
    state.deployed = true;
    queue(request, wire::Success, {}, false);
}

// The key restarts into the new firmware: it answers nothing.
void VirtualKey::handleFinishUpdate(const ReceivedRequest&) {
    if (state.deployed) state.finished = true;
}

void VirtualKey::handleCancelUpdate(const ReceivedRequest& request) {
    state.canceled = true;
    state.setupDone = false;
    state.deployed = false;
    queue(request, wire::Success, {}, false);
}

}  // namespace korvene::testing
