#pragma once

#include <string>
#include <vector>

namespace korvene::testing {

// How a child process ended.
struct ProcessEnd {
    int exitCode = -1;  // -1 when it did not exit normally
    int signal = 0;     // the signal that ended it; 0 when it exited or was killed at the deadline
};

// Runs `program` with `args` (argv[1] onwards) as a shell starts a command
// (SIGPIPE at its default action, no signal blocked), with its standard output
// on a pipe whose reader has gone before the child starts, as in
// `korvene-update | true` once `true` has exited. Standard input and standard
// error are /dev/null. A child still running after `timeoutSeconds` is killed
// and the calling test fails.
ProcessEnd runWithStdoutReaderGone(const std::string& program, const std::vector<std::string>& args,
                                   int timeoutSeconds = 30);

}  // namespace korvene::testing
