// The peer listing's parser fed arbitrary device output directly, and query_peers on the same
// output through the scripted port and the virtual clock; when the output arrives at once, both
// must agree: the same peers, or the same failure.
//
// Input: flags (bit 0: the port hangs up after the output; bit 1: the output arrives one byte
// every 50 ms instead of all at once), then the device's output after the command.

#include "fake-device.h"
#include "fuzz-support.h"
#include "peer-query.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The longest ERROR line the parser writes: its text and a quoted line of at most 80 escaped
// characters and "...".
constexpr std::size_t ERROR_LINE_MAX = 256;

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A kept word: 1 to PEER_LINE_MAX bytes, no white space, and taken from the output whole.
void check_word(const std::string& word, std::string_view output) {
    FUZZ_CHECK(!word.empty() && word.size() <= PEER_LINE_MAX);
    for (const char c : word) {
        FUZZ_CHECK(!is_white(c));
    }
    FUZZ_CHECK(output.find(word) != std::string_view::npos);
}

// One line on the terminal that the device's bytes cannot drive: printable ASCII, one line feed.
void check_error_line(const std::string& error) {
    FUZZ_CHECK(error.size() <= ERROR_LINE_MAX);
    FUZZ_CHECK(error.rfind("ERROR: ", 0) == 0);
    FUZZ_CHECK(error.back() == '\n');
    for (std::size_t i = 0; i + 1 < error.size(); ++i) {
        const auto byte = static_cast<unsigned char>(error[i]);
        FUZZ_CHECK(byte >= 0x20 && byte <= 0x7E);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::string_view output = in.rest();

    fake::reset();
    if ((flags & 2) != 0) {
        for (std::size_t i = 0; i < output.size(); ++i) {
            fake::device_sends(output.substr(i, 1), 50 * i);
        }
    } else {
        fake::device_sends(output);
    }
    if ((flags & 1) != 0) {
        fake::device_hangs_up();
    }

    std::vector<peer> peers = {{"untouched", "untouched"}};
    const std::uint64_t start_ms = fake::now_ms();
    const int result = query_peers(fake::port(), peers);

    FUZZ_CHECK(result >= -1 && result <= static_cast<int>(PEER_LISTING_MAX_PEERS));
    FUZZ_CHECK(fake::written() == "fwupdate peers\r");
    // The listing's deadline is 3000 ms; the last read may begin just before it.
    FUZZ_CHECK(fake::now_ms() - start_ms <= 3000 + 500);
    if (result >= 0) {
        FUZZ_CHECK(peers.size() == static_cast<std::size_t>(result));
        for (const peer& p : peers) {
            check_word(p.serial, output);
            check_word(p.type, output);
        }
    }

    peer_listing_parser parser;
    peer_listing_init(parser);
    peer_listing_result parsed = peer_listing_result::more;
    for (const char byte : output) {
        parsed = peer_listing_feed(parser, byte);
        if (parsed != peer_listing_result::more) {
            break;
        }
    }
    FUZZ_CHECK(parser.peers.size() <= PEER_LISTING_MAX_PEERS);
    if (parsed == peer_listing_result::failed) {
        check_error_line(parser.error);
        // Only a line past the bound or a peer past the bound fails a listing: a line of fewer
        // than two words names no peer and is skipped.
        FUZZ_CHECK(parser.peers.size() == PEER_LISTING_MAX_PEERS ||
                   parser.error.rfind("ERROR: peer listing line is longer than ", 0) == 0);
    } else {
        FUZZ_CHECK(parser.error.empty());
    }
    if ((flags & 2) == 0) {
        FUZZ_CHECK(
            result ==
            (parsed == peer_listing_result::end ? static_cast<int>(parser.peers.size()) : -1));
        if (result >= 0) {
            for (std::size_t i = 0; i < peers.size(); ++i) {
                FUZZ_CHECK(peers[i].serial == parser.peers[i].serial);
                FUZZ_CHECK(peers[i].type == parser.peers[i].type);
            }
        }
    }
    return 0;
}
