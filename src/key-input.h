#pragma once
// One unechoed key at a time from the console, for the password prompt.
// Platform files: key-input-posix.cpp, key-input-win32.cpp.

// Prepares the console for unechoed single-key input (on a terminal: echo and line mode off,
// restored by key_input_end and on every way out, a signal included).
void key_input_begin();

// The next key's code, waiting for it: 13 or 10 for Enter, 8 for Backspace (the terminal's erase
// character is delivered as 8), otherwise the byte. -1 when no more keys can be read.
int key_input_read();

// Restores the console as key_input_begin found it. Safe to call more than once.
void key_input_end();
