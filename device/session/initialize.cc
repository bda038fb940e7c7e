// Bringing a freshly opened key into a known state: class reset, the halt
// handshake on every bulk endpoint within a time budget, the resync packet on
// old kernels, and the ready check.
#include <cstdio>
#include <cstring>

#include "device/session/key_session.h"
#include "device/session/session_platform.h"

namespace korvene {
namespace {

// Class request to the interface that resets the key's bulk interface.
constexpr uint8_t kClassResetRequestType = 0x21;  // host to device, class, interface
constexpr uint8_t kClassResetRequest = 0xFF;

// Budget of the halt handshake, from its start to the ready query.
constexpr uint32_t kBudgetMs = 3000;
// The clear loop gives up on an endpoint one millisecond earlier.
constexpr uint32_t kClearBudgetMs = 2999;

// Kernels up to this release need the resync packet.
constexpr unsigned kResyncMaxMajor = 4;
constexpr unsigned kResyncMaxMinor = 16;
constexpr size_t kReleaseLength = 64;

enum class Direction { Out, In };

// The monotonic clock as a 32-bit millisecond counter. Differences are taken
// modulo 2^32, so a counter that wraps during the call still measures right.
class Stopwatch {
public:
    explicit Stopwatch(SessionPlatform& platform) : platform(platform), start(now()) {}
    uint32_t elapsed() { return now() - start; }

private:
    uint32_t now() {
        timespec time = {};
        platform.monotonicTime(&time);
        return static_cast<uint32_t>(static_cast<uint64_t>(time.tv_sec) * 1000u +
                                     static_cast<uint64_t>(time.tv_nsec) / 1000000u);
    }

    SessionPlatform& platform;
    uint32_t start;
};

uint8_t endpointAddress(const KvUsbDevice& device, Direction direction, size_t index) {
    const uint32_t i = static_cast<uint32_t>(index);
    return direction == Direction::Out ? device.outEndpointAddress(i) : device.inEndpointAddress(i);
}

// Polls each endpoint back to back until it shows its halt. False once a query
// ends with the budget spent.
bool waitForHalts(KvUsbDevice& device, Direction direction, size_t count, Stopwatch& clock) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t address = endpointAddress(device, direction, i);
        for (;;) {
            const bool halted = device.isEndpointHalted(address);
            if (clock.elapsed() > kBudgetMs) return false;
            if (halted) break;
        }
    }
    return true;
}

// Drops buffered input and clears the halt of each endpoint, repeating the
// clear while the halt persists and the budget lasts. Every endpoint is
// handled; false when any discard or clear request failed.
bool clearHalts(KvUsbDevice& device, Direction direction, size_t count, Stopwatch& clock) {
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t address = endpointAddress(device, direction, i);
        if (!device.discardInput(address)) ok = false;
        for (;;) {
            if (!device.clearHalt(address)) ok = false;
            if (!device.isEndpointHalted(address)) break;
            if (clock.elapsed() > kClearBudgetMs) break;
        }
    }
    return ok;
}

bool kernelNeedsResync(SessionPlatform& platform) {
    utsname name = {};
    if (platform.kernelName(&name) != 0) return false;
    char release[kReleaseLength + 1] = {};
    std::memcpy(release, name.release, strnlen(name.release, kReleaseLength));
    unsigned major = 0;
    unsigned minor = 0;
    // NOLINTNEXTLINE(cert-err34-c): uname's release starts with two small numbers; "%u.%u" reads them.
    if (std::sscanf(release, "%u.%u", &major, &minor) != 2) return false;
    return major < kResyncMaxMajor || (major == kResyncMaxMajor && minor <= kResyncMaxMinor);
}

// A header alone with sequence 0 and the resync flag. The answer is read and
// ignored; what is left of it is dropped when the IN halts are cleared.
void sendResync(KvUsbDevice& device) {
    const uint8_t packet[kFrameHeaderSize] = {kFrameMagic[0], kFrameMagic[1], kFrameMagic[2], kFrameMagic[3],
                                              0, FrameFlags::Resync, 0, 0};
    device.bulkWrite(0, packet, sizeof(packet));
    uint8_t answer[kFrameHeaderSize] = {};
    uint32_t received = 0;
    device.bulkRead(0, answer, sizeof(answer), &received);
}

}  // namespace

bool KeySession::initialize() {
    faulted = 1;
    if (!device->controlTransfer(kClassResetRequestType, kClassResetRequest, 0, 0, 0, nullptr)) return false;
    dropSecureMessaging();

    const size_t inCount = device->inEndpointCount();
    const size_t outCount = device->outEndpointCount();
    Stopwatch clock(*platform);

    if (!waitForHalts(*device, Direction::Out, outCount, clock)) return false;
    if (!waitForHalts(*device, Direction::In, inCount, clock)) return false;
    if (!clearHalts(*device, Direction::Out, outCount, clock)) return false;

    if (kernelNeedsResync(*platform)) sendResync(*device);
    faulted = 0;

    if (!clearHalts(*device, Direction::In, inCount, clock)) return false;
    if (clock.elapsed() > kBudgetMs) return false;

    uint32_t readyState = 0;
    if (getReadyState(&readyState) != StatusCode::Success) return false;
    return readyState == 1;
}

}  // namespace korvene
