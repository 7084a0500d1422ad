#pragma once
// Asks for the installer password at a hidden prompt: nothing typed is ever shown.

#include <cstddef>

// Writes "Installer password: " to stdout and reads keys until Enter (13 or 10), Backspace (8)
// erasing; the first capacity - 1 characters are kept and `typed_len` counts them all, so a
// password longer than the buffer is seen as such instead of as its cut front. True with a
// NUL-terminated password in `buffer`; false when no more keys can be read.
bool password_prompt(char* buffer, std::size_t capacity, std::size_t* typed_len);
