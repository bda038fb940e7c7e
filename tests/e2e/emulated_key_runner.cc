// Runs a program (the updater) against one emulated key:
//
//   emulated_key_runner <program> [arguments...]
//
// The key is the virtual key model with its defaults (firmware 1.4, no SO PIN)
// on an emulated USB bus. The program runs unchanged, with its real libusb,
// under umockdev's preload library, on this terminal. When it has ended, a summary of what the key received goes to
// standard error, and the program's exit code is this one's.

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/session/frame.h"
#include "tests/doubles/umockdev_key/emulated_usb_bus.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/e2e/preload_environment.h"
#include "tests/support/child_environment.h"
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
    (void)std::fprintf(stderr, "\nThe emulated key received %zu requests, %zu of them firmware chunks (%zu bytes).\n",
                       key.requests.size(), chunks, key.state.firmware.size());
    if (key.state.deployed) {
        (void)std::fprintf(stderr, "Its new firmware %s the embedded payload, and it was deployed.\n",
                           firmwareMatchesEmbeddedPayload(key) ? "equals" : "DIFFERS FROM");
    } else {
        (void)std::fprintf(stderr, "No firmware was deployed%s.\n",
                           key.state.canceled ? "; the update was canceled" : "");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        (void)std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
        return 2;
    }
    VirtualKey key;
    korvene::testing::EmulatedUsbBus bus;
    std::string error;
    if (!bus.attach(key, {}, &error)) {
        (void)std::fprintf(stderr, "%s: cannot emulate the key: %s\n", argv[0], error.c_str());
        return 3;
    }

    // The program shares this terminal: standard input, output and error.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // The preload entries in place of any inherited ones of the same names.
    std::vector<std::string> environment =
        korvene::testing::childEnvironment(korvene::testing::preloadEnvironment(bus.root()));
    std::vector<char*> childArgv = korvene::testing::nullTerminatedPointers(arguments);
    std::vector<char*> childEnvp = korvene::testing::nullTerminatedPointers(environment);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[1], nullptr, nullptr, childArgv.data(), childEnvp.data());
    if (spawned != 0) {
        (void)std::fprintf(stderr, "%s: cannot start %s: %s\n", argv[0], argv[1], std::strerror(spawned));
        return 127;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    auto lock = bus.lockKeys();
    printSummary(key);
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        (void)std::fprintf(stderr, "%s ended by signal %d (%s)\n", argv[1], signal, strsignal(signal));
        return 128 + signal;
    }
    return WEXITSTATUS(status);
}
