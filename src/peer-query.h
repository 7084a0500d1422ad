#pragma once
// Reads the connected controller's list of CAN peers ("fwupdate peers") into peer records: the
// listing's parser, fed bytes, and the query that sends the command and feeds it the port's
// bytes. Does not decide which peers to update.

#include <cstddef>
#include <string>
#include <vector>

struct serial_port;

struct peer {
    std::string serial; // as listed, byte for byte: the relay command sends it back unchanged
    std::string type;   // "reader" marks a reader; any other text a controller
};

// The listing is the device's text, so what kvup keeps of it is bounded. A CAN bus holds far
// fewer devices than this; a listing past either bound fails rather than being cut.
inline constexpr std::size_t PEER_LISTING_MAX_PEERS = 4096;
inline constexpr std::size_t PEER_LINE_MAX = 4096; // characters, line end not counted

// Sends "fwupdate peers" and fills `peers` with every listed peer in listing order, reading the
// port byte by byte into a peer_listing_parser and never past the END line. Returns the number
// of peers once the END line arrives, or -1 after one ERROR line on stderr.
int query_peers(serial_port* port, std::vector<peer>& peers);

// The listing's parser, fed the device's bytes one at a time. A line ends at LF or CR LF; a bare
// CR rewinds the line. The first line (leftovers from before the command and its echo) is passed
// over; after it a line that holds fewer than two words (blank, a one-word header or an echo) is
// skipped, the line that reads END ends the listing, and every other line names a peer by its
// first two words, a serial number and a type.
struct peer_listing_parser {
    std::vector<peer> peers;
    std::string line;
    std::string error; // the ERROR line, ending in a line feed, once the listing failed
    bool ended;
    bool failed;
    bool overflowed; // the current line ran past PEER_LINE_MAX
    bool cr_pending;
    bool first_line_seen;
};

enum class peer_listing_result {
    more,   // the byte was consumed; the listing goes on
    end,    // the END line is complete (or was before): parser.peers holds every peer
    failed, // the listing cannot be used (or could not before): parser.error says why
};

// Starts a listing.
void peer_listing_init(peer_listing_parser& parser);

// Feeds one byte; once `end` or `failed` is returned, further bytes change nothing and give the
// same result again.
peer_listing_result peer_listing_feed(peer_listing_parser& parser, char byte);
