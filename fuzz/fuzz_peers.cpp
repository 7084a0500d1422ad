// The peer listing's parser fed arbitrary device output directly, and query_peers on the same
// output through the scripted port and the virtual clock; when the output arrives at once, both
// must fill the same records.
//
// Input: capacity (first byte, taken modulo 33), flags (bit 0: the port hangs up after the
// output; bit 1: the output arrives one byte every 50 ms instead of all at once), then the
// device's output after the command.

#include "fake-device.h"
#include "fuzz-support.h"
#include "peer-query.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr int MAX_CAPACITY = 32;
constexpr char UNTOUCHED = '\x7f';

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A stored word: 1 to 15 characters, NUL-terminated, no white space, and taken from the output.
void check_field(const char (&field)[PEER_FIELD_SIZE], std::string_view output) {
    const void* nul = std::memchr(field, '\0', PEER_FIELD_SIZE);
    FUZZ_CHECK(nul != nullptr);
    const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nul) - field);
    FUZZ_CHECK(len >= 1 && len <= PEER_FIELD_SIZE - 1);
    for (std::size_t i = 0; i < len; ++i) {
        FUZZ_CHECK(!is_white(field[i]));
    }
    FUZZ_CHECK(output.find(std::string_view(field, len)) != std::string_view::npos);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const int capacity = in.byte() % (MAX_CAPACITY + 1);
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

    // Exactly `capacity` records, so a record stored past them is caught.
    const auto peers = std::make_unique<peer[]>(static_cast<std::size_t>(capacity));
    std::memset(peers.get(), UNTOUCHED, sizeof(peer) * static_cast<std::size_t>(capacity));
    const std::uint64_t start_ms = fake::now_ms();
    const int result = query_peers(fake::port(), peers.get(), capacity);

    FUZZ_CHECK(result >= -1 && result <= capacity);
    FUZZ_CHECK(fake::written() == "fwupdate peers\r");
    // The listing's deadline is 3000 ms; the last read may begin just before it.
    FUZZ_CHECK(fake::now_ms() - start_ms <= 3000 + 500);
    for (int i = 0; i < result; ++i) {
        check_field(peers[static_cast<std::size_t>(i)].serial, output);
        check_field(peers[static_cast<std::size_t>(i)].type, output);
    }
    if (result >= 0) {
        for (int i = result; i < capacity; ++i) {
            const auto* raw = reinterpret_cast<const char*>(&peers[static_cast<std::size_t>(i)]);
            for (std::size_t k = 0; k < sizeof(peer); ++k) {
                FUZZ_CHECK(raw[k] == UNTOUCHED);
            }
        }
    }

    const auto parsed = std::make_unique<peer[]>(static_cast<std::size_t>(capacity));
    std::memset(parsed.get(), UNTOUCHED, sizeof(peer) * static_cast<std::size_t>(capacity));
    peer_listing_parser parser;
    peer_listing_init(parser, parsed.get(), capacity);
    bool ended = false;
    for (const char byte : output) {
        ended = peer_listing_feed(parser, byte) == peer_listing_result::end;
        if (ended) {
            break;
        }
    }
    FUZZ_CHECK(parser.filled >= 0 && parser.filled <= capacity);
    if ((flags & 2) == 0) {
        FUZZ_CHECK(result == (ended ? parser.filled : -1));
        if (ended) {
            FUZZ_CHECK(std::memcmp(parsed.get(), peers.get(),
                                   sizeof(peer) * static_cast<std::size_t>(capacity)) == 0);
        }
    }
    return 0;
}
