#include "tool/process_hardening.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

namespace korvene {

void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is `fd` itself, since the ones below are open.
        const int opened = open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened != -1 && opened != fd) {
            (void)dup2(opened, fd);
            (void)close(opened);
        }
    }
}

void forbidCoreDumps() { (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

}  // namespace korvene
