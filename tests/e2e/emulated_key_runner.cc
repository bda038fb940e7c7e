// Runs a program (the updater) against one emulated key:
//
//   emulated_key_runner <program> [arguments...]
//
// The key is the virtual key model with its defaults (firmware 1.4, no SO PIN)
// on an emulated USB bus. The program runs unchanged, with its real libusb,
// under umockdev's preload library, with this terminal's standard input and
// output. When it has ended, a summary of what the key received goes to
// standard error, and the program's exit code is this one's.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/session/frame.h"
#include "tests/doubles/umockdev_key/emulated_usb_bus.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/e2e/emulated_process.h"
#include "tool/firmware_pack.h"

namespace {

using korvene::CommandCode;
using korvene::testing::VirtualKey;

bool firmwareMatchesEmbeddedPayload(const VirtualKey& key) {
    const korvene::FirmwarePackHeader* header = korvene::embeddedPackHeader();
    const uint8_t* payload = korvene::kFirmwarePack + header->headerSize;
    return key.state.firmware.size() == header->payloadSize &&
           std::memcmp(key.state.firmware.data(), payload, header->payloadSize) == 0;
}

void printSummary(const VirtualKey& key) {
    const size_t chunks = key.countRequests(static_cast<uint8_t>(CommandCode::WriteFirmware));
    std::fprintf(stderr, "\nThe emulated key received %zu requests, %zu of them firmware chunks (%zu bytes).\n",
                 key.requests.size(), chunks, key.state.firmware.size());
    if (key.state.deployed) {
        std::fprintf(stderr, "Its new firmware %s the embedded payload, and it was deployed.\n",
                     firmwareMatchesEmbeddedPayload(key) ? "equals" : "DIFFERS FROM");
    } else {
        std::fprintf(stderr, "No firmware was deployed%s.\n", key.state.canceled ? "; the update was canceled" : "");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
        return 2;
    }
    VirtualKey key;
    korvene::testing::EmulatedUsbBus bus;
    std::string error;
    if (!bus.attach(key, {}, &error)) {
        std::fprintf(stderr, "%s: cannot emulate the key: %s\n", argv[0], error.c_str());
        return 3;
    }

    korvene::testing::EmulatedCommand command;
    command.program = argv[1];
    command.arguments.assign(argv + 2, argv + argc);
    command.capture = false;
    const korvene::testing::EmulatedRun run = korvene::testing::runEmulated(bus.root(), command);
    if (!run.started) {
        std::fprintf(stderr, "%s: cannot start %s\n", argv[0], argv[1]);
        return 127;
    }

    auto lock = bus.lockKeys();
    printSummary(key);
    if (run.signal != 0) {
        std::fprintf(stderr, "%s ended by signal %d (%s)\n", argv[1], run.signal, strsignal(run.signal));
        return 128 + run.signal;
    }
    return run.exitCode;
}
