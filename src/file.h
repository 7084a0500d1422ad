#pragma once
// The bundle file on disk: opened for reading only when it is a regular file, and positioned
// with 64-bit offsets. Reads nothing itself and prints nothing; the bundle loader does both.
// Platform files: file-posix.cpp, file-win32.cpp.

#include <cstdint>
#include <cstdio>

// What a path names, as far as the loader needs to tell it.
enum class file_kind : std::uint8_t {
    unknown, // it could not be looked at: missing, not permitted, or the open itself failed
    regular,
    directory,
    fifo, // a named pipe
    device,
    socket,
    other,
};

// Opens `path` for reading in binary mode when it names a regular file, without waiting on a
// FIFO's writer and without taking a terminal as the controlling one. Null otherwise, with
// `*kind` telling what the path named. The caller closes the stream with fclose.
std::FILE* file_open_regular(const char* path, file_kind* kind);

// fseek with a 64-bit offset: 0 on success.
int file_seek(std::FILE* file, long long offset, int origin);

// ftell with a 64-bit result: the position in bytes, or -1 on failure.
long long file_tell(std::FILE* file);
