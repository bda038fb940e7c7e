#include "tests/support/stdout_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <gtest/gtest.h>

namespace korvene::testing {

StdoutCapture::StdoutCapture(Target target) : terminal(target == Target::Terminal) {
    std::cout.flush();
    (void)fflush(stdout);
    int ends[2] = {-1, -1};
    if (!terminal) {
        if (pipe(ends) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
    } else {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&ends[0], &ends[1], nullptr, &raw, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
    }
    readEnd = ends[0];
    writeEnd = ends[1];
    fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
    savedStdout = dup(STDOUT_FILENO);
    dup2(writeEnd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    std::cout.flush();
    (void)fflush(stdout);
    if (savedStdout >= 0) {
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
    }
    if (writeEnd >= 0) {
        close(writeEnd);
    }
    if (readEnd >= 0) {
        close(readEnd);
    }
}

std::string StdoutCapture::take() {
    std::cout.flush();
    (void)fflush(stdout);
    return takeUnflushed();
}

std::string StdoutCapture::takeUnflushed() {
    std::string out;
    if (readEnd < 0) {
        return out;
    }
    // A pipe holds its bytes at once; a terminal passes them on shortly after
    // the write, so wait a little for more before calling the output complete.
    for (;;) {
        pollfd fd{readEnd, POLLIN, 0};
        if (poll(&fd, 1, terminal ? 50 : 0) <= 0 || !(fd.revents & POLLIN)) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(readEnd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace korvene::testing
