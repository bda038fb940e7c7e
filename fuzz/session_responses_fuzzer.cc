// The whole host side of an update against a key that answers from the
// fuzzer's script: KeySession::create through an enumerator double,
// initialize, getDeviceStatus, establishSecureMessaging, and installFirmware
// with the embedded pack, then the cancel request after a failed installation,
// as the update flow sends it.
//
// Input: the SO PIN, the clock and the kernel release, then every decision of
// the key in the order the host's requests meet them (fuzz/scripted_key_*.h).
// An empty input is a healthy key and a successful update.
//
// Invariants, besides no read or write beyond a buffer and no leak:
// - a step that reports Success saw no failed or short transfer, and every
//   answer it read was well framed (magic, its request's sequence byte, wire
//   status 0, exactly the announced payload); so every failure is non-Success;
// - every StatusCode is a named one;
// - a Success of getDeviceStatus hands out the record the key sent; a Success
//   of the key exchange leaves the session secure, anything else not;
// - installFirmware is true only when the key's digest answer was exactly the
//   32 right bytes, and then the key received the setup request and the whole
//   payload, in order, enciphered under the keys of the last key exchange.
#include <crypto++/asn.h>
#include <crypto++/eccrypto.h>
#include <crypto++/integer.h>
#include <crypto++/oids.h>
#include <crypto++/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/session/device_status.h"
#include "device/session/frame.h"
#include "device/session/key_session.h"
#include "device/session/status_code.h"
#include "fuzz/fuzz_script.h"
#include "fuzz/harness_support.h"
#include "fuzz/scripted_key_device.h"
#include "fuzz/scripted_key_enumerator.h"
#include "fuzz/stepping_clock.h"
#include "tests/doubles/little_endian.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"
#include "tool/trace.h"

namespace {

using korvene::CommandCode;
using korvene::DeviceStatus;
using korvene::KeySession;
using korvene::StatusCode;
using korvene::testing::commandOf;
using korvene::testing::FuzzScript;
using korvene::testing::littleEndian32;
using korvene::testing::ScriptedExchange;
using korvene::testing::ScriptedKeyDevice;
using korvene::testing::ScriptedKeyEnumerator;
using korvene::testing::ScriptedKeyIdentity;
using korvene::testing::SteppingClock;

constexpr size_t kHeader = korvene::kFrameHeaderSize;

ScriptedKeyIdentity identity;

// The uncompressed point of a fixed P-256 scalar.
std::vector<uint8_t> publicPoint(const std::vector<uint8_t>& scalar) {
    const CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP> group(CryptoPP::ASN1::secp256r1());
    const CryptoPP::ECP::Point point =
        group.ExponentiateBase(CryptoPP::Integer(scalar.data(), scalar.size()));
    std::vector<uint8_t> encoded(65, 0x04);
    point.x.Encode(encoded.data() + 1, 32);
    point.y.Encode(encoded.data() + 33, 32);
    return encoded;
}

void makeIdentity() {
    std::vector<uint8_t> hostScalar(32);
    std::vector<uint8_t> deviceScalar(32);
    for (size_t i = 0; i < 32; ++i) {
        hostScalar[i] = static_cast<uint8_t>(i + 1);
        deviceScalar[i] = static_cast<uint8_t>(0x40 - i);
    }
    identity.hostPrivateKey = hostScalar;
    identity.hostPublicKey = publicPoint(hostScalar);
    const std::vector<uint8_t> devicePoint = publicPoint(deviceScalar);
    identity.devicePublicKey.assign(devicePoint.begin() + 1, devicePoint.end());

    const korvene::FirmwarePackHeader* pack = korvene::embeddedPackHeader();
    CryptoPP::SHA256().CalculateDigest(identity.firmwareDigest.data(), korvene::kFirmwarePack + pack->headerSize,
                                       pack->payloadSize);
}

// Where a step began in the key's transcript.
struct Mark {
    size_t exchanges;
    size_t faults;
};

Mark markOf(const ScriptedKeyDevice& key) { return {key.exchanges().size(), key.transferFaults()}; }

bool wellFramed(const ScriptedExchange& exchange) {
    const std::vector<uint8_t>& answer = exchange.delivered;
    if (answer.size() < kHeader || exchange.frame.size() < kHeader) return false;
    const size_t announced = static_cast<size_t>(answer[6] | (answer[7] << 8));
    return std::memcmp(answer.data(), korvene::kFrameMagic, 4) == 0 && answer[4] == exchange.frame[4] &&
           (answer[5] & korvene::kFrameCodeMask) == 0 && answer.size() == kHeader + announced;
}

// A step that reported Success: no transfer failed or came short, and every
// answer it read was well framed.
void checkCleanSince(const ScriptedKeyDevice& key, const Mark& mark) {
    KORVENE_FUZZ_CHECK(key.transferFaults() == mark.faults);
    for (size_t i = mark.exchanges; i < key.exchanges().size(); ++i) {
        const ScriptedExchange& exchange = key.exchanges()[i];
        if (!exchange.delivered.empty()) KORVENE_FUZZ_CHECK(wellFramed(exchange));
    }
}

void checkNamed(StatusCode status) {
    KORVENE_FUZZ_CHECK(static_cast<uint32_t>(status) <= static_cast<uint32_t>(StatusCode::PinLocked));
    KORVENE_FUZZ_CHECK(std::strcmp(korvene::statusName(status), "Unknown status") != 0);
}

void checkInitialized(ScriptedKeyDevice& key) {
    KORVENE_FUZZ_CHECK(key.classResets() > 0);
    // The ready query came last and its answer said 1.
    KORVENE_FUZZ_CHECK(!key.exchanges().empty());
    const size_t last = key.exchanges().size() - 1;
    const ScriptedExchange& ready = key.exchanges()[last];
    KORVENE_FUZZ_CHECK(commandOf(ready.frame) == static_cast<uint8_t>(CommandCode::GetInfo) && wellFramed(ready));
    const std::vector<uint8_t> answer = key.plainPayload(ready.delivered, last);
    KORVENE_FUZZ_CHECK(answer.size() == 4 && littleEndian32(answer.data()) == 1);
}

void checkStatusRecord(ScriptedKeyDevice& key, const DeviceStatus& status) {
    const size_t last = key.exchanges().size() - 1;
    const std::vector<uint8_t> record = key.plainPayload(key.exchanges()[last].delivered, last);
    KORVENE_FUZZ_CHECK(record.size() == sizeof(DeviceStatus));
    KORVENE_FUZZ_CHECK(std::memcmp(record.data(), &status, sizeof(DeviceStatus)) == 0);
}

// installFirmware said true: the requests of a whole installation, the digest
// answer exactly right, and the key holding the setup request and the payload.
void checkInstalled(ScriptedKeyDevice& key, const Mark& mark, const std::string& soPin) {
    checkCleanSince(key, mark);
    const std::vector<ScriptedExchange>& log = key.exchanges();
    const korvene::FirmwarePackHeader* pack = korvene::embeddedPackHeader();
    const size_t chunks = korvene::testing::embeddedChunkCount();

    size_t i = mark.exchanges;
    KORVENE_FUZZ_CHECK(i < log.size() && commandOf(log[i].frame) == static_cast<uint8_t>(CommandCode::KeyExchange));
    while (i < log.size() && commandOf(log[i].frame) == static_cast<uint8_t>(CommandCode::KeyExchange)) ++i;
    KORVENE_FUZZ_CHECK(log.size() == i + 1 + chunks + 3);

    const std::vector<uint8_t> setup = key.plainPayload(log[i].frame, i);
    KORVENE_FUZZ_CHECK(commandOf(log[i].frame) == static_cast<uint8_t>(CommandCode::SetupUpdate));
    KORVENE_FUZZ_CHECK(setup.size() == 12 + soPin.size());
    KORVENE_FUZZ_CHECK(littleEndian32(setup.data()) == pack->setupValue1);
    KORVENE_FUZZ_CHECK(littleEndian32(setup.data() + 4) == pack->setupValue2);
    KORVENE_FUZZ_CHECK(littleEndian32(setup.data() + 8) == pack->payloadSize);
    KORVENE_FUZZ_CHECK(soPin.empty() || std::memcmp(setup.data() + 12, soPin.data(), soPin.size()) == 0);
    ++i;

    std::vector<uint8_t> firmware;
    for (size_t chunk = 0; chunk < chunks; ++chunk, ++i) {
        KORVENE_FUZZ_CHECK(commandOf(log[i].frame) == static_cast<uint8_t>(CommandCode::WriteFirmware));
        KORVENE_FUZZ_CHECK((log[i].frame[5] & korvene::FrameFlags::Encrypted) != 0);
        const std::vector<uint8_t> plain = key.plainPayload(log[i].frame, i);
        firmware.insert(firmware.end(), plain.begin(), plain.end());
    }
    const uint8_t* payload = korvene::kFirmwarePack + pack->headerSize;
    KORVENE_FUZZ_CHECK(firmware.size() == pack->payloadSize);
    KORVENE_FUZZ_CHECK(std::memcmp(firmware.data(), payload, firmware.size()) == 0);

    // The digest answer: 32 bytes that are the payload's SHA-256 as the host
    // reads them, deciphered when flagged.
    KORVENE_FUZZ_CHECK(commandOf(log[i].frame) == static_cast<uint8_t>(CommandCode::GetFirmwareHash));
    KORVENE_FUZZ_CHECK(log[i].delivered.size() == kHeader + 32);
    const std::vector<uint8_t> digest = key.plainPayload(log[i].delivered, i);
    KORVENE_FUZZ_CHECK(digest.size() == 32);
    KORVENE_FUZZ_CHECK(std::memcmp(digest.data(), identity.firmwareDigest.data(), 32) == 0);
    KORVENE_FUZZ_CHECK(commandOf(log[i + 1].frame) == static_cast<uint8_t>(CommandCode::DeployFirmware));
    KORVENE_FUZZ_CHECK(commandOf(log[i + 2].frame) == static_cast<uint8_t>(CommandCode::FinishUpdate));
}

// Up to 257 bytes: 256 is the longest the setup request takes.
std::string chooseSoPin(FuzzScript& script) {
    size_t length = script.byte();
    if (script.byte() % 2 == 1) length += 2;
    const std::vector<uint8_t> bytes = script.bytes(length);
    return std::string(bytes.begin(), bytes.end());
}

// `healthy`: the script is empty, so the key does everything right and every
// step must succeed.
void runHostSide(FuzzScript& script, bool healthy) {
    const std::string soPin = chooseSoPin(script);
    SteppingClock clock(script);
    ScriptedKeyEnumerator enumerator(script, identity);
    enumerator.scan();

    std::unique_ptr<KeySession> session = KeySession::create(enumerator, 0);
    ScriptedKeyDevice* key = enumerator.opened;
    KORVENE_FUZZ_CHECK((session != nullptr) == (key != nullptr));
    KORVENE_FUZZ_CHECK(session != nullptr || !healthy);
    if (!session) return;
    KORVENE_FUZZ_CHECK(session->usbDevice() == key);
    session->setPlatform(&clock);
    session->setKeyPairGenerator([](std::vector<uint8_t>& privateKey, std::vector<uint8_t>& publicKey) {
        privateKey = identity.hostPrivateKey;
        publicKey = identity.hostPublicKey;
    });

    // The start-up goes no further when any of these fails, nor does this run.
    if (!session->initialize()) {
        KORVENE_FUZZ_CHECK(!healthy);
        session->close();
        return;
    }
    checkInitialized(*key);

    Mark mark = markOf(*key);
    DeviceStatus status{};
    StatusCode result = session->getDeviceStatus(&status);
    checkNamed(result);
    if (result != StatusCode::Success) {
        KORVENE_FUZZ_CHECK(!healthy);
        session->close();
        return;
    }
    checkCleanSince(*key, mark);
    checkStatusRecord(*key, status);

    mark = markOf(*key);
    result = session->establishSecureMessaging();
    checkNamed(result);
    KORVENE_FUZZ_CHECK(session->isSecure() == (result == StatusCode::Success));
    KORVENE_FUZZ_CHECK(result == StatusCode::Success || !healthy);
    if (result == StatusCode::Success) checkCleanSince(*key, mark);

    // The installation makes its own key exchange.
    mark = markOf(*key);
    if (korvene::installFirmware(*session, korvene::embeddedPackHeader(), soPin)) {
        checkInstalled(*key, mark, soPin);
    } else {
        KORVENE_FUZZ_CHECK(!healthy);
        mark = markOf(*key);
        result = session->transact(CommandCode::CancelUpdate, false, 0);
        checkNamed(result);
        if (result == StatusCode::Success) checkCleanSince(*key, mark);
    }
    session->close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    korvene::testing::silenceStandardOutput();
    // Verbose, so that every message and the digest dump are formatted.
    korvene::traceInit(korvene::TraceLevel::Verbose);
    makeIdentity();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzScript script(data, size);
    runHostSide(script, size == 0);
    return 0;
}
