// The updater's whole start-up over any argument vector, in-process: the
// transport's own code runs over the libusb stand-in with no key attached, so
// a run that gets past the options ends at "not found".
//
// In-process is sound here: runTool resets getopt_long with optind = 0, which
// makes glibc start over (its position inside a bundle of short options and
// its argument permutation included); the trace level is set on every entry;
// nothing on these paths exits the process or keeps state between runs but
// the stand-in, which is reset before each one.
//
// Input: arguments separated by NUL bytes (argv[0] is the program's name).
#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/harness_support.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tool/exit_code.h"
#include "tool/startup.h"

namespace {

using korvene::ExitCode;
using korvene::testing::LibUsbCall;
using korvene::testing::LibUsbStandin;

constexpr size_t kMaxArguments = 32;

constexpr int code(ExitCode exitCode) { return static_cast<int>(exitCode); }

bool startsAnOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    korvene::testing::silenceStandardOutput();
    // getopt_long would report every bad option on standard error, where
    // libFuzzer's report and a broken invariant's message go; runTool leaves
    // opterr as found.
    opterr = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"korvene-update"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (arguments.size() < kMaxArguments && !current.empty()) arguments.push_back(current);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    LibUsbStandin& usb = LibUsbStandin::instance();
    usb.reset();
    const int rc = korvene::runTool(static_cast<int>(arguments.size()), argv.data(), 1000);

    // Banner only, a bad option, or the search that found nothing.
    KORVENE_FUZZ_CHECK(rc == code(ExitCode::Updated) || rc == code(ExitCode::BadOption) ||
                       rc == code(ExitCode::DeviceUnavailable));
    if (rc == code(ExitCode::DeviceUnavailable)) {
        // Started once, stopped once, as the last call, with nothing left behind.
        KORVENE_FUZZ_CHECK(usb.callCount(LibUsbCall::Init) == 1);
        KORVENE_FUZZ_CHECK(usb.callCount(LibUsbCall::Exit) == 1);
        KORVENE_FUZZ_CHECK(usb.callSequence().back() == LibUsbCall::Exit);
        KORVENE_FUZZ_CHECK(usb.openHandleCount() == 0);
        KORVENE_FUZZ_CHECK(usb.outstandingAllocations() == 0);
    } else {
        // The options decide before USB is touched.
        KORVENE_FUZZ_CHECK(usb.calls().empty());
    }
    KORVENE_FUZZ_CHECK(usb.misuses().empty());

    // What the first argument alone decides: the first option getopt_long
    // meets is argv[1] when that is one.
    if (arguments.size() > 1) {
        const std::string& first = arguments[1];
        if (first == "-h" || first == "-v" || first == "--help" || first == "--version") {
            KORVENE_FUZZ_CHECK(rc == code(ExitCode::Updated));
        }
        if (first.size() >= 2 && first[0] == '-' && first[1] != '-' && first[1] != 'h' && first[1] != 'v' &&
            first[1] != 'f') {
            KORVENE_FUZZ_CHECK(rc == code(ExitCode::BadOption));
        }
    }
    // Without a single option (operands are ignored) the run goes to the search.
    bool anyOption = false;
    for (size_t i = 1; i < arguments.size(); ++i) anyOption = anyOption || startsAnOption(arguments[i]);
    if (!anyOption) KORVENE_FUZZ_CHECK(rc == code(ExitCode::DeviceUnavailable));
    return 0;
}
