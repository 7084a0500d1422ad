#include "password-prompt.h"

#include "key-input.h"

#include <cstdio>

namespace {

constexpr int KEY_CR = 13;
constexpr int KEY_LF = 10;
constexpr int KEY_BACKSPACE = 8;
constexpr int KEY_NONE = -1;

// Restores the console on every way out of the prompt.
struct key_input_session {
    key_input_session() { key_input_begin(); }
    ~key_input_session() { key_input_end(); }
    key_input_session(const key_input_session&) = delete;
    key_input_session& operator=(const key_input_session&) = delete;
};

} // namespace

bool password_prompt(char* buffer, std::size_t capacity, std::size_t* typed_len) {
    *typed_len = 0;
    if (capacity == 0) {
        return false; // no room even for the terminating NUL
    }
    std::fputs("Installer password: ", stdout);
    std::fflush(stdout);

    const key_input_session keys;
    // `count` is the typed length, which may run past the room: the characters up to the room
    // are always the typed ones, so Backspace back under it leaves a whole password again.
    const std::size_t room = capacity - 1;
    std::size_t count = 0;
    for (;;) {
        const int key = key_input_read();
        if (key == KEY_NONE) {
            buffer[count < room ? count : room] = '\0';
            return false;
        }
        if (key == KEY_CR || key == KEY_LF) {
            buffer[count < room ? count : room] = '\0';
            *typed_len = count;
            // The key was not echoed, so the prompt's line is still open.
            std::fputs("\n", stdout);
            return true;
        }
        if (key == KEY_BACKSPACE) {
            if (count > 0) {
                --count;
            }
            continue;
        }
        if (count < room) {
            buffer[count] = static_cast<char>(static_cast<unsigned char>(key & 0xFF));
        }
        ++count;
    }
}
