// KeySession::establishSecureMessaging: one plain KeyExchange request with a
// fresh ephemeral P-256 point, the key's answer, and the session keys derived
// from both. A refused key point starts a new attempt with a new key pair, up to
// kKeyExchangeAttempts in all; every other failure ends the call at once.
#include <crypto++/cryptlib.h>

#include <cstring>
#include <vector>

#include "device/session/ecdh.h"
#include "device/session/key_derivation.h"
#include "device/session/key_session.h"
#include "device/session/wipe.h"

namespace korvene {
namespace {

constexpr int kKeyExchangeAttempts = 10;
constexpr size_t kKeyExchangeFrameSize = kFrameHeaderSize + sizeof(KeyExchangeRequest);

// Zero-fills the ephemeral private key when the call ends, however it ends.
class PrivateKeyWipe {
public:
    explicit PrivateKeyWipe(std::vector<uint8_t>& key) : key(key) {}
    ~PrivateKeyWipe() { wipeBuffer(key.data(), key.size()); }
    PrivateKeyWipe(const PrivateKeyWipe&) = delete;
    PrivateKeyWipe& operator=(const PrivateKeyWipe&) = delete;

private:
    std::vector<uint8_t>& key;
};

}  // namespace

StatusCode KeySession::establishSecureMessaging() {
    // A failed call leaves the session without secure messaging, whatever it had.
    dropSecureMessaging();

    // Installed only on success; released (and zero-filled) on every other way out.
    SessionKeysPtr newKeys(new SessionKeys{});
    std::vector<uint8_t> privateKey;
    std::vector<uint8_t> publicKey;
    const PrivateKeyWipe privateKeyWipe(privateKey);
    // The request as sent, kept apart from the frame buffer for the derivation.
    uint8_t request[sizeof(KeyExchangeRequest)];
    std::vector<uint8_t> response;

    for (int attempt = 0; attempt < kKeyExchangeAttempts; ++attempt) {
        wipeBuffer(privateKey.data(), privateKey.size());
        try {
            keyPairGenerator(privateKey, publicKey);
        } catch (const CryptoPP::Exception&) {
            // The random source could not be opened or read: no key pair, no
            // exchange. Reported like any host-side failure of the exchange.
            return StatusCode::HostInternalError;
        }
        if (privateKey.size() != kEcPrivateKeySize || publicKey.size() != kEcPublicPointSize) {
            return StatusCode::HostInternalError;
        }

        std::memset(request, 0, offsetof(KeyExchangeRequest, hostPublicKey));  // hostTag, hostIdentity
        std::memcpy(request + offsetof(KeyExchangeRequest, hostPublicKey), publicKey.data() + 1,
                    sizeof(KeyExchangeRequest::hostPublicKey));
        if (ioBuffer.size() < kKeyExchangeFrameSize) ioBuffer.resize(kKeyExchangeFrameSize, 0);
        std::memcpy(ioBuffer.data() + kFrameHeaderSize, request, sizeof(request));

        // The request is always plain, so there is no check for established keys.
        lastStatus = 0;
        if (faulted) return StatusCode::DeviceError;
        StatusCode status = writeFrame(static_cast<uint8_t>(CommandCode::KeyExchange), false, sizeof(request));
        if (status != StatusCode::Success) return status;
        uint8_t code = 0;
        status = readResponse(response, &code);
        if (status != StatusCode::Success) return status;
        if (response.size() != sizeof(KeyExchangeResponse)) return StatusCode::HostInternalError;
        // No keys exist yet to decipher a flagged answer.
        if (code & FrameFlags::Encrypted) return StatusCode::ProtocolError;

        if (deriveSessionKeys(privateKey.data(), request, response.data(), newKeys.get())) {
            keys = std::move(newKeys);
            secure = 1;
            return StatusCode::Success;
        }
        // The key's point was refused: next attempt, new key pair.
    }
    return StatusCode::ProtocolError;
}

}  // namespace korvene
