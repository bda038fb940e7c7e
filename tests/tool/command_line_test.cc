// The command line of the built updater, run as real processes. This machine
// has no key attached, so every run that gets past the pack check ends at the
// device search with exit code 3.
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process_runner.h"
#include "tests/support/stdout_capture.h"
#include "tool/banner.h"

namespace korvene {
namespace {

using testing::ProcessResult;
using testing::runProcess;

const std::string kUpdater = KORVENE_UPDATE_BINARY;
const std::string kBrokenPackUpdater = KORVENE_BROKEN_PACK_UPDATE_BINARY;

// libusb logs every call it gets on standard error at this level, so a quiet
// standard error shows that USB was never touched.
const std::vector<std::string> kLibUsbLogging = {"LIBUSB_DEBUG=4"};

// The banner of the real updater: the tests link the same embedded pack.
const std::string& realBanner() {
    static const std::string banner = [] {
        testing::StdoutCapture capture;
        printBanner();
        return capture.take();
    }();
    return banner;
}

// Without a key the run ends after the device search: libusb either does not
// start, or starts and finds nothing.
bool endsAtTheDeviceSearch(const std::string& afterBanner) {
    return afterBanner == "[ERROR  ] Failed to open USB driver.\n" ||
           afterBanner ==
               "[WARN   ] KORVENE not found. Please attach one KORVENE device to the PC.\n"
               "Update canceled.\n";
}

std::string describe(const std::vector<std::string>& args) {
    std::string text = "korvene-update";
    for (const std::string& a : args) {
        text += " " + a;
    }
    return text;
}

TEST(CommandLine, HelpAndVersionPrintTheBannerAloneAndExitZeroWithoutTouchingUsb) {
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"--help"}, {"-v"}, {"--version"}, {"-f", "-h"}, {"--verbose", "--help"},
        {"--he"},  // an unambiguous abbreviation
        {"extra", "-v"},  // a word that is not an option is ignored
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(describe(args));
        const ProcessResult run = runProcess(kUpdater, args, kLibUsbLogging);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.stdoutText, realBanner());
        EXPECT_EQ(run.stderrText, "");
    }
}

TEST(CommandLine, BadOptionExitsTwoWithTheParsersDiagnosticAndNothingOnStandardOutput) {
    struct Case {
        std::vector<std::string> args;
        const char* diagnostic;  // a word of getopt_long's message on standard error
    };
    const std::vector<Case> cases = {
        {{"-x", "-h"}, "invalid option"},  // the first option that ends the run wins
        {{"--bogus"}, "unrecognized option"},
        {{"--help=1"}, "doesn't allow an argument"},
        {{"--force=yes"}, "doesn't allow an argument"},
        {{"--ver"}, "ambiguous"},  // fits both "version" and "verbose"
        {{"-f", "--verbose", "-q"}, "invalid option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.args));
        const ProcessResult run = runProcess(kUpdater, c.args, kLibUsbLogging);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.stdoutText, "");
        EXPECT_NE(run.stderrText.find(c.diagnostic), std::string::npos) << run.stderrText;
        EXPECT_EQ(run.stderrText.find("libusb"), std::string::npos) << run.stderrText;
    }
}

TEST(CommandLine, RunWithoutKeyPrintsTheBannerThenEndsAtTheDeviceSearchWithExitThree) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"extra"}, {"-f"}, {"--forc"}, {"--verb"}, {"--verbose", "--force", "word"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(describe(args));
        const ProcessResult run = runProcess(kUpdater, args, kLibUsbLogging);
        EXPECT_EQ(run.exitCode, 3);
        ASSERT_EQ(run.stdoutText.compare(0, realBanner().size(), realBanner()), 0) << run.stdoutText;
        EXPECT_TRUE(endsAtTheDeviceSearch(run.stdoutText.substr(realBanner().size())))
            << run.stdoutText;
        // The pack passed and USB was started: libusb logged its start.
        EXPECT_NE(run.stderrText.find("libusb"), std::string::npos);
    }
}

// A write to a pipe whose reader has gone fails like any other output error,
// from the first byte on: the updater ends with its usual exit code, not by
// SIGPIPE, whether it writes the banner alone (flushed at exit) or goes on to the
// device search.
TEST(CommandLine, StandardOutputOnAPipeWithoutReaderStillEndsWithTheUsualExitCodeNotBySigpipe) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {{"--version"}, 0},
        {{}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.args));
        testing::ProcessSpec spec;
        spec.program = kUpdater;
        spec.args = c.args;
        spec.outputReaderGone = true;
        const testing::ProcessResult end = testing::runProcess(spec);
        EXPECT_EQ(end.signal, 0) << "ended by " << strsignal(end.signal);
        EXPECT_EQ(end.exitCode, c.exitCode);
    }
}

TEST(BrokenPackBuild, ExitsSixWithTheBannerThenTheBrokenMessageAndNeverStartsUsb) {
    const std::string bannerPattern =
        "KORVENE firmware ver\\.2\\.0 updater \\(2\\.0\\.0\\.111 \\([0-9a-f]{8}\\)\\)\n"
        "[^\n]+\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string afterBanner;
    };
    const std::vector<Case> cases = {
        {{}, "\\[ERROR  \\] This updater is broken!\n"},
        // An abbreviated "verbose" raises the level before the check: its reason shows.
        {{"--verb"},
         "\\[VERBOSE\\] Firmware pack file is not valid pack format\\.\n"
         "\\[ERROR  \\] This updater is broken!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.args));
        const ProcessResult run = runProcess(kBrokenPackUpdater, c.args, kLibUsbLogging);
        EXPECT_EQ(run.exitCode, 6);
        EXPECT_TRUE(std::regex_match(run.stdoutText, std::regex(bannerPattern + c.afterBanner)))
            << run.stdoutText;
        EXPECT_EQ(run.stdoutText.rfind(realBanner(), 0), std::string::npos)
            << "the broken pack has its own build identifier";
        EXPECT_EQ(run.stderrText, "");
    }
}

TEST(BrokenPackBuild, HelpStillPrintsTheBannerAndExitsZeroSinceThePackIsNotChecked) {
    const ProcessResult run = runProcess(kBrokenPackUpdater, {"--help"}, kLibUsbLogging);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.stdoutText.find("KORVENE firmware ver.2.0 updater"), std::string::npos);
    EXPECT_EQ(run.stdoutText.find("broken"), std::string::npos);
}

}  // namespace
}  // namespace korvene
