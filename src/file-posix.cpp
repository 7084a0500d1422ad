#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

file_kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) {
        return file_kind::regular;
    }
    if (S_ISDIR(mode)) {
        return file_kind::directory;
    }
    if (S_ISFIFO(mode)) {
        return file_kind::fifo;
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return file_kind::device;
    }
    if (S_ISSOCK(mode)) {
        return file_kind::socket;
    }
    return file_kind::other;
}

} // namespace

std::FILE* file_open_regular(const char* path, file_kind* kind) {
    *kind = file_kind::unknown;
    struct stat info {};
    // Looked at before it is opened: opening a device may already act on it, and a socket cannot
    // be opened at all.
    if (stat(path, &info) == 0) {
        *kind = kind_of(info.st_mode);
        if (*kind != file_kind::regular) {
            return nullptr;
        }
    }
    // Non-blocking, so that a FIFO put in the file's place since is never waited on.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *kind = file_kind::unknown;
        return nullptr;
    }
    // What was opened decides, not what the path named a moment earlier.
    if (fstat(fd, &info) != 0) {
        *kind = file_kind::unknown;
        close(fd);
        return nullptr;
    }
    *kind = kind_of(info.st_mode);
    const int flags = fcntl(fd, F_GETFL);
    if (*kind != file_kind::regular || flags == -1 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        *kind = file_kind::unknown;
        close(fd);
    }
    return file;
}

int file_seek(std::FILE* file, long long offset, int origin) {
    return fseeko(file, static_cast<off_t>(offset), origin);
}

long long file_tell(std::FILE* file) {
    return static_cast<long long>(ftello(file));
}
