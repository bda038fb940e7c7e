#include "device/session/payload_cipher.h"

#include <crypto++/aes.h>
#include <crypto++/modes.h>

namespace korvene {

void ctrCrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length) {
    // A fresh cipher object per call: the counter register starts at
    // initialCounter every time and nothing carries over to the next payload.
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    cipher.SetKeyWithIV(keys->cipherKey, sizeof(keys->cipherKey), keys->initialCounter,
                        sizeof(keys->initialCounter));
    // ProcessData works in place and yields exactly `length` bytes; a last
    // partial block uses the first bytes of its key-stream block.
    cipher.ProcessData(out, in, static_cast<size_t>(length));
}

void ctrDecrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length) {
    // In counter mode deciphering is the same transformation.
    ctrCrypt(keys, in, out, length);
}

}  // namespace korvene
