#pragma once

#include <string>

namespace korvene::testing {

// Sends the process's standard output (file descriptor 1, and so `stdout` and
// `std::cout`) to a pipe or to a pseudo-terminal for the capture's lifetime, and
// hands out what was written. The terminal is in raw mode, so the bytes read
// back are exactly the bytes written (no "\r\n" for "\n"). Keep what is written
// between two take() calls under the pipe's capacity (64 KiB).
class StdoutCapture {
public:
    enum class Target { Pipe, Terminal };

    explicit StdoutCapture(Target target = Target::Pipe);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Flushes `stdout` and returns everything written since the last take().
    std::string take();
    // Returns what has reached the descriptor without flushing `stdout` first.
    std::string takeUnflushed();

private:
    bool terminal;
    int readEnd = -1;   // pipe read end or terminal master
    int writeEnd = -1;  // pipe write end or terminal slave
    int savedStdout = -1;
};

}  // namespace korvene::testing
