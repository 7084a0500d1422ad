#include "peer-query.h"

#include "cli-drive.h"
#include "serial.h"
#include "timer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint64_t PEER_LISTING_TIMEOUT_MS = 3000;
constexpr std::uint32_t PEER_READ_TIMEOUT_MS = 500;
constexpr std::size_t PEER_LINE_SIZE = 64; // 63 characters and a NUL
constexpr std::size_t PEER_WORD_MAX = PEER_FIELD_SIZE - 1;

constexpr char CR = '\r';
constexpr char LF = '\n';

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// One white-space-delimited word of `line` starting at or after `*pos`; empty when none is left.
struct word {
    const char* text;
    std::size_t len;
};

word next_word(const char* line, std::size_t* pos) {
    std::size_t i = *pos;
    while (line[i] != '\0' && is_blank(line[i])) {
        ++i;
    }
    const std::size_t start = i;
    while (line[i] != '\0' && !is_blank(line[i])) {
        ++i;
    }
    *pos = i;
    return {line + start, i - start};
}

void copy_word(char* field, word w) {
    std::memcpy(field, w.text, w.len);
    field[w.len] = '\0';
}

// A peer line holds a serial number and a type, each at most 15 characters. A longer word is
// never cut to fit: a cut serial number could name a different device, and an update would be
// relayed to it. For the same reason a type that the line-length limit cut short (`word_cut`:
// the limit fell inside a word) is not taken for a shorter type.
bool parse_peer_line(const char* line, bool word_cut, peer* out) {
    std::size_t pos = 0;
    const word serial = next_word(line, &pos);
    const word type = next_word(line, &pos);
    if (serial.len == 0 || type.len == 0 || serial.len > PEER_WORD_MAX ||
        type.len > PEER_WORD_MAX) {
        return false;
    }
    if (word_cut && pos == PEER_LINE_SIZE - 1) {
        return false;
    }
    copy_word(out->serial, serial);
    copy_word(out->type, type);
    return true;
}

} // namespace

int query_peers(serial_port* port, peer* peers, int capacity) {
    if (!cli_drive_send_line(port, "fwupdate peers")) {
        std::fputs("ERROR: failed to send 'fwupdate peers'\n", stderr);
        return -1;
    }
    // One deadline for the whole listing, counted from the written command.
    const std::uint64_t deadline_ms = timer_now_ms() + PEER_LISTING_TIMEOUT_MS;

    char line[PEER_LINE_SIZE];
    std::size_t line_len = 0;
    bool overflowed = false; // the current line ran past the buffer
    bool word_cut = false;   // ... and the limit fell inside a word
    bool cr_pending = false;
    bool first_line_seen = false;
    int filled = 0;

    for (;;) {
        if (timer_now_ms() >= deadline_ms) {
            std::fputs("ERROR: timed out waiting for 'fwupdate peers' to finish\n", stderr);
            return -1;
        }
        char byte = 0;
        const int got = serial_read(port, &byte, 1, PEER_READ_TIMEOUT_MS);
        if (got < 0) {
            std::fputs("ERROR: read failed while querying peers\n", stderr);
            return -1;
        }
        if (got == 0) {
            continue;
        }

        bool complete = false;
        if (cr_pending) {
            cr_pending = false;
            if (byte == LF) {
                complete = true;
            } else {
                // A bare carriage return rewinds the device's line: what follows replaces it.
                line_len = 0;
                overflowed = false;
                word_cut = false;
            }
        }
        if (!complete) {
            if (byte == CR) {
                cr_pending = true;
                continue;
            }
            if (byte == LF) {
                complete = true;
            } else if (line_len < PEER_LINE_SIZE - 1) {
                line[line_len++] = byte;
            } else if (!overflowed) {
                // The first byte past the limit tells whether the limit split a word.
                overflowed = true;
                word_cut = !is_blank(byte) && !is_blank(line[line_len - 1]);
            }
        }
        if (!complete) {
            continue;
        }

        line[line_len] = '\0';
        const bool line_word_cut = word_cut;
        line_len = 0;
        overflowed = false;
        word_cut = false;
        if (!first_line_seen) {
            // Leftovers from before the command and the command's echo end up here.
            first_line_seen = true;
            continue;
        }
        if (std::strcmp(line, "END") == 0) {
            return filled;
        }
        if (filled < capacity && parse_peer_line(line, line_word_cut, &peers[filled])) {
            ++filled;
        }
    }
}
