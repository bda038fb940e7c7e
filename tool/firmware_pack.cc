// The header check of a firmware pack, run before anything touches USB.
#include "tool/firmware_pack.h"

#include <cstring>

#include "tool/trace.h"

namespace korvene {

namespace {

constexpr uint32_t kHeaderSize = sizeof(FirmwarePackHeader);
constexpr char kPackMagic[8] = {'K', 'O', 'R', 'V', 'F', 'I', 'R', 'M'};
constexpr uint8_t kPackVersionMajor = 2;
constexpr uint8_t kPackVersionMinor = 0;

}  // namespace

bool checkFirmwarePack(const FirmwarePackHeader* pack, uint32_t size) {
    // A pack needs the header and at least one payload byte; a shorter one is
    // not read at all.
    if (size <= kHeaderSize) {
        traceMessage(TraceLevel::Verbose, "Firmware pack file is too small.\n");
        return false;
    }
    uint64_t magic;
    uint64_t expectedMagic;
    memcpy(&magic, pack->magic, sizeof magic);
    memcpy(&expectedMagic, kPackMagic, sizeof expectedMagic);
    if (magic != expectedMagic) {
        traceMessage(TraceLevel::Verbose, "Firmware pack file is not valid pack format.\n");
        return false;
    }
    if (pack->headerSize != kHeaderSize || pack->payloadSize != size - kHeaderSize) {
        traceMessage(TraceLevel::Verbose, "Firmware pack file is broken.\n");
        return false;
    }
    if (pack->packVersion[0] != kPackVersionMajor || pack->packVersion[1] != kPackVersionMinor) {
        traceMessage(TraceLevel::Verbose, "Firmware pack version mismatch (%u.%u).\n",
                     static_cast<unsigned>(pack->packVersion[0]),
                     static_cast<unsigned>(pack->packVersion[1]));
        return false;
    }
    return true;
}

}  // namespace korvene
