#include "file.h"

#include <cstdint>
#include <fcntl.h>
#include <io.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The C++ runtime may define it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

file_kind kind_of(HANDLE handle) {
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return file_kind::regular;
    case FILE_TYPE_CHAR:
        return file_kind::device;
    case FILE_TYPE_PIPE:
        return file_kind::fifo;
    default:
        return file_kind::other;
    }
}

} // namespace

std::FILE* file_open_regular(const char* path, file_kind* kind) {
    *kind = file_kind::unknown;
    // A directory cannot be opened as a file; say what it is rather than that access was denied.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *kind = file_kind::directory;
        return nullptr;
    }
    // The sharing of fopen's "rb"; opening a pipe's client end never waits for its server.
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    *kind = kind_of(handle);
    if (*kind != file_kind::regular) {
        CloseHandle(handle);
        return nullptr;
    }
    // From here the descriptor, and then the stream, own the handle.
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd == -1) {
        *kind = file_kind::unknown;
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        *kind = file_kind::unknown;
        _close(fd);
    }
    return file;
}

int file_seek(std::FILE* file, long long offset, int origin) {
    return _fseeki64(file, offset, origin);
}

long long file_tell(std::FILE* file) {
    return _ftelli64(file);
}
