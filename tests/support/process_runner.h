#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace korvene::testing {

// What a finished child process left behind.
struct ProcessResult {
    int exitCode = -1;    // -1 when it did not exit normally (signal, timeout)
    int signal = 0;       // the signal that ended it; 0 when it exited or was killed at the deadline
    bool coreDumped = false;  // the wait status's core flag
    std::string stdoutText;
    std::string stderrText;
};

// How to start a child process and feed it.
struct ProcessSpec {
    std::string program;
    std::vector<std::string> args;  // argv[1] onwards
    // `NAME=value` entries that replace inherited ones of the same name.
    std::vector<std::string> environment;
    std::string stdinText;
    int timeoutSeconds = 30;
    // The reader of standard output closes it as soon as the first line has
    // arrived (as `| head -n 1` does), and only then is standard input
    // written, so that everything the child prints after reading its input
    // meets a closed pipe. stdoutText then holds what was read up to the close.
    bool closeOutputAfterFirstLine = false;
    // The reader of standard output has gone before the child starts, as in
    // `korvene-update | true` once `true` has exited: every write meets a
    // closed pipe, and stdoutText stays empty.
    bool outputReaderGone = false;
    // 0, 1 or 2: the child starts with that standard descriptor closed, as
    // `<&-`, `>&-` or `2>&-` start it; -1: all three on pipes.
    int closedDescriptor = -1;
    // The child's working directory; empty: this process's.
    std::string workingDirectory;
    // Told the child's pid as soon as it runs, on the calling thread.
    std::function<void(pid_t)> started;
};

// Runs `spec.program` as a real process, started as a shell starts a command
// (SIGPIPE with its default action, whatever this process does with it):
// standard input from `stdinText` through a pipe (closed after it, so the child
// sees end of input), standard output and standard error captured through
// pipes. A child still running after `timeoutSeconds` is killed.
ProcessResult runProcess(const ProcessSpec& spec);

// The same, for the common case.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {},
                         const std::string& stdinText = "", int timeoutSeconds = 30,
                         bool closeOutputAfterFirstLine = false);

}  // namespace korvene::testing
