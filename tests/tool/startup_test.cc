// The updater's start-up and shut-down, run in-process on the USB transport's
// own code with the libusb stand-in beneath it: the device search, the open and
// the initialisation failures, and the order in which everything is released.
#include "tool/startup.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <crypto++/sha.h>

#include "device/session/frame.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tests/support/stdin_feed.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/vector_file.h"
#include "tests/tool/embedded_pack_chunks.h"
#include "tests/tool/scripted_update.h"
#include "tool/banner.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"

namespace korvene {
namespace {

using testing::LibUsbCall;
using testing::LibUsbStandin;
using testing::StdinFeed;
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

// A key that answers every request of a whole update in turn. A fresh session
// numbers its first request 1.
class AnsweringKey {
public:
    explicit AnsweringKey(int key) : key(key) {}
    void answer(uint8_t code, const std::vector<uint8_t>& payload) {
        testing::queueAnswer(key, testing::answerFrame(++sequence, code, payload));
    }

private:
    int key;
    size_t sequence = 0;
};

TEST_F(Startup, SuccessfulUpdateReleasesTheEnumeratorBeforeTheFlowAndClosesTheKeyBeforeUsbStops) {
    addKeys(1);
    // Initialisation: the class reset, then both endpoints show their halt.
    usb.queueControlReply(0);
    usb.queueControlReply(2, {1, 0});
    usb.queueControlReply(2, {1, 0});
    AnsweringKey key(0);
    key.answer(0, {1, 0, 0, 0});  // ready
    std::vector<uint8_t> status(108);
    status[102] = 1;  // firmware 1.0, no SO PIN
    key.answer(0, status);
    const std::vector<testing::VectorCase> sessions = testing::loadVectorFile("protocol_sessions.txt");
    ASSERT_FALSE(sessions.empty());
    key.answer(0, testing::fromHex(sessions.front().at("KeyExchangeResponse")));
    key.answer(0, {});  // setup
    const FirmwarePackHeader* pack = embeddedPackHeader();
    for (size_t chunk = 0; chunk < testing::embeddedChunkCount(); ++chunk) key.answer(0, {});
    // The digest may come plain: only a flagged answer is deciphered.
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), kFirmwarePack + pack->headerSize, pack->payloadSize);
    key.answer(0, digest);
    key.answer(0, {});  // deploy; the finish request is not answered

    ToolRun run;
    {
        const StdinFeed input("y\n");
        run = runToolWith({});
    }
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string updated = "Updated successfully!\n";
    ASSERT_GE(run.output.size(), updated.size());
    EXPECT_EQ(run.output.substr(run.output.size() - updated.size()), updated) << run.output;

    // The flow begins with the status query: its request is the third bulk
    // transfer, after the ready query's request and answer.
    const std::vector<LibUsbCall> calls = usb.callSequence();
    size_t statusQuery = calls.size();
    for (size_t i = 0, transfers = 0; i < calls.size(); ++i) {
        if (calls[i] == LibUsbCall::BulkTransfer && ++transfers == 3) {
            statusQuery = i;
            break;
        }
    }
    ASSERT_LT(statusQuery, calls.size());
    const std::vector<uint8_t>& request = usb.bulkTransfers()[2].data;
    ASSERT_GE(request.size(), 12u);
    EXPECT_EQ(request[5], static_cast<uint8_t>(CommandCode::GetInfo));
    EXPECT_EQ(request[8], 16) << "the third bulk transfer is not the status query";
    for (size_t i = statusQuery; i < calls.size(); ++i) {
        EXPECT_NE(calls[i], LibUsbCall::UnrefDevice) << "the enumerator still held the key during the flow";
        EXPECT_NE(calls[i], LibUsbCall::FreeDeviceList) << "the enumerator still held the key during the flow";
    }
    // The key is closed after the last transfer of the update, and libusb
    // stops after that, as the last call.
    const auto close = std::find(calls.begin(), calls.end(), LibUsbCall::Close);
    ASSERT_NE(close, calls.end());
    EXPECT_EQ(std::find(close, calls.end(), LibUsbCall::BulkTransfer), calls.end())
        << "a transfer after the key was closed";
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
