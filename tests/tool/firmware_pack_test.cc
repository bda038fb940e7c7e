#include "tool/firmware_pack.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/stdout_capture.h"
#include "tool/trace.h"

namespace korvene {
namespace {

using testing::StdoutCapture;

constexpr char kTooSmall[] = "[VERBOSE] Firmware pack file is too small.\n";
constexpr char kNotPack[] = "[VERBOSE] Firmware pack file is not valid pack format.\n";
constexpr char kBroken[] = "[VERBOSE] Firmware pack file is broken.\n";

// A valid pack with a payload of `payloadSize` bytes; vector storage is aligned
// for the header's 32-bit fields.
std::vector<uint8_t> validPack(uint32_t payloadSize) {
    std::vector<uint8_t> pack(24 + payloadSize, 0xA5);
    FirmwarePackHeader header{};
    memcpy(header.magic, "KORVFIRM", 8);
    header.headerSize = 24;
    header.packVersion[0] = 2;
    header.packVersion[1] = 0;
    header.setupValue1 = 0x11223344;
    header.setupValue2 = 0x55667788;
    header.payloadSize = payloadSize;
    memcpy(pack.data(), &header, sizeof header);
    return pack;
}

FirmwarePackHeader* headerOf(std::vector<uint8_t>& pack) {
    return reinterpret_cast<FirmwarePackHeader*>(pack.data());
}

// Runs the check at Verbose and returns its result and what it printed.
bool checkAtVerbose(const FirmwarePackHeader* pack, uint32_t size, std::string& output) {
    StdoutCapture capture;
    traceInit(TraceLevel::Verbose);
    const bool ok = checkFirmwarePack(pack, size);
    output = capture.take();
    traceInit(TraceLevel::Info);
    return ok;
}

struct PackCase {
    const char* name;
    std::function<void(FirmwarePackHeader&)> damage;
    int sizeDelta;  // added to the true pack size
    bool expected;
    std::string message;
};

TEST(CheckFirmwarePack, EachFaultIsReportedWithItsOwnVerboseMessageAndOnlyTheFirstCounts) {
    const uint32_t payload = 1000;
    const std::vector<PackCase> cases = {
        {"valid pack", [](FirmwarePackHeader&) {}, 0, true, ""},
        {"lower-case magic", [](FirmwarePackHeader& h) { memcpy(h.magic, "korvfirm", 8); }, 0, false, kNotPack},
        {"header size 32, payload fits it", [](FirmwarePackHeader& h) { h.headerSize = 32; h.payloadSize -= 8; },
         0, false, kBroken},
        {"header size 0", [](FirmwarePackHeader& h) { h.headerSize = 0; }, 0, false, kBroken},
        {"payload size one more", [](FirmwarePackHeader& h) { h.payloadSize += 1; }, 0, false, kBroken},
        {"payload size one less", [](FirmwarePackHeader& h) { h.payloadSize -= 1; }, 0, false, kBroken},
        {"pack one byte longer than its header says", [](FirmwarePackHeader&) {}, 1, false, kBroken},
        {"version 2.1", [](FirmwarePackHeader& h) { h.packVersion[1] = 1; }, 0, false,
         "[VERBOSE] Firmware pack version mismatch (2.1).\n"},
        {"version 1.0", [](FirmwarePackHeader& h) { h.packVersion[0] = 1; }, 0, false,
         "[VERBOSE] Firmware pack version mismatch (1.0).\n"},
        {"version 3.0", [](FirmwarePackHeader& h) { h.packVersion[0] = 3; }, 0, false,
         "[VERBOSE] Firmware pack version mismatch (3.0).\n"},
        {"version 0.2, the bytes swapped", [](FirmwarePackHeader& h) { h.packVersion[0] = 0; h.packVersion[1] = 2; },
         0, false, "[VERBOSE] Firmware pack version mismatch (0.2).\n"},
        {"wrong magic and wrong version", [](FirmwarePackHeader& h) { h.magic[0] = 'X'; h.packVersion[0] = 9; }, 0,
         false, kNotPack},
        {"wrong header size and wrong version", [](FirmwarePackHeader& h) { h.headerSize = 25; h.packVersion[0] = 9; },
         0, false, kBroken},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> pack = validPack(payload);
        c.damage(*headerOf(pack));
        pack.resize(pack.size() + c.sizeDelta, 0);
        std::string output;
        EXPECT_EQ(checkAtVerbose(headerOf(pack), static_cast<uint32_t>(pack.size()), output), c.expected);
        EXPECT_EQ(output, c.message);
    }
}

TEST(CheckFirmwarePack, MagicDifferingInAnyOneByteIsNotAPack) {
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("magic byte " + std::to_string(i));
        std::vector<uint8_t> pack = validPack(10);
        pack[i] ^= 0x20;  // letter case, or another byte
        std::string output;
        EXPECT_FALSE(checkAtVerbose(headerOf(pack), static_cast<uint32_t>(pack.size()), output));
        EXPECT_EQ(output, kNotPack);
    }
}

TEST(CheckFirmwarePack, TwentyFourBytesOrFewerAreTooSmallWithoutBeingRead) {
    for (uint32_t size : {0u, 1u, 23u, 24u}) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string output;
        // A null pack: any read of it would crash.
        EXPECT_FALSE(checkAtVerbose(nullptr, size, output));
        EXPECT_EQ(output, kTooSmall);
    }
}

TEST(CheckFirmwarePack, OneBytePayloadIsTheSmallestValidPack) {
    std::vector<uint8_t> pack = validPack(1);
    std::string output;
    EXPECT_TRUE(checkAtVerbose(headerOf(pack), 25, output));
    EXPECT_EQ(output, "");
}

TEST(CheckFirmwarePack, FailureMessagesAreHiddenAtTheDefaultLevel) {
    std::vector<uint8_t> pack = validPack(10);
    pack[0] = 'X';
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    EXPECT_FALSE(checkFirmwarePack(headerOf(pack), static_cast<uint32_t>(pack.size())));
    EXPECT_EQ(capture.take(), "");
}

TEST(EmbeddedFirmwarePack, PassesItsCheckSilentlyAndItsHeaderTiesThePayloadToTheArraySize) {
    std::string output;
    EXPECT_TRUE(checkAtVerbose(embeddedPackHeader(), static_cast<uint32_t>(kFirmwarePackSize), output));
    EXPECT_EQ(output, "");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(kFirmwarePack) % alignof(FirmwarePackHeader), 0u);
    EXPECT_EQ(embeddedPackHeader()->payloadSize + 24u, kFirmwarePackSize);
}

#ifndef KORVENE_REAL_FIRMWARE_PACK
// The placeholder pack that the default build embeds.
TEST(EmbeddedFirmwarePack, PlaceholderHasTheDocumentedHeaderAndSize) {
    const FirmwarePackHeader* header = embeddedPackHeader();
    EXPECT_EQ(kFirmwarePackSize, 113760u);
    EXPECT_EQ(memcmp(header->magic, "KORVFIRM", 8), 0);
    EXPECT_EQ(header->headerSize, 24);
    EXPECT_EQ(header->packVersion[0], 2);
    EXPECT_EQ(header->packVersion[1], 0);
    EXPECT_EQ(header->payloadSize, 113736u);
    // The payload is pseudo-random, not a fill: no run of 16 equal bytes.
    const uint8_t* payload = kFirmwarePack + 24;
    size_t run = 1;
    size_t longest = 1;
    for (size_t i = 1; i < header->payloadSize; ++i) {
        run = payload[i] == payload[i - 1] ? run + 1 : 1;
        longest = run > longest ? run : longest;
    }
    EXPECT_LT(longest, 16u);
}
#endif

}  // namespace
}  // namespace korvene
