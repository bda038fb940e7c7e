// The banner printed at start-up and for --help and --version.
#include "tool/banner.h"

#include <cstdio>
#include <string>

#include "tool/build_identifier.h"
#include "tool/firmware_version.h"

namespace korvene {

namespace {

// The tool's own version; the build identifier follows it in parentheses.
constexpr char kToolVersion[] = KORVENE_TOOL_VERSION;
constexpr char kDescription[] = "Firmware updater for the KORVENE security key.";

}  // namespace

void printBanner() {
    const std::string versionText = std::string(kToolVersion) + " (" + kBuildIdentifier + ")";
    printf("KORVENE firmware ver.%u.%u updater (%s)\n%s\n\n", kToolFirmwareMajor,
           kToolFirmwareMinor, versionText.c_str(), kDescription);
    (void)fflush(stdout);  // a failed flush of standard output has nowhere to be reported
}

}  // namespace korvene
