#include "cli-drive.h"

#include "options.h"
#include "serial.h"
#include "text-escape.h"
#include "timer.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t MATCH_WINDOW_SIZE = 64;
// At most 127 bytes leave in one line: 126 characters and the carriage return.
constexpr std::size_t LINE_MAX_BYTES = CLI_DRIVE_LINE_MAX + 1;
constexpr std::size_t LINE_BUFFER_SIZE = LINE_MAX_BYTES + 1;

constexpr std::uint32_t BOOT_READY_TIMEOUT_MS = 5000;
constexpr std::uint32_t TEXT_READY_TIMEOUT_MS = 3000;
constexpr std::uint32_t PROMPT_TIMEOUT_MS = 2000;
constexpr std::uint32_t RESULT_TIMEOUT_MS = 2000;

constexpr int MENU_ESCAPE_COUNT = 10;
constexpr std::uint8_t ESC = 0x1B;

// The plain prompt ends with an erase-in-line; the menu opens with a cursor position request,
// which is never answered.
constexpr const char* const boot_ready_candidates[] = {"\x1b[K", "\x1b[6n"};
constexpr int BOOT_READY_PLAIN = 0;
constexpr int BOOT_READY_MENU = 1;

constexpr const char* const text_ready_candidates[] = {"\x1b[K"};

constexpr const char* const prompt_candidates[] = {"Installer password: "};

constexpr const char* const result_candidates[] = {
    "Installer mode ON\r\n",
    "ERROR: incorrect password\r\n",
    "Cancelled\r\n",
};
constexpr int RESULT_ON = 0;
constexpr int RESULT_INCORRECT = 1;
constexpr int RESULT_CANCELLED = 2;

template <typename T, std::size_t N> constexpr int table_count(const T (&)[N]) {
    return static_cast<int>(N);
}

// The newest bytes of one wait, oldest first.
struct match_window {
    std::uint8_t bytes[MATCH_WINDOW_SIZE];
    std::size_t fill;
};

void window_push(match_window& window, std::uint8_t byte) {
    if (window.fill < MATCH_WINDOW_SIZE) {
        window.bytes[window.fill] = byte;
        ++window.fill;
        return;
    }
    std::memmove(window.bytes, window.bytes + 1, MATCH_WINDOW_SIZE - 1);
    window.bytes[MATCH_WINDOW_SIZE - 1] = byte;
}

bool window_ends_with(const match_window& window, const char* candidate) {
    if (candidate == nullptr) {
        return false;
    }
    const std::size_t len = std::strlen(candidate);
    return len <= window.fill &&
           std::memcmp(window.bytes + (window.fill - len), candidate, len) == 0;
}

// The console is full of escape sequences and bare CRs; show them so a log stays one line per
// device line.
void echo_byte(std::uint8_t byte) {
    if (byte == '\r') {
        std::fputs("\\r", stderr);
    } else if (byte == '\n') {
        std::fputs("\\n\n[device] ", stderr);
    } else {
        const char c = static_cast<char>(byte);
        std::fputs(escape_text(std::string_view(&c, 1)).c_str(), stderr);
    }
    std::fflush(stderr);
}

bool fail(const char* message) {
    std::fputs(message, stderr);
    return false;
}

} // namespace

int cli_drive_expect(serial_port* port, const char* const* candidates, int count,
                     std::uint32_t timeout_ms) {
    const std::uint64_t deadline_ms = timer_now_ms() + timeout_ms;
    match_window window{};
    if (candidates == nullptr) {
        count = 0;
    }
    if (options.verbose) {
        std::fputs("[device] ", stderr);
        std::fflush(stderr);
    }
    int result = -1;
    while (result < 0) {
        const std::uint64_t now_ms = timer_now_ms();
        if (now_ms >= deadline_ms) {
            break;
        }
        // One byte per read: whatever follows the match stays in the port for the next reader.
        std::uint8_t byte = 0;
        const int got =
            serial_read(port, &byte, 1, static_cast<std::uint32_t>(deadline_ms - now_ms));
        if (got < 0) {
            break;
        }
        if (got == 0) {
            continue;
        }
        if (options.verbose) {
            echo_byte(byte);
        }
        window_push(window, byte);
        for (int i = 0; i < count; ++i) {
            if (window_ends_with(window, candidates[i])) {
                result = i;
                break;
            }
        }
    }
    if (options.verbose) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    return result;
}

bool cli_drive_send_line(serial_port* port, const char* text) {
    if (text == nullptr) {
        return false;
    }
    // Never scan further than the longest text that fits.
    std::size_t n = 0;
    while (n < LINE_MAX_BYTES && text[n] != '\0') {
        ++n;
    }
    if (n + 1 > LINE_MAX_BYTES) {
        return false;
    }
    char line[LINE_BUFFER_SIZE];
    std::memcpy(line, text, n);
    // The console ends a line on CR alone, as typed at a terminal.
    line[n] = '\r';
    return serial_write(port, line, n + 1) == static_cast<int>(n + 1);
}

bool cli_drive_check_password(const char* password, std::size_t len) {
    // The length first: a typed password longer than its buffer holds only its front.
    if (len > CLI_DRIVE_LINE_MAX) {
        std::fprintf(stderr,
                     "ERROR: the installer password cannot be sent as one console line: it is "
                     "longer than %u characters\n",
                     static_cast<unsigned>(CLI_DRIVE_LINE_MAX));
        return false;
    }
    // The console would end the line at a CR or LF and run the rest as a command of its own, and
    // the line is sent as C text, which a NUL would cut short.
    for (std::size_t i = 0; i < len; ++i) {
        const char c = password[i];
        if (c == '\r' || c == '\n' || c == '\0') {
            std::fprintf(stderr,
                         "ERROR: the installer password cannot be sent as one console line: it "
                         "holds %s\n",
                         c == '\0' ? "a NUL character" : "a line break");
            return false;
        }
    }
    return true;
}

bool cli_drive_enter_installer_mode(serial_port* port, const char* password) {
    serial_reset_to_cli(port);

    const int boot = cli_drive_expect(port, boot_ready_candidates,
                                      table_count(boot_ready_candidates), BOOT_READY_TIMEOUT_MS);
    if (boot < 0) {
        return fail("ERROR: device did not reach a ready CLI prompt after reset\n");
    }
    if (boot == BOOT_READY_MENU) {
        std::fputs("[cli-drive] device reset into the menu (already in installer mode) - escaping "
                   "back to plain text\n",
                   stderr);
        // One key press per write, as from a person at a terminal: the menu leaves on ESC.
        for (int i = 0; i < MENU_ESCAPE_COUNT; ++i) {
            if (serial_write(port, &ESC, 1) != 1) {
                return fail("ERROR: failed to send escape while recovering from the menu\n");
            }
        }
        if (cli_drive_expect(port, text_ready_candidates, table_count(text_ready_candidates),
                             TEXT_READY_TIMEOUT_MS) < 0) {
            return fail("ERROR: could not recover a plain CLI prompt after escaping the menu\n");
        }
    } else if (boot != BOOT_READY_PLAIN) {
        return fail("ERROR: device did not reach a ready CLI prompt after reset\n");
    }

    if (!cli_drive_send_line(port, "installer on")) {
        return fail("ERROR: failed to send 'installer on'\n");
    }
    if (cli_drive_expect(port, prompt_candidates, table_count(prompt_candidates),
                         PROMPT_TIMEOUT_MS) < 0) {
        return fail("ERROR: device did not prompt for the installer password - is it actually a "
                    "kelvane-fw-controller on this port?\n");
    }
    if (!cli_drive_send_line(port, password)) {
        return fail("ERROR: failed to send the installer password\n");
    }
    switch (cli_drive_expect(port, result_candidates, table_count(result_candidates),
                             RESULT_TIMEOUT_MS)) {
    case RESULT_ON:
        return true;
    case RESULT_INCORRECT:
        return fail("ERROR: incorrect installer password\n");
    case RESULT_CANCELLED:
        return fail("ERROR: installer mode entry was cancelled\n");
    default:
        return fail("ERROR: no response entering installer mode\n");
    }
}
