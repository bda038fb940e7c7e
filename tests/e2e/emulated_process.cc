#include "tests/e2e/emulated_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace korvene::testing {
namespace {

// One end of a pipe to the child, closed when it goes.
struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
    return true;
}

bool startsWithName(const char* entry, const char* name) {
    const size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The caller's environment with the preload library and the testbed added.
// AddressSanitizer builds would refuse a library preloaded ahead of their
// runtime; the option lets them run.
std::vector<std::string> childEnvironment(const std::string& umockdevRoot) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (startsWithName(*entry, "LD_PRELOAD") || startsWithName(*entry, "UMOCKDEV_DIR") ||
            startsWithName(*entry, "ASAN_OPTIONS")) {
            continue;
        }
        entries.emplace_back(*entry);
    }
    entries.push_back(std::string("LD_PRELOAD=") + KORVENE_UMOCKDEV_PRELOAD);
    entries.push_back("UMOCKDEV_DIR=" + umockdevRoot);
    entries.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

void readSome(Fd& from, std::string& into) {
    char chunk[4096];
    const ssize_t count = ::read(from.fd, chunk, sizeof chunk);
    if (count > 0) {
        into.append(chunk, static_cast<size_t>(count));
    } else if (count == 0 || errno != EINTR) {
        from.reset();  // end of output, or the pipe is broken
    }
}

}  // namespace

EmulatedRun runEmulated(const std::string& umockdevRoot, const EmulatedCommand& command) {
    EmulatedRun run;
    // A child that exits before it has read its input must not end this process.
    ::signal(SIGPIPE, SIG_IGN);

    Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (command.input && !makePipe(inRead, inWrite)) return run;
    if (command.capture && (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite))) return run;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (command.input) posix_spawn_file_actions_adddup2(&actions, inRead.fd, STDIN_FILENO);
    if (command.capture) {
        posix_spawn_file_actions_adddup2(&actions, outWrite.fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errWrite.fd, STDERR_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argumentStrings{command.program};
    argumentStrings.insert(argumentStrings.end(), command.arguments.begin(), command.arguments.end());
    std::vector<std::string> environmentStrings = childEnvironment(umockdevRoot);
    std::vector<char*> argv = pointers(argumentStrings);
    std::vector<char*> envp = pointers(environmentStrings);

    const auto start = std::chrono::steady_clock::now();
    pid_t child = -1;
    const int spawned = posix_spawn(&child, command.program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return run;
    run.started = true;

    // The child's ends belong to the child now.
    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    if (inWrite.fd >= 0) ::fcntl(inWrite.fd, F_SETFL, O_NONBLOCK);
    size_t inputSent = 0;
    if (command.input && command.input->empty()) inWrite.reset();

    int status = 0;
    bool exited = false;
    while (!exited || outRead.fd >= 0 || errRead.fd >= 0) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!exited && command.deadlineSeconds > 0 && elapsed > command.deadlineSeconds && !run.killedAtDeadline) {
            ::kill(child, SIGKILL);
            run.killedAtDeadline = true;
        }
        pollfd fds[3];
        nfds_t count = 0;
        int outSlot = -1, errSlot = -1, inSlot = -1;
        if (outRead.fd >= 0) fds[outSlot = static_cast<int>(count++)] = {outRead.fd, POLLIN, 0};
        if (errRead.fd >= 0) fds[errSlot = static_cast<int>(count++)] = {errRead.fd, POLLIN, 0};
        if (inWrite.fd >= 0) fds[inSlot = static_cast<int>(count++)] = {inWrite.fd, POLLOUT, 0};
        ::poll(fds, count, 20);
        if (outSlot >= 0 && fds[outSlot].revents != 0) readSome(outRead, run.output);
        if (errSlot >= 0 && fds[errSlot].revents != 0) readSome(errRead, run.errors);
        if (inSlot >= 0 && fds[inSlot].revents != 0) {
            const ssize_t written =
                ::write(inWrite.fd, command.input->data() + inputSent, command.input->size() - inputSent);
            if (written > 0) inputSent += static_cast<size_t>(written);
            if ((written < 0 && errno != EAGAIN && errno != EINTR) || inputSent == command.input->size()) {
                inWrite.reset();  // all of it is out: the child sees the end of input
            }
        }
        if (!exited && ::waitpid(child, &status, WNOHANG) == child) exited = true;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

}  // namespace korvene::testing
