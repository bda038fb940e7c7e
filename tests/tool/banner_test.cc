#include "tool/banner.h"

#include <cryptopp/sha.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/stdout_capture.h"
#include "tool/firmware_pack.h"

namespace korvene {
namespace {

// The first four bytes of the SHA-256 of the embedded pack, in lower-case hex.
std::string expectedBuildIdentifier() {
    uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, kFirmwarePack, kFirmwarePackSize);
    char text[9];
    (void)snprintf(text, sizeof text, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return text;
}

TEST(Banner, IsTitleDescriptionAndEmptyLineWithTheBuildIdentifierOfTheEmbeddedPackAndIsFlushed) {
    testing::StdoutCapture capture;
    printBanner();
    EXPECT_EQ(capture.takeUnflushed(),
              "KORVENE firmware ver.2.0 updater (2.0.0.111 (" + expectedBuildIdentifier() +
                  "))\n"
                  "Firmware updater for the KORVENE security key.\n"
                  "\n");
}

}  // namespace
}  // namespace korvene
