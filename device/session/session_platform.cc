#include "device/session/session_platform.h"

namespace korvene {
namespace {

class SystemSessionPlatform final : public SessionPlatform {
public:
    void monotonicTime(timespec* now) override { clock_gettime(CLOCK_MONOTONIC, now); }
    int kernelName(utsname* name) override { return uname(name); }
};

}  // namespace

SessionPlatform& systemSessionPlatform() {
    static SystemSessionPlatform platform;
    return platform;
}

}  // namespace korvene
