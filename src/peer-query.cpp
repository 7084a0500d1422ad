#include "peer-query.h"

#include "cli-drive.h"
#include "serial.h"
#include "text-escape.h"
#include "timer.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

namespace {

constexpr std::uint64_t PEER_LISTING_TIMEOUT_MS = 3000;
constexpr std::uint32_t PEER_READ_TIMEOUT_MS = 500;
// How much of an unusable line its ERROR line quotes, in escaped characters.
constexpr std::size_t QUOTED_LINE_MAX = 80;

constexpr char CR = '\r';
constexpr char LF = '\n';

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The next white-space-delimited word of `line` at or after `*pos`; empty when none is left.
std::string_view next_word(std::string_view line, std::size_t* pos) {
    std::size_t i = *pos;
    while (i < line.size() && is_blank(line[i])) {
        ++i;
    }
    const std::size_t start = i;
    while (i < line.size() && !is_blank(line[i])) {
        ++i;
    }
    *pos = i;
    return line.substr(start, i - start);
}

peer_listing_result fail(peer_listing_parser& parser, std::string error) {
    parser.failed = true;
    parser.error = std::move(error);
    return peer_listing_result::failed;
}

peer_listing_result fail_on_line(peer_listing_parser& parser, const std::string& why) {
    return fail(parser,
                "ERROR: " + why + ": '" + escape_text_cut(parser.line, QUOTED_LINE_MAX) + "'\n");
}

// A complete line after the first: END ends the listing, a blank or one-word line is skipped,
// and every other line names a peer by its first two words; anything after them is ignored.
peer_listing_result peer_line(peer_listing_parser& parser) {
    if (parser.overflowed) {
        return fail_on_line(parser, "peer listing line is longer than " +
                                        std::to_string(PEER_LINE_MAX) +
                                        " characters, so kvup cannot tell which device it names");
    }
    if (parser.line == "END") {
        parser.ended = true;
        return peer_listing_result::end;
    }
    std::size_t pos = 0;
    const std::string_view serial = next_word(parser.line, &pos);
    const std::string_view type = next_word(parser.line, &pos);
    // A one-word header or an echo line names no peer: a peer line is a serial number and a type.
    if (type.empty()) {
        return peer_listing_result::more;
    }
    if (parser.peers.size() == PEER_LISTING_MAX_PEERS) {
        return fail(parser, "ERROR: peer listing names more than " +
                                std::to_string(PEER_LISTING_MAX_PEERS) +
                                " peers, more than kvup keeps - no device was updated\n");
    }
    parser.peers.push_back({std::string(serial), std::string(type)});
    return peer_listing_result::more;
}

peer_listing_result end_line(peer_listing_parser& parser) {
    peer_listing_result result = peer_listing_result::more;
    if (!parser.first_line_seen) {
        // Leftovers from before the command and the command's echo end up here.
        parser.first_line_seen = true;
    } else {
        result = peer_line(parser);
    }
    parser.line.clear();
    parser.overflowed = false;
    return result;
}

} // namespace

void peer_listing_init(peer_listing_parser& parser) {
    parser = peer_listing_parser{};
}

peer_listing_result peer_listing_feed(peer_listing_parser& parser, char byte) {
    if (parser.ended) {
        return peer_listing_result::end;
    }
    if (parser.failed) {
        return peer_listing_result::failed;
    }
    bool complete = false;
    if (parser.cr_pending) {
        parser.cr_pending = false;
        if (byte == LF) {
            complete = true;
        } else {
            // A bare carriage return rewinds the device's line: what follows replaces it.
            parser.line.clear();
            parser.overflowed = false;
        }
    }
    if (!complete) {
        if (byte == CR) {
            parser.cr_pending = true;
            return peer_listing_result::more;
        }
        if (byte == LF) {
            complete = true;
        } else if (!parser.first_line_seen) {
            // Never examined, so never kept: however long the leftovers are, they cost nothing.
        } else if (parser.line.size() < PEER_LINE_MAX) {
            parser.line += byte;
        } else {
            parser.overflowed = true;
        }
    }
    return complete ? end_line(parser) : peer_listing_result::more;
}

int query_peers(serial_port* port, std::vector<peer>& peers) {
    if (!cli_drive_send_line(port, "fwupdate peers")) {
        std::fputs("ERROR: failed to send 'fwupdate peers'\n", stderr);
        return -1;
    }
    // One deadline for the whole listing, counted from the written command.
    const std::uint64_t deadline_ms = timer_now_ms() + PEER_LISTING_TIMEOUT_MS;
    peer_listing_parser listing;
    peer_listing_init(listing);
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
        const peer_listing_result result = peer_listing_feed(listing, byte);
        if (result == peer_listing_result::failed) {
            std::fputs(listing.error.c_str(), stderr);
            return -1;
        }
        if (result == peer_listing_result::end) {
            peers = std::move(listing.peers);
            return static_cast<int>(peers.size());
        }
    }
}
