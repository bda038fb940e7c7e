// Start-up and shut-down of the updater around the update flow.
#include "tool/startup.h"

#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "device/session/key_session.h"
#include "device/usb/usb_backend.h"
#include "tool/all_signals_blocked.h"
#include "tool/banner.h"
#include "tool/exit_code.h"
#include "tool/firmware_pack.h"
#include "tool/process_hardening.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene {

namespace {

// getopt_long's value for "verbose", which has no short form: outside the
// range of byte values, so it cannot collide with a short option.
constexpr int kOptionVerbose = 0x10000;

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"force", no_argument, nullptr, 'f'},
    {"verbose", no_argument, nullptr, kOptionVerbose},
    {nullptr, 0, nullptr, 0},
};

constexpr int exitCode(ExitCode code) { return static_cast<int>(code); }

// The way out after USB has started and the device search or the opening
// failed: the enumerator goes first, the session's device is closed before
// USB stops, and the session object goes last.
int deviceFailureTail(std::unique_ptr<KvUsbEnumerator>& enumerator,
                      std::unique_ptr<KeySession>& session) {
    destroyUsbEnumerator(enumerator);
    puts("Update canceled.");
    if (session) {
        session->close();
    }
    usbExit();
    session.reset();
    return exitCode(ExitCode::DeviceUnavailable);
}

}  // namespace

int runTool(int argc, char** argv, uint32_t bulkTimeoutMs) {
    // Before anything is opened or read: a closed standard descriptor gets
    // /dev/null, and the process that will hold the SO PIN dumps no core.
    openClosedStandardDescriptors();
    forbidCoreDumps();
    // A write to a closed pipe (`korvene-update | head`) then fails like any
    // other output error, which the program ignores, instead of ending an
    // update halfway. Set before anything is printed, for the whole run.
    (void)std::signal(SIGPIPE, SIG_IGN);
    traceInit(TraceLevel::Info);

    // A full reset of the parser, so that a second run in the same process
    // does not resume inside the previous command line.
    optind = 0;
    bool force = false;
    for (;;) {
        const int opt = getopt_long(argc, argv, "hvf", kLongOptions, nullptr);
        if (opt == -1) {
            break;
        }
        switch (opt) {
        case 'h':
        case 'v':
            printBanner();
            return exitCode(ExitCode::Updated);
        case 'f':
            force = true;
            break;
        case kOptionVerbose:
            traceInit(TraceLevel::Verbose);
            break;
        default:  // unrecognised, ambiguous, or an argument given to an option
            return exitCode(ExitCode::BadOption);
        }
    }

    printBanner();

    if (!checkFirmwarePack(embeddedPackHeader(), static_cast<uint32_t>(kFirmwarePackSize))) {
        traceMessage(TraceLevel::Error, "This updater is broken!\n");
        return exitCode(ExitCode::BrokenPack);
    }

    bool usbStarted = false;
    {
        // libusb's threads, started here, inherit a mask that blocks every
        // signal, so that signals are only ever taken on this thread.
        const AllSignalsBlocked noSignalsWhileUsbStarts;
        usbStarted = usbInitialize();
    }
    if (!usbStarted) {
        traceMessage(TraceLevel::Error, "Failed to open USB driver.\n");
        return exitCode(ExitCode::DeviceUnavailable);
    }

    std::unique_ptr<KvUsbEnumerator> enumerator = createUsbEnumerator();
    std::unique_ptr<KeySession> session;
    scanUsbDevices(enumerator);  // the count decides, not the scan's result
    const size_t count = countUsbDevices(enumerator);
    if (count == 0) {
        traceMessage(TraceLevel::Warn,
                     "KORVENE not found. Please attach one KORVENE device to the PC.\n");
        return deviceFailureTail(enumerator, session);
    }
    if (count > 1) {
        traceMessage(TraceLevel::Warn, "Found %zu KORVENE devices; only one should be attached.\n",
                     count);
        return deviceFailureTail(enumerator, session);
    }

    session = KeySession::create(*enumerator, 0);
    if (!session) {
        traceMessage(TraceLevel::Error, "KORVENE is being used by another app.\n");
        return deviceFailureTail(enumerator, session);
    }
    session->setBulkTimeout(bulkTimeoutMs);
    if (!session->initialize()) {
        traceMessage(TraceLevel::Error, "Cannot access KORVENE.\n");
        return deviceFailureTail(enumerator, session);
    }

    // From here on only the session refers to the key.
    destroyUsbEnumerator(enumerator);
    const int rc = runUpdate(session, force);

    if (session) {
        session->close();
    }
    usbExit();
    session.reset();
    return rc;
}

}  // namespace korvene
