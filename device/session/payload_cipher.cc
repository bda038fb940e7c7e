#include "device/session/payload_cipher.h"

#include <crypto++/aes.h>
#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/modes.h>

#include <cstring>
#include <typeinfo>

namespace korvene {
namespace {

constexpr size_t kAes128KeySize = 16;
constexpr size_t kCounterBlockSize = 16;

using CounterModeCipher = CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption;

// Hands the cipher its initial counter block as SetKeyWithIV does, but from
// the stack: SetKeyWithIV wraps the block in a parameter object on the heap.
class InitialCounter final : public CryptoPP::NameValuePairs {
public:
    explicit InitialCounter(const uint8_t* block) : block(block) {}

    bool GetVoidValue(const char* name, const std::type_info& valueType, void* value) const override {
        if (std::strcmp(name, CryptoPP::Name::IV()) != 0) return false;
        if (valueType != typeid(CryptoPP::ConstByteArrayParameter)) return false;
        static_cast<CryptoPP::ConstByteArrayParameter*>(value)->Assign(block, kCounterBlockSize, false);
        return true;
    }

private:
    const uint8_t* block;
};

// One cipher object per thread, keyed anew by every call. Its buffers are
// allocated by the first call and then reused, as every key has the same
// size, so no later call allocates.
CounterModeCipher& reusedCipher() {
    thread_local CounterModeCipher cipher;
    return cipher;
}

}  // namespace

void ctrCrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length) {
    CounterModeCipher& cipher = reusedCipher();
    // Keyed with cipherKey and set to initialCounter on every call: the key
    // stream starts at initialCounter every time and nothing carries over to
    // the next payload.
    cipher.SetKey(keys->cipherKey, sizeof(keys->cipherKey), InitialCounter(keys->initialCounter));
    // ProcessData works in place and yields exactly `length` bytes; a last
    // partial block uses the first bytes of its key-stream block.
    cipher.ProcessData(out, in, static_cast<size_t>(length));

    // Leave no key schedule and no key stream of this session in the reused
    // object: key it with zeros, and run it over one byte, which refills its
    // key-stream buffer from the zero key.
    static constexpr uint8_t kZeros[kAes128KeySize] = {};
    static_assert(kCounterBlockSize == kAes128KeySize);
    uint8_t scratch = 0;
    cipher.SetKey(kZeros, sizeof(kZeros), InitialCounter(kZeros));
    cipher.ProcessData(&scratch, &scratch, 1);
}

void ctrDecrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length) {
    // In counter mode deciphering is the same transformation.
    ctrCrypt(keys, in, out, length);
}

}  // namespace korvene
