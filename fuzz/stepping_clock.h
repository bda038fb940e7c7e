#pragma once

// The session's platform for the harness: a monotonic clock that moves 10 ms
// each time it is read, from a start the script picks (the 32-bit millisecond
// counter may wrap during the initialisation), and a kernel release the script
// picks: a current one (zero, the healthy choice), the last one that needs the
// resync packet, a failing uname, or any 65 bytes.

#include <sys/utsname.h>
#include <time.h>

#include <cstdint>
#include <cstring>

#include "device/session/session_platform.h"
#include "fuzz/fuzz_script.h"

namespace korvene::testing {

class SteppingClock final : public SessionPlatform {
public:
    explicit SteppingClock(FuzzScript& script) : nowMs(script.u32()), release(script.byte() % 4) {
        if (release == 3) script.bytes(reinterpret_cast<uint8_t*>(anyRelease), sizeof(anyRelease));
    }

    void monotonicTime(timespec* now) override {
        now->tv_sec = static_cast<time_t>(nowMs / 1000);
        now->tv_nsec = static_cast<long>(nowMs % 1000) * 1000000L;
        nowMs += 10;
    }

    int kernelName(utsname* name) override {
        std::memset(name, 0, sizeof(*name));
        switch (release) {
            case 0: std::strcpy(name->release, "6.1.0-13-amd64"); return 0;
            case 1: std::strcpy(name->release, "4.16.0"); return 0;
            case 2: return -1;
            default: std::memcpy(name->release, anyRelease, sizeof(name->release)); return 0;
        }
    }

private:
    uint64_t nowMs;
    uint8_t release;
    char anyRelease[sizeof(utsname::release)] = {};
};

}  // namespace korvene::testing
