#pragma once

#include <string>
#include <vector>

namespace korvene::testing {

// What a finished child process left behind.
struct ProcessResult {
    int exitCode = -1;    // -1 when it did not exit normally (signal, timeout)
    std::string stdoutText;
    std::string stderrText;
};

// Runs `program` with `args` (argv[1] onwards) as a real process, started as a
// shell starts a command (SIGPIPE with its default action, whatever this
// process does with it): standard input from `stdinText` through a pipe
// (closed after it, so the child sees end of input), standard output and
// standard error captured through pipes, and the extra `NAME=value` entries of
// `environment` added to the environment. A child still running after
// `timeoutSeconds` is killed.
//
// With `closeOutputAfterFirstLine`, the reader of standard output closes it as
// soon as the first line has arrived (as `| head -n 1` does), and only then is
// standard input written, so that everything the child prints after reading
// its input meets a closed pipe. stdoutText then holds what was read up to the
// close.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {},
                         const std::string& stdinText = "", int timeoutSeconds = 30,
                         bool closeOutputAfterFirstLine = false);

}  // namespace korvene::testing
