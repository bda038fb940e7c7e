// The interactive update: the key's status and the version decision, the
// caution banner, the confirmation, the SO PIN read without echo, the
// installation, and the cancel request after a failed installation.
//
// Standard output carries the direct prints (printf, puts), the prompts on
// std::cout and the trace log; std::cout stays synchronised with stdout, so all
// of it comes out in program order.
#include "tool/update_flow.h"

#include <cstdio>
#include <iostream>
#include <limits>
#include <string>

#include "device/session/device_status.h"
#include "device/session/frame.h"
#include "device/session/status_code.h"
#include "device/session/wipe.h"
#include "tool/echo_off_window.h"
#include "tool/exit_code.h"
#include "tool/firmware_pack.h"
#include "tool/firmware_version.h"
#include "tool/install_firmware.h"
#include "tool/interrupt_window.h"
#include "tool/trace.h"

namespace korvene {

const std::array<const char*, kCautionBannerLines> cautionBanner = {
    "",
    "==========================================================",
    "                      CAUTION",
    "",
    "  PINs and all keys of KORVENE will be erased.",
    "  All FIDO2/U2F authentication keys will also be deleted.",
    "",
    "  DO NOT shutdown or sleep your PC during updating.",
    "",
    "==========================================================",
    "",
};

namespace {

// Shown again by the echo-off window when the program goes on after a stop.
constexpr char kSoPinPrompt[] = "SO PIN: ";

// Zero-fills every block it releases, so that the bytes of a PIN left behind
// when its string grows do not stay in freed memory.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* block, size_t count) {
        wipeBuffer(block, count * sizeof(T));
        std::allocator<T>().deallocate(block, count);
    }
    friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};
using SecretLine = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Zero-fills all of a string's storage, not only the bytes in use. Growing it
// to its capacity reallocates nothing.
template <typename String>
void wipeString(String& text) {
    text.resize(text.capacity());
    wipeBuffer(text.data(), text.size());
    text.clear();
}

// One pass per prompt until the answer is y or n. False: the user declined, or
// the input ended.
bool confirmUpdate() {
    for (;;) {
        std::cout << "Are you sure to update the firmware? [y/n]" << ": " << std::flush;
        // Room for one character and its terminator: a longer line fails the read.
        char answer[2] = {};
        std::cin.getline(answer, sizeof(answer), '\n');
        if (std::cin.eof() || std::cin.bad()) return false;
        if (std::cin.fail()) {
            std::cin.clear();
            std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            std::cout << "Invalid key input" << '\n' << std::flush;
            continue;
        }
        // Bit 5 folds ASCII lower case onto upper case.
        const unsigned folded = static_cast<unsigned char>(answer[0]) & ~0x20u;
        if (folded == 'Y') return true;
        if (folded == 'N') return false;
        // Any other character, or an empty line: ask again.
    }
}

// Reads one line into `pin` with echo off and restores the terminal; an
// interrupt or a stop while the PIN is typed leaves the terminal as it was (see
// EchoOffWindow). False when there is no PIN to try: the input ended before a
// single byte was read, or the line was empty (Enter alone, or a line end
// typed ahead).
bool readSoPin(SecretLine& pin) {
    bool gotPin = false;
    {
        const EchoOffWindow echoOff(kSoPinPrompt);
        std::cout << kSoPinPrompt << std::flush;
        // Keeps an ordinary PIN in one heap block from the first byte on.
        pin.reserve(kMaxSoPinLength + 1);
        std::getline(std::cin, pin);
        // getline fails only when it extracted nothing; a last line without
        // its line end is still a PIN. Blanks are PIN bytes like any other.
        gotPin = !std::cin.fail() && !pin.empty();
    }
    // The user's own line end was not echoed.
    std::cout << '\n' << std::flush;
    return gotPin;
}

int canceled() {
    std::puts("Update canceled.");
    return static_cast<int>(ExitCode::Canceled);
}

// What the PIN may have left where no string of ours holds it: the vector
// registers the C library's copy routines passed it through, and the dead stack
// below this frame (read buffers, registers the dynamic linker saved there on a
// first call, signal frames). Wiped before anything else can carry them on,
// such as a sigaction call that copies stale stack bytes into a saved action.
void wipePinTraces() {
    wipeVectorRegisters();
    wipeDeadStack();
}

// The line read and every copy of it, then the traces.
void forgetPin(SecretLine& pin, std::string& copy) {
    wipeString(pin);
    wipeString(copy);
    wipePinTraces();
}

// Installs the embedded pack with `pin`. The PIN is forgotten as soon as the
// SetupUpdate request has been exchanged, and on every way out before it. The
// installation stops before its next request once `interrupts` has taken a
// signal, and from the deployment on, no signal ends the program.
bool install(KeySession& session, SecretLine& pin, InterruptWindow& interrupts) {
    std::string soPin;
    soPin.reserve(pin.size());
    soPin.assign(pin.data(), pin.size());
    InstallationHooks hooks;
    hooks.stopRequested = [&interrupts] { return interrupts.interrupted(); };
    hooks.setupWritten = [&pin, &soPin] { forgetPin(pin, soPin); };
    hooks.deploying = [&interrupts] { interrupts.deploying(); };
    const bool installed = installFirmware(session, embeddedPackHeader(), soPin, hooks);
    forgetPin(pin, soPin);
    return installed;
}

// From the first request of the installation to the verdict, an interrupt
// ends the update cleanly: the installation stops before its next request and
// the key is sent its cancel request. Only a repeated keyboard interrupt before
// the deployment ends the program at once (see InterruptWindow).
int installAndConclude(KeySession& session, SecretLine& pin) {
    InterruptWindow interrupts;
    if (install(session, pin, interrupts)) {
        std::puts("Updated successfully!");
        return static_cast<int>(ExitCode::Updated);
    }

    const StatusCode cancelResult = session.transact(CommandCode::CancelUpdate, false, 0);
    if (cancelResult != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Failed to cancel update request: %s\n", statusName(cancelResult));
    } else {
        traceMessage(TraceLevel::Verbose, "Update has been canceled.\n");
    }
    return canceled();
}

int runUpdateWithPin(KeySession& session, bool force, SecretLine& pin) {
    DeviceStatus status{};
    const StatusCode statusResult = session.getDeviceStatus(&status);
    if (statusResult != StatusCode::Success) {
        traceMessage(TraceLevel::Error, "Failed to get device status: %s\n", statusName(statusResult));
        return static_cast<int>(ExitCode::StatusFailed);
    }

    const unsigned major = status.firmwareMajor;
    const unsigned minor = status.firmwareMinor;
    if (force) {
        std::printf("Force update is activated. ver.%u.%u -> ver.%u.%u\n", major, minor,
                    kToolFirmwareMajor, kToolFirmwareMinor);
    } else if (major > 1) {
        // Only the major version decides; every 2.x and above is current.
        std::printf("Current firmware is ver.%u.%u. No update is needed.\n", major, minor);
        return static_cast<int>(ExitCode::NoUpdateNeeded);
    } else {
        std::printf("KORVENE can be updated. ver.%u.%u -> ver.%u.%u\n", major, minor,
                    kToolFirmwareMajor, kToolFirmwareMinor);
    }

    for (const char* line : cautionBanner) std::puts(line);

    if (!confirmUpdate()) return canceled();

    if (status.flags & DeviceStatusFlags::SoPinSet) {
        if (status.flags & DeviceStatusFlags::SoPinLocked) {
            traceMessage(TraceLevel::Error,
                         "SO PIN has been locked. Restore your KORVENE to the factory settings.\n");
            return static_cast<int>(ExitCode::SoPinLocked);
        }
        // An empty try would cost one of the key's few PIN tries; nothing has
        // been sent to the key since the status query, so there is nothing to
        // cancel.
        const bool gotPin = readSoPin(pin);
        // The PIN is on the heap only from here on: nothing the read left in
        // registers or on the stack reaches what the installation window saves.
        wipePinTraces();
        if (!gotPin) return canceled();
    }

    return installAndConclude(session, pin);
}

}  // namespace

int runUpdate(std::unique_ptr<KeySession>& session, bool force) {
    // Nothing has read standard input yet. Unbuffered, stdio takes one byte a
    // read into the FILE itself and keeps no read-ahead block that would hold
    // the PIN line (or, from a pipe, the confirmation and the PIN line) after
    // the PIN is wiped; std::cin, synchronised with stdio, has no buffer of its
    // own. The only failure is an unknown mode.
    (void)std::setvbuf(stdin, nullptr, _IONBF, 0);
    SecretLine pin;
    const int result = runUpdateWithPin(*session, force, pin);
    wipeString(pin);
    return result;
}

}  // namespace korvene
