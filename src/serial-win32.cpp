#include "serial.h"

#include "timer.h"

#include <cstdio>
#include <cstring>
#include <new>

// WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (CMakeLists.txt).
#include <windows.h>

struct serial_port {
    HANDLE handle;
};

namespace {

// Binary mode is what makes the driver pass every byte unchanged; parity checking would turn
// line errors into replaced bytes.
void serial_apply_line_settings(DCB& dcb) {
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
}

// ReadIntervalTimeout MAXDWORD with no multiplier: a read returns at once with what is buffered,
// or waits up to the read constant for the first byte. A write constant of 0 means no write
// time-out, so every write sets its own, and every read its own, before the call; neither
// relies on what the other left.
void serial_set_timeouts(HANDLE handle, DWORD read_constant_ms, DWORD write_constant_ms) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_constant_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = write_constant_ms;
    SetCommTimeouts(handle, &timeouts);
}

} // namespace

serial_port* serial_open(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    // The device namespace reaches COM10 and above too; the 64-byte buffer cuts long names.
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    const HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return nullptr;
    }
    serial_apply_line_settings(dcb);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return nullptr;
    }
    serial_set_timeouts(handle, 0, 0);
    serial_port* port = new (std::nothrow) serial_port{handle};
    if (port == nullptr) {
        CloseHandle(handle);
    }
    return port;
}

void serial_close(serial_port* port) {
    if (port == nullptr) {
        return;
    }
    // Output still queued is output the device is not taking (every write is followed by a wait
    // for its answer): it is dropped, so the close does not wait on it.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port->handle, &errors, &status) || status.cbOutQue > 0) {
        PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    CloseHandle(port->handle);
    delete port;
}

int serial_read(serial_port* port, void* buffer, std::size_t count, std::uint32_t timeout_ms) {
    if (port == nullptr) {
        return -1;
    }
    serial_set_timeouts(port->handle, timeout_ms, 0);
    // The result is an int, so one read never asks for more than an int can report.
    const DWORD wanted = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(count);
    DWORD got = 0;
    if (!ReadFile(port->handle, buffer, wanted, &got, nullptr)) {
        return -1;
    }
    return static_cast<int>(got);
}

int serial_write(serial_port* port, const void* bytes, std::size_t count) {
    if (port == nullptr || count > 0x7FFFFFFFu) {
        return -1;
    }
    // One deadline for the whole call; each WriteFile may wait only for what is left of it.
    const std::uint64_t deadline_ms = timer_now_ms() + serial_write_bound_ms(count);
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    while (written < count) {
        const std::uint64_t now_ms = timer_now_ms();
        if (now_ms >= deadline_ms) {
            break; // a write constant of 0 would wait for ever
        }
        serial_set_timeouts(port->handle, 0, static_cast<DWORD>(deadline_ms - now_ms));
        DWORD put = 0;
        const BOOL ok = WriteFile(port->handle, next + written, static_cast<DWORD>(count - written),
                                  &put, nullptr);
        if (!ok || put == 0) {
            break;
        }
        written += put;
    }
    if (written == 0 && count > 0) {
        return -1;
    }
    return static_cast<int>(written);
}

void serial_reset_to_cli(serial_port* port) {
    if (port == nullptr) {
        return;
    }
    // The purge comes before the pulse, so everything the controller says from its reset on is
    // kept for the next read.
    timer_sleep_ms(SERIAL_RESET_SETTLE_MS);
    PurgeComm(port->handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    EscapeCommFunction(port->handle, CLRDTR);
    timer_sleep_ms(SERIAL_RESET_PULSE_MS);
    EscapeCommFunction(port->handle, SETDTR);
    timer_sleep_ms(SERIAL_RESET_BOOT_MS);
}
