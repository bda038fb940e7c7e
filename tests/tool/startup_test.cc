// The updater's start-up and shut-down, run in-process on the USB transport's
// own code with the libusb stand-in beneath it: the device search, the open and
// the initialisation failures, and the order in which everything is released.
#include "tool/startup.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tests/support/stdout_capture.h"
#include "tool/banner.h"

namespace korvene {
namespace {

using testing::LibUsbCall;
using testing::LibUsbStandin;
using testing::StdoutCapture;

struct ToolRun {
    int exitCode;
    std::string output;
};

ToolRun runToolWith(std::vector<std::string> args) {
    args.insert(args.begin(), "korvene-update");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    StdoutCapture capture;
    const int rc = runTool(static_cast<int>(args.size()), argv.data());
    return {rc, capture.take()};
}

std::string banner() {
    StdoutCapture capture;
    printBanner();
    return capture.take();
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { usb.reset(); }

    // libusb was stopped exactly once, as the last call, and nothing is left
    // open, referenced or allocated.
    void expectCleanShutdown() {
        const std::vector<LibUsbCall> calls = usb.callSequence();
        EXPECT_EQ(usb.callCount(LibUsbCall::Exit), 1u);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), LibUsbCall::Exit);
        EXPECT_EQ(usb.openHandleCount(), 0u);
        EXPECT_EQ(usb.outstandingAllocations(), 0u);
        for (int device = 0; device < devices; ++device) {
            EXPECT_EQ(usb.referenceCount(device), 0) << "device " << device;
        }
        EXPECT_TRUE(usb.misuses().empty()) << usb.misuses().front();
    }

    void addKeys(int count) {
        for (int i = 0; i < count; ++i) {
            usb.addDevice(testing::keyDeviceSpec());
        }
        devices += count;
    }

    LibUsbStandin& usb = LibUsbStandin::instance();
    int devices = 0;
};

TEST_F(Startup, UsbThatDoesNotStartEndsWithExitThreeWithoutCancelNoteAndWithoutStoppingUsb) {
    usb.failCall(LibUsbCall::Init, LIBUSB_ERROR_OTHER);
    const ToolRun run = runToolWith({});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.output, banner() + "[ERROR  ] Failed to open USB driver.\n");
    EXPECT_EQ(usb.callSequence(), (std::vector<LibUsbCall>{LibUsbCall::Init}));
}

TEST_F(Startup, NoKeyOrTwoKeysEndWithTheirWarningAndTheCancelNoteAndOpenNothing) {
    struct Case {
        int keys;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {0, "[WARN   ] KORVENE not found. Please attach one KORVENE device to the PC.\n"},
        {2, "[WARN   ] Found 2 KORVENE devices; only one should be attached.\n"},
        {3, "[WARN   ] Found 3 KORVENE devices; only one should be attached.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.keys) + " keys");
        usb.reset();
        devices = 0;
        addKeys(c.keys);
        const ToolRun run = runToolWith({});
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.output, banner() + c.warning + "Update canceled.\n");
        EXPECT_EQ(usb.callCount(LibUsbCall::Open), 0u);
        expectCleanShutdown();
    }
}

TEST_F(Startup, KeyThatCannotBeOpenedForAnyReasonIsBeingUsedByAnotherApp) {
    struct Case {
        const char* name;
        LibUsbCall call;
        int code;
    };
    const std::vector<Case> cases = {
        {"access denied", LibUsbCall::Open, LIBUSB_ERROR_ACCESS},
        {"gone", LibUsbCall::Open, LIBUSB_ERROR_NO_DEVICE},
        {"interface claimed by another program", LibUsbCall::ClaimInterface, LIBUSB_ERROR_BUSY},
        {"other failure", LibUsbCall::GetConfigDescriptor, LIBUSB_ERROR_IO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        usb.reset();
        devices = 0;
        addKeys(1);
        usb.failCall(c.call, c.code, 1, LibUsbStandin::kEveryCall);
        const ToolRun run = runToolWith({});
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.output,
                  banner() + "[ERROR  ] KORVENE is being used by another app.\nUpdate canceled.\n");
        expectCleanShutdown();
    }
}

TEST_F(Startup, KeyThatCannotBeInitialisedIsClosedBeforeUsbStops) {
    addKeys(1);
    usb.queueControlReply(LIBUSB_ERROR_PIPE);  // the class reset request fails
    const ToolRun run = runToolWith({});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.output, banner() + "[ERROR  ] Cannot access KORVENE.\nUpdate canceled.\n");
    const std::vector<LibUsbCall> calls = usb.callSequence();
    const auto close = std::find(calls.begin(), calls.end(), LibUsbCall::Close);
    const auto exit = std::find(calls.begin(), calls.end(), LibUsbCall::Exit);
    ASSERT_NE(close, calls.end());
    EXPECT_LT(close, exit);
    expectCleanShutdown();
}

TEST_F(Startup, BadOptionAndHelpTouchNoUsb) {
    EXPECT_EQ(runToolWith({"--bogus"}).exitCode, 2);
    EXPECT_EQ(runToolWith({"--version"}).exitCode, 0);
    EXPECT_TRUE(usb.calls().empty());
}

TEST_F(Startup, SecondRunInTheSameProcessDoesNotResumeTheFirstCommandLine) {
    // The first run ends at -h with "x" still unread in its cluster; the second
    // must start afresh rather than report that stale -x.
    EXPECT_EQ(runToolWith({"-hx"}).exitCode, 0);
    const ToolRun second = runToolWith({"-v"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.output, banner());
}

}  // namespace
}  // namespace korvene
