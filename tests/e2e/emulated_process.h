#pragma once

// Runs a program as a child process under umockdev's preload library, so that
// it sees the emulated USB bus of this process (EmulatedUsbBus) as the
// machine's own: its libusb finds, opens and talks to the emulated keys.

#include <optional>
#include <string>
#include <vector>

namespace korvene::testing {

struct EmulatedCommand {
    std::string program;  // path of the executable
    std::vector<std::string> arguments;
    // Bytes for standard input, which then ends; nothing: the caller's own.
    std::optional<std::string> input;
    // Collect standard output and standard error; otherwise they are the caller's.
    bool capture = true;
    // The child is killed when it runs longer; 0: no limit.
    int deadlineSeconds = 0;
};

struct EmulatedRun {
    bool started = false;
    int exitCode = -1;  // -1 unless the child exited normally
    int signal = 0;     // the signal that ended the child, if one did
    bool killedAtDeadline = false;
    double seconds = 0;
    std::string output;  // standard output, when captured
    std::string errors;  // standard error, when captured
};

// Starts `command` with LD_PRELOAD naming umockdev's preload library and
// UMOCKDEV_DIR naming `umockdevRoot`, feeds its input, and waits for it.
EmulatedRun runEmulated(const std::string& umockdevRoot, const EmulatedCommand& command);

}  // namespace korvene::testing
