#pragma once

#include <sys/utsname.h>
#include <time.h>

namespace korvene {

// The two platform calls that the session's initialisation makes, behind a seam
// so that tests can move the clock and choose the kernel release.
class SessionPlatform {
public:
    virtual ~SessionPlatform() {}
    // clock_gettime(CLOCK_MONOTONIC, now).
    virtual void monotonicTime(timespec* now) = 0;
    // uname(name): 0 on success.
    virtual int kernelName(utsname* name) = 0;
};

// The real clock and uname.
SessionPlatform& systemSessionPlatform();

}  // namespace korvene
