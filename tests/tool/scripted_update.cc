#include "tests/tool/scripted_update.h"

#include <crypto++/aes.h>
#include <crypto++/modes.h>
#include <crypto++/sha.h>

#include <algorithm>
#include <utility>

#include "device/session/frame.h"
#include "device/usb/kv_usb_enumerator.h"
#include "device/usb/libusb_device.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/vector_file.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene::testing {
namespace {

constexpr uint8_t kKeyIn = 0x81;
constexpr size_t kPacket = 64;

// Lists the stand-in key and opens it as a LibUsbDevice, wrapped on request.
class StandinKeyEnumerator final : public KvUsbEnumerator {
public:
    StandinKeyEnumerator(int key, ScriptedUpdate::DeviceWrapper wrap) : key(key), wrap(std::move(wrap)) {}

    bool scan() override { return true; }
    bool isEmpty() const override { return false; }
    size_t count() const override { return 1; }
    KvUsbDevice* openDevice(size_t index) override {
        KvUsbDevice* device = nullptr;
        openDeviceWithStatus(index, &device);
        return device;
    }
    UsbOpenResult openDeviceWithStatus(size_t index, KvUsbDevice** out) override {
        *out = nullptr;
        if (index != 0) return UsbOpenResult::Failed;
        auto opened = std::make_unique<LibUsbDevice>();
        const UsbOpenResult result = opened->openWithStatus(LibUsbStandin::instance().device(key), 0);
        if (result != UsbOpenResult::Ok) return result;
        std::unique_ptr<KvUsbDevice> device = std::move(opened);
        if (wrap) device = wrap(std::move(device));
        *out = device.release();
        return UsbOpenResult::Ok;
    }

private:
    int key;
    ScriptedUpdate::DeviceWrapper wrap;
};

}  // namespace

std::vector<uint8_t> answerFrame(size_t sequence, uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes(std::begin(kFrameMagic), std::end(kFrameMagic));
    bytes.push_back(static_cast<uint8_t>(sequence));
    bytes.push_back(code);
    bytes.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    bytes.push_back(static_cast<uint8_t>(payload.size() >> 8));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

void queueAnswer(int key, const std::vector<uint8_t>& answer) {
    LibUsbStandin& usb = LibUsbStandin::instance();
    for (size_t offset = 0; offset < answer.size(); offset += kPacket) {
        const size_t end = std::min(answer.size(), offset + kPacket);
        usb.queueInPacket(key, kKeyIn, std::vector<uint8_t>(answer.data() + offset, answer.data() + end));
    }
    if (answer.size() % kPacket == 0) usb.queueInPacket(key, kKeyIn, {});
}

namespace {

// The key's answer to GetFirmwareHash: SHA-256 of the payload, enciphered
// under the session's keys and flagged encrypted.
std::vector<uint8_t> encryptedDigest(const VectorCase& vectors, const uint8_t* payload, size_t size) {
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), payload, size);
    const std::vector<uint8_t> key = fromHex(vectors.at("SessionKeys.cipherKey"));
    const std::vector<uint8_t> counter = fromHex(vectors.at("SessionKeys.initialCounter"));
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher(key.data(), key.size(), counter.data());
    cipher.ProcessData(digest.data(), digest.data(), digest.size());
    return digest;
}

}  // namespace

ScriptedUpdate::ScriptedUpdate(const std::string& soPin, DeviceWrapper wrap) : pin(soPin) {
    LibUsbStandin& usb = LibUsbStandin::instance();
    usb.reset();
    key = usb.addDevice(keyDeviceSpec());

    const std::vector<VectorCase> sessions = loadVectorFile("protocol_sessions.txt");
    if (sessions.empty()) return;
    const VectorCase& vectors = sessions.front();

    const FirmwarePackHeader* pack = embeddedPackHeader();
    const uint8_t* payload = kFirmwarePack + pack->headerSize;

    // The answers, in the order of the requests; a fresh session numbers its
    // first request 1.
    std::vector<std::vector<uint8_t>> answers;
    auto add = [&](const char* command, size_t requestPayload, std::vector<uint8_t> answer) {
        script.push_back({command, kFrameHeaderSize + requestPayload, answer.size()});
        answers.push_back(std::move(answer));
    };
    auto plainSuccess = [&] { return answerFrame(script.size() + 1, 0, {}); };
    add("KeyExchange", 73, answerFrame(1, 0, fromHex(vectors.at("KeyExchangeResponse"))));
    add("SetupUpdate", 12 + pin.size(), plainSuccess());
    for (size_t offset = 0; offset < pack->payloadSize; offset += kFirmwareChunkSize) {
        add("WriteFirmware", std::min<size_t>(kFirmwareChunkSize, pack->payloadSize - offset), plainSuccess());
    }
    add("GetFirmwareHash", 0,
        answerFrame(script.size() + 1, FrameFlags::Encrypted, encryptedDigest(vectors, payload, pack->payloadSize)));
    add("DeployFirmware", 0, plainSuccess());
    add("FinishUpdate", 0, {});
    for (const std::vector<uint8_t>& answer : answers) {
        if (!answer.empty()) queueAnswer(key, answer);
    }

    StandinKeyEnumerator enumerator(key, std::move(wrap));
    session = KeySession::create(enumerator, 0);
    if (!session) return;
    const std::vector<uint8_t> hostPrivate = fromHex(vectors.at("hostPrivateKey"));
    const std::vector<uint8_t> hostPublic = fromHex(vectors.at("hostPublicPoint"));
    session->setKeyPairGenerator([hostPrivate, hostPublic](std::vector<uint8_t>& privateKey,
                                                           std::vector<uint8_t>& publicKey) {
        privateKey = hostPrivate;
        publicKey = hostPublic;
    });
}

ScriptedUpdate::~ScriptedUpdate() {
    if (session) session->close();
}

bool ScriptedUpdate::install() {
    if (!session) return false;
    StdoutCapture capture;
    const bool installed = installFirmware(*session, embeddedPackHeader(), pin);
    capture.take();
    return installed;
}

}  // namespace korvene::testing
