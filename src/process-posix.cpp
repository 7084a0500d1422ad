#include "process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

void process_prepare_standard_streams() {
    // open takes the lowest free descriptor, and the ones below `fd` are open by the time it is
    // reached, so the null device lands exactly on the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            close(null_fd);
        }
    }
    // Progress goes to whatever reads standard output; when that reader exits, the update goes
    // on and its outcome decides the exit status. The failed writes are simply lost.
    std::signal(SIGPIPE, SIG_IGN);
}
