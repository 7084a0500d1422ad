#pragma once
// Reads the connected controller's list of CAN peers ("fwupdate peers") into peer records: the
// listing's parser, fed bytes, and the query that sends the command and feeds it the port's
// bytes. Does not decide which peers to update.

#include <cstddef>

struct serial_port;

inline constexpr std::size_t PEER_FIELD_SIZE = 16; // 15 characters and a NUL

struct peer {
    char serial[PEER_FIELD_SIZE];
    char type[PEER_FIELD_SIZE]; // "reader" marks a reader; any other text a controller
};

// Sends "fwupdate peers" and fills up to `capacity` records in listing order, reading the port
// byte by byte into a peer_listing_parser and never past the END line. Returns the number
// filled once the END line arrives, or -1 after one ERROR line on stderr.
int query_peers(serial_port* port, peer* peers, int capacity);

inline constexpr std::size_t PEER_LINE_SIZE = 64; // 63 characters and a NUL

// The listing's parser, fed the device's bytes one at a time. A line ends at LF or CR LF; a bare
// CR rewinds the line. The first line (leftovers from before the command and its echo) is passed
// over; each later line that holds a serial number and a type fills the next record while any is
// left; the line that reads END ends the listing.
struct peer_listing_parser {
    peer* peers; // caller's records
    int capacity;
    int filled;
    bool ended;
    char line[PEER_LINE_SIZE];
    std::size_t line_len;
    bool overflowed; // the current line ran past the buffer
    bool word_cut;   // ... and the limit fell inside a word
    bool cr_pending;
    bool first_line_seen;
};

enum class peer_listing_result {
    more, // the byte was consumed; the listing goes on
    end,  // the END line is complete (or was before): parser.filled records are filled
};

// Starts a listing that fills up to `capacity` records of `peers`.
void peer_listing_init(peer_listing_parser& parser, peer* peers, int capacity);

// Feeds one byte; once `end` is returned, further bytes change nothing and give `end` again.
peer_listing_result peer_listing_feed(peer_listing_parser& parser, char byte);
