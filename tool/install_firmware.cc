// The installation sequence: secure messaging, SetupUpdate, the chunked
// WriteFirmware requests, the digest check, DeployFirmware and FinishUpdate.
// Progress goes straight to standard output and is flushed piece by piece, so
// the dots show while the transfers run; failures go through the trace log on
// the same stream, so a message follows the dots printed so far.
#include "tool/install_firmware.h"

#include <crypto++/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/session/frame.h"
#include "device/session/status_code.h"
#include "device/session/wipe.h"
#include "tool/trace.h"

namespace korvene {
namespace {

void putLittleEndian32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

// A failed write to standard output has nowhere to be reported: the progress
// output ignores the results.
void printProgress(const char* text) {
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
}

void printDot() {
    (void)std::putc('.', stdout);
    (void)std::fflush(stdout);
}

void printDone() {
    (void)std::puts(" done!");
    (void)std::fflush(stdout);
}

// False, after the one message of an interrupted update, when the caller asks
// the installation to stop before its next request.
bool mayGoOn(const InstallationHooks& hooks) {
    if (!hooks.stopRequested || !hooks.stopRequested()) return true;
    traceMessage(TraceLevel::Error, "Update interrupted.\n");
    return false;
}

// Sends SetupUpdate with the pack's values and the PIN. The payload area is
// zero-filled after the exchange whatever its outcome: it holds the enciphered
// PIN, or the plain PIN when the session refused the request before enciphering.
bool sendSetup(KeySession& session, const FirmwarePackHeader* pack, const std::string& soPin,
               const InstallationHooks& hooks) {
    SetupUpdateRequest request;
    request.setupValue1 = pack->setupValue1;
    request.setupValue2 = pack->setupValue2;
    request.payloadSize = pack->payloadSize;
    request.soPin = &soPin;
    const size_t length = request.size();
    if (!mayGoOn(hooks)) return false;

    uint8_t* area = session.payload(length);
    if (area == nullptr) {
        traceMessage(TraceLevel::Error, "Cannot create setup request.\n");
        return false;
    }
    request.writeTo(area);
    const StatusCode status = session.transact(CommandCode::SetupUpdate, true, length);
    // The exchange does not grow the frame buffer, but ask again rather than rely on it.
    wipeBuffer(session.payload(length), length);
    if (hooks.setupWritten) hooks.setupWritten();

    if (status == StatusCode::IncorrectPin) {
        traceMessage(TraceLevel::Error, "Incorrect SO PIN.\n");
        return false;
    }
    if (status != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Setup request failed: %s\n", statusName(status));
        return false;
    }
    return true;
}

bool writePayload(KeySession& session, const uint8_t* payload, uint32_t payloadSize,
                  const InstallationHooks& hooks) {
    printProgress("Writing firmware ");
    for (size_t offset = 0; offset < payloadSize;) {
        if (!mayGoOn(hooks)) return false;
        const size_t length = std::min<size_t>(payloadSize - offset, kFirmwareChunkSize);
        uint8_t* area = session.payload(length);
        if (area == nullptr) {
            traceMessage(TraceLevel::Error, "Cannot create write request.\n");
            return false;
        }
        std::memcpy(area, payload + offset, length);
        const StatusCode status = session.transact(CommandCode::WriteFirmware, true, length);
        if (status != StatusCode::Success) {
            traceMessage(TraceLevel::Error, "Write request failed: %s\n", statusName(status));
            return false;
        }
        printDot();
        offset += length;
    }
    printDone();
    return true;
}

bool verifyDigest(KeySession& session, const uint8_t* payload, uint32_t payloadSize,
                  const InstallationHooks& hooks) {
    printProgress("Verifying firmware ");
    uint8_t localDigest[CryptoPP::SHA256::DIGESTSIZE];
    static_assert(sizeof(localDigest) == kFirmwareDigestSize);
    CryptoPP::SHA256().CalculateDigest(localDigest, payload, payloadSize);
    printDot();

    if (!mayGoOn(hooks)) return false;
    std::vector<uint8_t> received;
    const StatusCode status = session.transact(CommandCode::GetFirmwareHash, true, 0, received);
    if (status != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Failed to get firmware hash: %s\n", statusName(status));
        return false;
    }
    printDot();

    if (received.empty()) {
        traceMessage(TraceLevel::Error, "Empty hash is received.\n");
        return false;
    }
    if (received.size() != kFirmwareDigestSize ||
        std::memcmp(received.data(), localDigest, kFirmwareDigestSize) != 0) {
        // The message has no line end: the received bytes follow it on the same line.
        traceMessage(TraceLevel::Error, "Hash mismatch: ");
        if (traceGetLevel() > static_cast<int>(TraceLevel::None)) traceHexDump(received.data(), received.size());
        if (traceGetLevel() > static_cast<int>(TraceLevel::None)) tracePrint("\n");
        return false;
    }
    printDone();
    traceMessage(TraceLevel::Verbose, "Firmware hash verified.\n");
    return true;
}

// The last chance to stop is before DeployFirmware: once the key deploys, the
// installation runs to its end and its verdict stands.
bool deployAndFinish(KeySession& session, const InstallationHooks& hooks) {
    if (!mayGoOn(hooks)) return false;
    if (hooks.deploying) hooks.deploying();
    if (session.transact(CommandCode::DeployFirmware, false, 0) != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Failed to deploy firmware.\n");
        return false;
    }
    traceMessage(TraceLevel::Verbose, "Firmware has been deployed.\n");
    // Only the write of the frame is judged; the key's answer, if any, is not read.
    if (session.send(CommandCode::FinishUpdate, false, 0) != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Failed to deploy firmware.\n");
        return false;
    }
    return true;
}

}  // namespace

size_t SetupUpdateRequest::size() const { return kSoPinOffset + (soPin != nullptr ? soPin->size() : 0); }

void SetupUpdateRequest::writeTo(uint8_t* area) const {
    putLittleEndian32(area + kSetupValue1Offset, setupValue1);
    putLittleEndian32(area + kSetupValue2Offset, setupValue2);
    putLittleEndian32(area + kPayloadSizeOffset, payloadSize);
    if (soPin != nullptr && !soPin->empty()) std::memcpy(area + kSoPinOffset, soPin->data(), soPin->size());
}

bool installFirmware(KeySession& session, const FirmwarePackHeader* pack, const std::string& soPin,
                     const InstallationHooks& hooks) {
    if (!mayGoOn(hooks)) return false;
    const StatusCode status = session.establishSecureMessaging();
    if (status != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Cannot establish secure messaging: %s\n", statusName(status));
        return false;
    }
    // Checked after the key exchange: a refused PIN still costs the exchange,
    // and nothing else is sent.
    if (soPin.size() > kMaxSoPinLength) {
        traceMessage(TraceLevel::Error, "Too long SO PIN.\n");
        return false;
    }
    if (!sendSetup(session, pack, soPin, hooks)) return false;

    const uint8_t* payload = reinterpret_cast<const uint8_t*>(pack) + pack->headerSize;
    if (!writePayload(session, payload, pack->payloadSize, hooks)) return false;
    if (!verifyDigest(session, payload, pack->payloadSize, hooks)) return false;
    if (!deployAndFinish(session, hooks)) return false;
    (void)std::fflush(stdout);
    return true;
}

}  // namespace korvene
