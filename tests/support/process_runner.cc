#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/child_environment.h"

namespace korvene::testing {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

ProcessResult runProcess(const ProcessSpec& spec) {
    const std::string& program = spec.program;
    const std::string& stdinText = spec.stdinText;
    const bool closeOutputAfterFirstLine = spec.closeOutputAfterFirstLine;
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return result;
    }
    // A child that exits without reading its input must not kill us.
    (void)signal(SIGPIPE, SIG_IGN);
    int fromOut = out[0];
    if (spec.outputReaderGone) closeIfOpen(fromOut);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int ends[3] = {in[0], out[1], err[1]};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // The pipe of a closed descriptor stays in this process only: its
        // other end is closed at once, as a child that never uses it would.
        if (fd == spec.closedDescriptor) {
            posix_spawn_file_actions_addclose(&actions, fd);
        } else {
            posix_spawn_file_actions_adddup2(&actions, ends[fd], fd);
        }
    }
    if (!spec.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, spec.workingDirectory.c_str());
    }
    // The child starts with SIGPIPE's default action, as under a shell.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : spec.args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = childEnvironment(spec.environment);
    std::vector<char*> envp = nullTerminatedPointers(environment);

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    int toChild = in[1], fromErr = err[0];
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << strerror(spawned);
        closeIfOpen(toChild);
        closeIfOpen(fromOut);
        closeIfOpen(fromErr);
        return result;
    }
    if (spec.started) spec.started(pid);
    fcntl(toChild, F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (stdinText.empty()) {
        closeIfOpen(toChild);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(spec.timeoutSeconds);
    bool timedOut = false;
    while (fromOut >= 0 || fromErr >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        // Input held back until the output's reader has closed it.
        const bool inputDue = !closeOutputAfterFirstLine || fromOut < 0;
        pollfd fds[3] = {{fromOut, POLLIN, 0}, {fromErr, POLLIN, 0}, {inputDue ? toChild : -1, POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0) {
            break;
        }
        int* readers[2] = {&fromOut, &fromErr};
        std::string* sinks[2] = {&result.stdoutText, &result.stderrText};
        for (int i = 0; i < 2; ++i) {
            if (*readers[i] >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t n = read(*readers[i], buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                }
                const bool firstLineRead = i == 0 && closeOutputAfterFirstLine &&
                                           result.stdoutText.find('\n') != std::string::npos;
                if (n <= 0 || firstLineRead) {
                    closeIfOpen(*readers[i]);
                }
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(toChild, stdinText.data() + written, stdinText.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            }
            if (n < 0 || written == stdinText.size()) {
                closeIfOpen(toChild);
            }
        }
    }
    closeIfOpen(toChild);
    closeIfOpen(fromOut);
    closeIfOpen(fromErr);
    if (timedOut) {
        kill(pid, SIGKILL);
        ADD_FAILURE() << program << " did not end within " << spec.timeoutSeconds << " s";
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!timedOut && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    if (!timedOut && WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.coreDumped = WCOREDUMP(status);
    }
    return result;
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment, const std::string& stdinText,
                         int timeoutSeconds, bool closeOutputAfterFirstLine) {
    ProcessSpec spec;
    spec.program = program;
    spec.args = args;
    spec.environment = environment;
    spec.stdinText = stdinText;
    spec.timeoutSeconds = timeoutSeconds;
    spec.closeOutputAfterFirstLine = closeOutputAfterFirstLine;
    return runProcess(spec);
}

}  // namespace korvene::testing
