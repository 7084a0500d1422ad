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

bool password_prompt(char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return false; // no room even for the terminating NUL
    }
    std::fputs("Installer password: ", stdout);
    std::fflush(stdout);

    const key_input_session keys;
    std::size_t count = 0;
    for (;;) {
        const int key = key_input_read();
        if (key == KEY_NONE) {
            buffer[count] = '\0';
            return false;
        }
        if (key == KEY_CR || key == KEY_LF) {
            buffer[count] = '\0';
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
        // Keys beyond the room are dropped silently; the typist gets no hint of the length.
        if (count + 1 < capacity) {
            buffer[count++] = static_cast<char>(static_cast<unsigned char>(key & 0xFF));
        }
    }
}
