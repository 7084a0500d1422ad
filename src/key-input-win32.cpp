#include "key-input.h"

#include <conio.h>
#include <cstdio>

// The console needs no preparing: _getch reads one key without echo by itself.
void key_input_begin() {}

int key_input_read() {
    for (;;) {
        const int key = _getch();
        if (key == EOF) {
            // No console to read from (stdin a pipe or a null device).
            return -1;
        }
        // Function and arrow keys come as two codes, 0 or 0xE0 and then the key's scan code;
        // neither belongs in a password, so the pair is dropped as one ignored key. The C
        // runtime holds the second code back when it returns the first, so _kbhit reports it
        // waiting. Without it the 0xE0 was a typed letter (as in code page 1252) and is kept.
        if ((key == 0 || key == 0xE0) && _kbhit()) {
            _getch();
            continue;
        }
        return key;
    }
}

void key_input_end() {}
