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

// Runs `program` with `args` (argv[1] onwards) as a real process: standard input
// from `stdinText` through a pipe (closed after it, so the child sees end of
// input), standard output and standard error captured through pipes, and the
// extra `NAME=value` entries of `environment` added to the environment. A child
// still running after `timeoutSeconds` is killed.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {},
                         const std::string& stdinText = "", int timeoutSeconds = 30);

}  // namespace korvene::testing
