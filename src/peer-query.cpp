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

// A complete line: the first is passed over, END ends the listing, any other may fill a record.
peer_listing_result end_line(peer_listing_parser& parser) {
    parser.line[parser.line_len] = '\0';
    const bool line_word_cut = parser.word_cut;
    parser.line_len = 0;
    parser.overflowed = false;
    parser.word_cut = false;
    if (!parser.first_line_seen) {
        // Leftovers from before the command and the command's echo end up here.
        parser.first_line_seen = true;
        return peer_listing_result::more;
    }
    if (std::strcmp(parser.line, "END") == 0) {
        parser.ended = true;
        return peer_listing_result::end;
    }
    if (parser.filled < parser.capacity &&
        parse_peer_line(parser.line, line_word_cut, &parser.peers[parser.filled])) {
        ++parser.filled;
    }
    return peer_listing_result::more;
}

} // namespace

void peer_listing_init(peer_listing_parser& parser, peer* peers, int capacity) {
    parser = peer_listing_parser{};
    parser.peers = peers;
    parser.capacity = capacity;
}

peer_listing_result peer_listing_feed(peer_listing_parser& parser, char byte) {
    if (parser.ended) {
        return peer_listing_result::end;
    }
    bool complete = false;
    if (parser.cr_pending) {
        parser.cr_pending = false;
        if (byte == LF) {
            complete = true;
        } else {
            // A bare carriage return rewinds the device's line: what follows replaces it.
            parser.line_len = 0;
            parser.overflowed = false;
            parser.word_cut = false;
        }
    }
    if (!complete) {
        if (byte == CR) {
            parser.cr_pending = true;
            return peer_listing_result::more;
        }
        if (byte == LF) {
            complete = true;
        } else if (parser.line_len < PEER_LINE_SIZE - 1) {
            parser.line[parser.line_len++] = byte;
        } else if (!parser.overflowed) {
            // The first byte past the limit tells whether the limit split a word.
            parser.overflowed = true;
            parser.word_cut = !is_blank(byte) && !is_blank(parser.line[parser.line_len - 1]);
        }
    }
    return complete ? end_line(parser) : peer_listing_result::more;
}

int query_peers(serial_port* port, peer* peers, int capacity) {
    if (!cli_drive_send_line(port, "fwupdate peers")) {
        std::fputs("ERROR: failed to send 'fwupdate peers'\n", stderr);
        return -1;
    }
    // One deadline for the whole listing, counted from the written command.
    const std::uint64_t deadline_ms = timer_now_ms() + PEER_LISTING_TIMEOUT_MS;
    peer_listing_parser listing;
    peer_listing_init(listing, peers, capacity);
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
        if (got > 0 && peer_listing_feed(listing, byte) == peer_listing_result::end) {
            return listing.filled;
        }
    }
}
