#include "crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

std::uint32_t crc32_split(const std::vector<std::uint8_t>& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : data) {
        crc = crc32_update(crc, byte);
    }
    return crc32_finalise(crc);
}

struct check_value {
    const char* name;
    std::vector<std::uint8_t> data;
    std::uint32_t crc;
};

// Catalogue values of CRC-32/ISO-HDLC; any table-free implementation must reproduce them.
const std::vector<check_value>& check_values() {
    static const std::vector<check_value> values = {
        {"empty", {}, 0x00000000u},
        {"catalogue check 123456789", bytes_of("123456789"), 0xCBF43926u},
        {"abc", bytes_of("abc"), 0x352441C2u},
        {"single 0xFF", {0xFF}, 0xFF000000u},
        {"single 0x00", {0x00}, 0xD202EF8Du},
    };
    return values;
}

TEST(Crc32, CheckValuesOneShotAndSplit) {
    for (const auto& value : check_values()) {
        SCOPED_TRACE(value.name);
        const auto len = static_cast<std::uint32_t>(value.data.size());
        EXPECT_EQ(crc32(value.data.data(), len), value.crc);
        EXPECT_EQ(crc32_split(value.data), value.crc);
    }
}

// Every split of a run, including the empty prefix and the empty suffix, and runs long enough
// for the length's higher bits to count.
TEST(Crc32, SuffixFromTheWholeAndThePrefixEqualsTheSuffixComputedDirectly) {
    for (const std::size_t len :
         {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{300}, std::size_t{70000}}) {
        std::vector<std::uint8_t> run(len);
        for (std::size_t i = 0; i < len; ++i) {
            run[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8) + 7);
        }
        const std::uint32_t whole = crc32(run.data(), static_cast<std::uint32_t>(len));
        for (std::size_t split = 0; split <= len; split += (len < 400 ? 1 : 997)) {
            SCOPED_TRACE(std::to_string(len) + " split at " + std::to_string(split));
            const std::uint32_t prefix = crc32(run.data(), static_cast<std::uint32_t>(split));
            const std::uint32_t suffix =
                crc32(run.data() + split, static_cast<std::uint32_t>(len - split));
            EXPECT_EQ(crc32_suffix(whole, prefix, len - split), suffix);
        }
    }
    const std::vector<std::uint8_t> digits = bytes_of("abc123456789");
    EXPECT_EQ(crc32_suffix(crc32(digits.data(), 12), 0x352441C2u, 9), 0xCBF43926u);
}

TEST(Crc32, ZeroLengthNeverTouchesThePointer) {
    EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(Crc32, HighBytesAreTakenUnsigned) {
    // Every byte value once: a sign-extended byte would corrupt bits 8 to 31 for 0x80..0xFF.
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(crc32(all.data(), 256), 0x29058C73u);
    EXPECT_EQ(crc32_split(all), 0x29058C73u);
}

TEST(Crc32, SplitFormOverGatheredPiecesEqualsOneShot) {
    // A frame as the reader sees it: a type byte, a 16-bit length taken apart, then the payload
    // from a buffer of its own.
    const std::uint8_t type = 0x81;
    const std::uint16_t payload_len = 300;
    std::vector<std::uint8_t> payload(payload_len);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }

    std::uint32_t crc = 0xFFFFFFFFu;
    crc = crc32_update(crc, type);
    crc = crc32_update(crc, static_cast<std::uint8_t>(payload_len & 0xFF));
    crc = crc32_update(crc, static_cast<std::uint8_t>(payload_len >> 8));
    for (std::uint8_t byte : payload) {
        crc = crc32_update(crc, byte);
    }

    std::vector<std::uint8_t> contiguous = {type, static_cast<std::uint8_t>(payload_len & 0xFF),
                                            static_cast<std::uint8_t>(payload_len >> 8)};
    contiguous.insert(contiguous.end(), payload.begin(), payload.end());
    EXPECT_EQ(crc32_finalise(crc),
              crc32(contiguous.data(), static_cast<std::uint32_t>(contiguous.size())));
}

} // namespace
