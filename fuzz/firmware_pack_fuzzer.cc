// checkFirmwarePack over any bytes: it reads nothing beyond the header of a
// pack of `size` bytes (the pack lies in a heap block of exactly that size,
// so the address sanitizer sees any read past it), and it accepts exactly the
// packs whose header is right, as worked out here byte by byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/harness_support.h"
#include "tests/doubles/little_endian.h"
#include "tool/firmware_pack.h"
#include "tool/trace.h"

namespace {

using korvene::FirmwarePackHeader;
using korvene::testing::littleEndian;
using korvene::testing::littleEndian32;

// The header rules: more than the 24 header bytes, the magic, header size 24,
// the payload size that makes up the rest, pack version 2.0.
bool headerIsRight(const uint8_t* pack, size_t size) {
    if (size <= sizeof(FirmwarePackHeader)) return false;
    return std::memcmp(pack, "KORVFIRM", 8) == 0 && littleEndian(pack + 8, 2) == 24 && pack[10] == 2 &&
           pack[11] == 0 && littleEndian32(pack + 20) == size - sizeof(FirmwarePackHeader);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    korvene::testing::silenceStandardOutput();
    // Verbose, so that every refusal formats its message.
    korvene::traceInit(korvene::TraceLevel::Verbose);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    // A block of its own, aligned as the embedded pack is.
    std::vector<uint8_t> pack(data, data + size);
    const bool accepted = korvene::checkFirmwarePack(reinterpret_cast<const FirmwarePackHeader*>(pack.data()),
                                                     static_cast<uint32_t>(size));
    KORVENE_FUZZ_CHECK(accepted == headerIsRight(pack.data(), size));
    return 0;
}
