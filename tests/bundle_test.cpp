#include "bundle.h"

#include "builders.h"
#include "crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <stdlib.h>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// One table entry as it lies in the file.
struct raw_entry {
    std::uint16_t variant;
    std::uint8_t bank;
    std::uint32_t tag;
    std::uint32_t len;
    std::uint32_t crc;
    std::uint64_t offset;
};

constexpr std::uint64_t HEADER_LEN = 16;
constexpr std::uint64_t ENTRY_LEN = 32;

bytes header(std::uint32_t version, std::uint32_t count, const char* magic = "KVFWBNDL") {
    bytes out(HEADER_LEN);
    for (int i = 0; i < 8; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(magic[i]);
    }
    set_le(out, 8, version, 4);
    set_le(out, 12, count, 4);
    return out;
}

// Version 1 header, the given table, then `tail` (the images and anything else).
bytes make_bundle(const std::vector<raw_entry>& entries, const bytes& tail = {}) {
    bytes out = header(1, static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        const std::size_t at = out.size();
        out.resize(at + ENTRY_LEN, 0xEE); // reserved bytes hold junk on purpose
        set_le(out, at, e.variant, 2);
        out[at + 2] = e.bank;
        set_le(out, at + 4, e.tag, 4);
        set_le(out, at + 8, e.len, 4);
        set_le(out, at + 12, e.crc, 4);
        set_le(out, at + 16, e.offset, 8);
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

bytes text(const std::string& s) {
    return {s.begin(), s.end()};
}

std::uint64_t table_end(std::size_t count) {
    return HEADER_LEN + ENTRY_LEN * count;
}

// Known CRCs, written out so the loader's check is not measured against its own CRC code.
const bytes DIGITS = text("123456789");
constexpr std::uint32_t DIGITS_CRC = 0xCBF43926u;
const bytes ABC = text("abc");
constexpr std::uint32_t ABC_CRC = 0x352441C2u;

std::size_t open_fd_count() {
    std::error_code ec;
    std::size_t count = 0;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
}

std::string replace_path(std::string message, const std::string& path) {
    const auto at = message.find("%s");
    if (at != std::string::npos) {
        message.replace(at, 2, path);
    }
    return message;
}

class BundleLoad : public testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "kvup-bundle-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string write(const std::string& name, const bytes& content) {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

    // Loads `path` and returns what the loader wrote to stderr.
    bundle* load(const std::string& path, std::string& err) {
        testing::internal::CaptureStderr();
        bundle* b = bundle_load(path.c_str());
        err = testing::internal::GetCapturedStderr();
        return b;
    }

    fs::path dir_;
};

TEST_F(BundleLoad, SmallestRealBundleLoadsAndAnswersLookups) {
    // The 52-byte bundle: one entry for variant 7 bank B, its four image bytes at 48..51.
    const bytes image = {0xDE, 0xAD, 0xBE, 0xEF};
    const bytes file = make_bundle({{7, 'B', 5, 4, crc32(image.data(), 4), table_end(1)}}, image);
    ASSERT_EQ(file.size(), 52u);
    std::string err;
    bundle* b = load(write("b.kvfw", file), err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(err, "");
    EXPECT_EQ(b->entry_count, 1u);
    EXPECT_EQ(bytes(b->file_data, b->file_data + 52), file);

    const bundle_entry* e = bundle_find(b, 7, 'B');
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, &b->entries[0]);
    EXPECT_EQ(e->variant, 7);
    EXPECT_EQ(e->bank, 'B');
    EXPECT_EQ(e->image_tag, 5u);
    EXPECT_EQ(e->image_len, 4u);
    EXPECT_EQ(e->image, b->file_data + 48);

    EXPECT_EQ(bundle_find(b, 7, 'A'), nullptr);
    EXPECT_EQ(bundle_find(b, 6, 'B'), nullptr);
    EXPECT_EQ(bundle_find(b, 7, 'b'), nullptr);
    EXPECT_EQ(bundle_find(b, 7 + 0x100, 'B'), nullptr);
    bundle_free(b);
}

TEST_F(BundleLoad, HeaderOnlyBundleIsEmpty) {
    std::string err;
    bundle* b = load(write("empty.kvfw", header(1, 0)), err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(err, "");
    EXPECT_EQ(b->entry_count, 0u);
    EXPECT_EQ(bundle_find(b, 0, 'A'), nullptr);
    EXPECT_EQ(bundle_find(b, 0, 'B'), nullptr);
    bundle_free(b);
    bundle_free(nullptr);
}

TEST_F(BundleLoad, MultiByteFieldsAreLittleEndian) {
    // Distinct bytes in every field, and an image beyond offset 255, so a swapped or truncated
    // read of any field shows.
    // Sized once and filled by copy: g++ 12 at -O3 misreads vector::insert's growth here as an
    // out-of-bounds memmove (-Warray-bounds).
    bytes tail(300 + DIGITS.size(), 0x5A);
    std::copy(DIGITS.begin(), DIGITS.end(), tail.begin() + 300);
    const std::uint64_t offset = table_end(1) + 300;
    std::string err;
    bundle* b = load(
        write("le.kvfw", make_bundle({{0xFEDC, 'A', 0x89ABCDEF, 9, DIGITS_CRC, offset}}, tail)),
        err);
    ASSERT_NE(b, nullptr) << err;
    const bundle_entry* e = bundle_find(b, 0xFEDC, 'A');
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->image_tag, 0x89ABCDEFu);
    EXPECT_EQ(e->image_len, 9u);
    EXPECT_EQ(e->image, b->file_data + offset);
    bundle_free(b);
}

TEST_F(BundleLoad, AcceptedPlacements) {
    struct accepted_case {
        const char* name;
        bytes file;
    };
    const std::uint64_t end1 = table_end(1);
    const std::uint64_t end2 = table_end(2);
    const std::uint64_t end6 = table_end(6);
    bytes abc_digits = ABC;
    abc_digits.insert(abc_digits.end(), DIGITS.begin(), DIGITS.end());
    bytes trailing = DIGITS;
    trailing.insert(trailing.end(), {0x00, 0xFF, 0x13});

    const bytes header_image = header(1, 1);
    const std::uint32_t header_crc = crc32(header_image.data(), 16);
    const std::vector<accepted_case> cases = {
        {"image ends exactly at end of file",
         make_bundle({{1, 'A', 0, 9, DIGITS_CRC, end1}}, DIGITS)},
        {"zero-length image at end of file", make_bundle({{1, 'A', 0, 0, 0, end1}})},
        {"zero-length image at offset 0", make_bundle({{1, 'B', 0, 0, 0, 0}}, DIGITS)},
        {"trailing bytes after the last image",
         make_bundle({{1, 'A', 0, 9, DIGITS_CRC, end1}}, trailing)},
        {"image overlapping the header", make_bundle({{1, 'A', 0, 16, header_crc, 0}})},
        {"two entries sharing the same bytes",
         make_bundle({{1, 'A', 0, 3, ABC_CRC, end2}, {2, 'B', 0, 3, ABC_CRC, end2}}, ABC)},
        // CRC-32s written out for "bc1", "c123456789" and "9" inside "abc123456789".
        {"images overlapping each other in every way, in no order",
         make_bundle({{1, 'A', 0, 10, 0xF4A7FA8Du, end6 + 2},
                      {1, 'B', 0, 3, 0xAB1CFE02u, end6 + 1},
                      {2, 'A', 0, 9, DIGITS_CRC, end6 + 3},
                      {2, 'B', 0, 1, 0x8D076785u, end6 + 11},
                      {3, 'A', 0, 3, ABC_CRC, end6},
                      {3, 'B', 0, 0, 0, end6 + 5}},
                     abc_digits)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        bundle* b = load(write("ok.kvfw", c.file), err);
        EXPECT_NE(b, nullptr);
        EXPECT_EQ(err, "");
        bundle_free(b);
    }
}

TEST_F(BundleLoad, DuplicateVariantAndBankBothLoadAndTheLowerIndexWins) {
    const std::uint64_t end = table_end(3);
    bytes images = ABC;
    images.insert(images.end(), DIGITS.begin(), DIGITS.end());
    const bytes file = make_bundle({{3, 'B', 10, 3, ABC_CRC, end},
                                    {3, 'A', 11, 3, ABC_CRC, end},
                                    {3, 'A', 12, 9, DIGITS_CRC, end + 3}},
                                   images);
    std::string err;
    bundle* b = load(write("dup.kvfw", file), err);
    ASSERT_NE(b, nullptr) << err;
    EXPECT_EQ(b->entry_count, 3u);
    const bundle_entry* e = bundle_find(b, 3, 'A');
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, &b->entries[1]);
    EXPECT_EQ(e->image_tag, 11u);
    EXPECT_EQ(b->entries[2].image, b->file_data + end + 3);
    bundle_free(b);
}

struct refusal_case {
    const char* name;
    bytes file;
    std::string message; // "%s" stands for the path
};

std::vector<refusal_case> refusal_cases() {
    const std::uint64_t end1 = table_end(1);
    const std::uint64_t end4 = table_end(4);
    bytes four_images;
    for (int i = 0; i < 4; ++i) {
        four_images.insert(four_images.end(), ABC.begin(), ABC.end());
    }
    const auto at = [end4](int i) { return end4 + 3 * static_cast<std::uint64_t>(i); };
    const std::uint64_t end2 = table_end(2);
    const std::uint64_t end3 = table_end(3);
    bytes abc_then_digits = ABC;
    abc_then_digits.insert(abc_then_digits.end(), DIGITS.begin(), DIGITS.end());
    bytes abc_twice = ABC;
    abc_twice.insert(abc_twice.end(), ABC.begin(), ABC.end());
    bytes truncated_table = header(1, 1);
    truncated_table.resize(47);
    bytes fifteen = header(1, 0);
    fifteen.resize(15);

    return {
        {"empty file", {}, "ERROR: '%s' is too small to be a firmware bundle\n"},
        {"15 bytes", fifteen, "ERROR: '%s' is too small to be a firmware bundle\n"},
        {"magic is tested before the version", header(7, 0, "KVFWBNDX"),
         "ERROR: '%s' is not a firmware bundle (bad magic)\n"},
        {"lower-case magic", header(1, 0, "kvfwbndl"),
         "ERROR: '%s' is not a firmware bundle (bad magic)\n"},
        {"version 2", header(2, 0),
         "ERROR: '%s' is bundle format version 2, this kvup only understands version 1\n"},
        {"version 0x01000000 (byte-swapped 1)", header(0x01000000, 0),
         "ERROR: '%s' is bundle format version 16777216, this kvup only understands version 1\n"},
        {"one entry in 47 bytes", truncated_table,
         "ERROR: '%s' is truncated (entry table extends past end of file)\n"},
        {"count 0xFFFFFFFF", header(1, 0xFFFFFFFFu),
         "ERROR: '%s' is truncated (entry table extends past end of file)\n"},
        {"count 0x08000000 (32 * count wraps in 32 bits)", header(1, 0x08000000u),
         "ERROR: '%s' is truncated (entry table extends past end of file)\n"},
        {"bank a", make_bundle({{1, 'a', 0, 0, 0, 0}}),
         "ERROR: '%s' entry 0 has invalid bank 'a'\n"},
        {"bank C", make_bundle({{1, 'C', 0, 0, 0, 0}}),
         "ERROR: '%s' entry 0 has invalid bank 'C'\n"},
        {"bank 0x00", make_bundle({{1, 0x00, 0, 0, 0, 0}}),
         std::string("ERROR: '%s' entry 0 has invalid bank '") + '\0' + "'\n"},
        {"image one byte past end of file",
         make_bundle({{1, 'A', 0, 10, DIGITS_CRC, end1}}, DIGITS),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"zero-length image one past end of file", make_bundle({{1, 'A', 0, 0, 0, end1 + 1}}),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"offset 2^64 - 1", make_bundle({{1, 'A', 0, 1, 0, ~std::uint64_t{0}}}),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"offset + length wraps past 2^64",
         make_bundle({{1, 'A', 0, 0x40, 0, ~std::uint64_t{0} - 0x0F}}, bytes(64)),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"offset with only the high word set", make_bundle({{1, 'A', 0, 0, 0, 0x100000000ull}}),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"CRC mismatch", make_bundle({{0x1234, 'B', 0, 9, 0x12345678u, end1}}, DIGITS),
         "ERROR: '%s' entry 0 (variant 4660 bank B) failed its own CRC check (stored 0x12345678, "
         "actual 0xcbf43926) - bundle is corrupt\n"},
        {"bank is tested before bounds and CRC",
         make_bundle({{1, 'x', 0, 99, 1, ~std::uint64_t{0}}}),
         "ERROR: '%s' entry 0 has invalid bank 'x'\n"},
        {"bounds are tested before the CRC", make_bundle({{1, 'A', 0, 99, 1, end1}}, DIGITS),
         "ERROR: '%s' entry 0's image extends past end of file\n"},
        {"entry 2's CRC is reported, entry 3's bank is never looked at",
         make_bundle({{5, 'A', 0, 3, ABC_CRC, at(0)},
                      {5, 'B', 0, 3, ABC_CRC, at(1)},
                      {6, 'A', 0, 3, 0, at(2)},
                      {6, '?', 0, 3, ABC_CRC, at(3)}},
                     four_images),
         "ERROR: '%s' entry 2 (variant 6 bank A) failed its own CRC check (stored 0x00000000, "
         "actual 0x352441c2) - bundle is corrupt\n"},
        // Entries that share an image are each held to their own stored CRC.
        {"shared image, the second entry's CRC is wrong",
         make_bundle({{1, 'A', 0, 3, ABC_CRC, end2}, {1, 'B', 0, 3, 0xBAD0BAD0u, end2}}, ABC),
         "ERROR: '%s' entry 1 (variant 1 bank B) failed its own CRC check (stored 0xbad0bad0, "
         "actual 0x352441c2) - bundle is corrupt\n"},
        {"shared image, the first entry's CRC is wrong",
         make_bundle({{1, 'A', 0, 3, 0xBAD0BAD0u, end2}, {1, 'B', 0, 3, ABC_CRC, end2}}, ABC),
         "ERROR: '%s' entry 0 (variant 1 bank A) failed its own CRC check (stored 0xbad0bad0, "
         "actual 0x352441c2) - bundle is corrupt\n"},
        {"shared image, a lower image between the two sharers",
         make_bundle({{1, 'A', 0, 3, ABC_CRC, end3 + 3},
                      {2, 'A', 0, 3, ABC_CRC, end3},
                      {1, 'B', 0, 3, DIGITS_CRC, end3 + 3}},
                     abc_twice),
         "ERROR: '%s' entry 2 (variant 1 bank B) failed its own CRC check (stored 0xcbf43926, "
         "actual 0x352441c2) - bundle is corrupt\n"},
        {"same offset, shorter image",
         make_bundle({{1, 'A', 0, 3, ABC_CRC, end2}, {1, 'B', 0, 2, ABC_CRC, end2}}, ABC),
         "ERROR: '%s' entry 1 (variant 1 bank B) failed its own CRC check (stored 0x352441c2, "
         "actual 0x9e83486d) - bundle is corrupt\n"},
        {"same length, later offset",
         make_bundle({{1, 'A', 0, 3, ABC_CRC, end2}, {1, 'B', 0, 3, ABC_CRC, end2 + 3}},
                     abc_then_digits),
         "ERROR: '%s' entry 1 (variant 1 bank B) failed its own CRC check (stored 0x352441c2, "
         "actual 0x884863d2) - bundle is corrupt\n"},
    };
}

TEST_F(BundleLoad, RefusalsGiveOneExactLineAndReleaseEverything) {
    for (const auto& c : refusal_cases()) {
        SCOPED_TRACE(c.name);
        const std::string path = write("bad.kvfw", c.file);
        const std::size_t fds_before = open_fd_count();
        std::string err;
        bundle* b = load(path, err);
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(err, replace_path(c.message, path));
        EXPECT_EQ(open_fd_count(), fds_before) << "the bundle file was left open";
        bundle_free(b);
    }
}

TEST_F(BundleLoad, MissingFileCannotBeOpened) {
    const std::string path = (dir_ / "no-such.kvfw").string();
    std::string err;
    EXPECT_EQ(load(path, err), nullptr);
    EXPECT_EQ(err, "ERROR: could not open bundle '" + path + "'\n");
}

TEST_F(BundleLoad, SuccessfulLoadLeavesNoFileOpen) {
    const std::size_t fds_before = open_fd_count();
    std::string err;
    bundle* b = load(write("ok.kvfw", header(1, 0)), err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(open_fd_count(), fds_before);
    bundle_free(b);
}

TEST_F(BundleLoad, FilesOf2GibOrMoreAreRefusedBeforeReading) {
    // Sparse files: nothing is written, and the loader must not try to allocate or read them.
    // 2^32 + 16 would pass as a 16-byte file if the size were cut to 32 bits.
    const std::uintmax_t sizes[] = {0x80000000ull, 0x100000010ull};
    for (const std::uintmax_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string path = write("huge.kvfw", header(1, 0));
        std::error_code ec;
        fs::resize_file(path, size, ec);
        if (ec) {
            GTEST_SKIP() << "no sparse file of " << size << " bytes here: " << ec.message();
        }
        std::string err;
        EXPECT_EQ(load(path, err), nullptr);
        EXPECT_EQ(err, "ERROR: out of memory reading '" + path + "' (" + std::to_string(size) +
                           " bytes)\n");
    }
}

TEST_F(BundleLoad, BundleBuiltByPackBundleLoadsWithEveryField) {
    struct packed_image {
        std::uint16_t variant;
        char bank;
        std::uint32_t tag;
        bytes content;
    };
    bytes high(5000);
    for (std::size_t i = 0; i < high.size(); ++i) {
        high[i] = static_cast<std::uint8_t>(0x80 + (i * 7) % 0x80);
    }
    const std::vector<packed_image> images = {
        {0xFFFF, 'A', 0xFFFFFFFFu, high},
        {0, 'B', 0, {0x00}},
        {0x0102, 'B', 0x01020304u, DIGITS},
    };
    std::string command = std::string("python3 '") + KVUP_SOURCE_DIR +
                          "/scripts/pack_bundle' -o '" + (dir_ / "packed.kvfw").string() + "'";
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::string name = "image" + std::to_string(i) + ".bin";
        const std::string path = write(name, images[i].content);
        command += " --image " + std::to_string(images[i].variant) + ":" + images[i].bank + ":" +
                   std::to_string(images[i].tag) + ":'" + path + "'";
    }
    command += " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    std::string err;
    bundle* b = load((dir_ / "packed.kvfw").string(), err);
    ASSERT_NE(b, nullptr) << err;
    ASSERT_EQ(b->entry_count, images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(i);
        const bundle_entry& e = b->entries[i];
        EXPECT_EQ(e.variant, images[i].variant);
        EXPECT_EQ(e.bank, images[i].bank);
        EXPECT_EQ(e.image_tag, images[i].tag);
        ASSERT_EQ(e.image_len, images[i].content.size());
        EXPECT_EQ(bytes(e.image, e.image + e.image_len), images[i].content);
    }
    bundle_free(b);
}

} // namespace
