#pragma once

#include <string>

namespace korvene::testing {

// Makes `input` the process's standard input (file descriptor 0, and so
// `stdin` and `std::cin`) for the feed's lifetime. The input is a regular file,
// so terminal calls on descriptor 0 fail as they do for a pipe, and the reader
// meets end of input after the last byte. Whatever `stdin` had buffered and the
// end-of-input and error states of `stdin` and `std::cin` are dropped when the
// feed starts and again when it ends, so one feed never leaks into the next.
class StdinFeed {
public:
    explicit StdinFeed(const std::string& input);
    ~StdinFeed();
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

private:
    int savedStdin = -1;
};

}  // namespace korvene::testing
