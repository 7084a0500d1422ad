#include "bundle.h"

#include "byte-order.h"
#include "crc32.h"
#include "file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr char BUNDLE_MAGIC[8] = {'K', 'V', 'F', 'W', 'B', 'N', 'D', 'L'};
constexpr std::uint32_t BUNDLE_FORMAT_VERSION = 1;
constexpr std::uint64_t BUNDLE_HEADER_LEN = 16;
constexpr std::uint64_t BUNDLE_ENTRY_LEN = 32;
// The file size is held as a signed 32-bit count, so this is the largest bundle there can be.
constexpr long long BUNDLE_MAX_FILE_LEN = INT32_MAX;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// The header: magic, format version, and an entry table that fits in the file.
bool check_header(const char* path, const std::uint8_t* bytes, std::uint64_t file_len,
                  std::uint32_t* entry_count) {
    if (std::memcmp(bytes, BUNDLE_MAGIC, sizeof BUNDLE_MAGIC) != 0) {
        std::fprintf(stderr, "ERROR: '%s' is not a firmware bundle (bad magic)\n", path);
        return false;
    }
    const std::uint32_t format_version = get_le32(bytes + 8);
    const std::uint32_t count = get_le32(bytes + 12);
    if (format_version != BUNDLE_FORMAT_VERSION) {
        std::fprintf(stderr,
                     "ERROR: '%s' is bundle format version %u, this kvup only understands "
                     "version %u\n",
                     path, static_cast<unsigned>(format_version),
                     static_cast<unsigned>(BUNDLE_FORMAT_VERSION));
        return false;
    }
    // 16 + 32 * 0xFFFFFFFF still fits in 64 bits.
    const std::uint64_t table_end = BUNDLE_HEADER_LEN + BUNDLE_ENTRY_LEN * count;
    if (file_len < table_end) {
        std::fprintf(stderr, "ERROR: '%s' is truncated (entry table extends past end of file)\n",
                     path);
        return false;
    }
    *entry_count = count;
    return true;
}

const std::uint8_t* raw_entry(const std::uint8_t* bytes, std::uint32_t i) {
    return bytes + BUNDLE_HEADER_LEN + BUNDLE_ENTRY_LEN * i;
}

std::uint64_t raw_image_offset(const std::uint8_t* raw) {
    return get_le64(raw + 16);
}

std::uint32_t raw_image_len(const std::uint8_t* raw) {
    return get_le32(raw + 8);
}

std::uint32_t raw_image_crc(const std::uint8_t* raw) {
    return get_le32(raw + 12);
}

bool image_inside_file(std::uint64_t image_offset, std::uint32_t image_len,
                       std::uint64_t file_len) {
    // Offset first, so the subtraction cannot wrap for an offset beyond the file.
    return image_offset <= file_len && file_len - image_offset >= image_len;
}

// The CRC-32 of each image without reading a byte twice. Images may overlap or repeat, so a
// small table could otherwise make the loader checksum the same megabyte thousands of times.
// Instead the file's prefixes that end where an image starts or ends are checksummed in one
// pass, carried only as far as the entries checked so far need, and an image's CRC-32 follows
// from the prefixes on either side of it.
struct image_crc_pass {
    const std::uint8_t* bytes;
    const std::uint32_t* ends; // the distinct prefix lengths, ascending; all within the file
    std::uint32_t end_count;
    std::uint32_t* prefix_crcs; // the CRC-32 of the first ends[k] bytes, for k < done
    std::uint32_t done;
    std::uint32_t running; // the running CRC value over the first ends[done - 1] bytes
};

// Fills `ends` (room for two per entry) with the distinct starts and ends of the images that lie
// inside the file, ascending; gives their number. An image outside the file is refused before
// its CRC is wanted.
std::uint32_t collect_image_ends(const std::uint8_t* bytes, std::uint64_t file_len,
                                 std::uint32_t entry_count, std::uint32_t* ends) {
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        const std::uint8_t* raw = raw_entry(bytes, i);
        const std::uint64_t image_offset = raw_image_offset(raw);
        const std::uint32_t image_len = raw_image_len(raw);
        if (image_inside_file(image_offset, image_len, file_len)) {
            // Below 2 GiB, as the whole file is.
            ends[count++] = static_cast<std::uint32_t>(image_offset);
            ends[count++] = static_cast<std::uint32_t>(image_offset + image_len);
        }
    }
    std::sort(ends, ends + count);
    return static_cast<std::uint32_t>(std::unique(ends, ends + count) - ends);
}

// The CRC-32 of the first `end` file bytes, `end` being one of the pass's ends.
std::uint32_t prefix_crc(image_crc_pass& pass, std::uint32_t end) {
    const auto k = static_cast<std::uint32_t>(
        std::lower_bound(pass.ends, pass.ends + pass.end_count, end) - pass.ends);
    for (; pass.done <= k; ++pass.done) {
        const std::uint32_t from = pass.done == 0 ? 0 : pass.ends[pass.done - 1];
        for (std::uint32_t at = from; at < pass.ends[pass.done]; ++at) {
            pass.running = crc32_update(pass.running, pass.bytes[at]);
        }
        pass.prefix_crcs[pass.done] = crc32_finalise(pass.running);
    }
    return pass.prefix_crcs[k];
}

// The CRC-32 of an image that lies inside the file.
std::uint32_t crc_of_image(image_crc_pass& pass, std::uint64_t image_offset,
                           std::uint32_t image_len) {
    const auto start = static_cast<std::uint32_t>(image_offset);
    const std::uint32_t before = prefix_crc(pass, start);
    return crc32_suffix(prefix_crc(pass, start + image_len), before, image_len);
}

// One entry's checks: its bank, its image inside the file, the image's own CRC.
bool load_entry(const char* path, const std::uint8_t* bytes, std::uint64_t file_len,
                std::uint32_t i, image_crc_pass& crcs, bundle_entry* out) {
    const std::uint8_t* raw = raw_entry(bytes, i);
    const std::uint16_t variant = get_le16(raw);
    const auto bank = static_cast<unsigned char>(raw[2]);
    const std::uint32_t image_tag = get_le32(raw + 4);
    const std::uint32_t image_len = raw_image_len(raw);
    const std::uint32_t image_crc = raw_image_crc(raw);
    const std::uint64_t image_offset = raw_image_offset(raw);

    if (bank != 'A' && bank != 'B') {
        std::fprintf(stderr, "ERROR: '%s' entry %u has invalid bank '%c'\n", path,
                     static_cast<unsigned>(i), static_cast<int>(bank));
        return false;
    }
    if (!image_inside_file(image_offset, image_len, file_len)) {
        std::fprintf(stderr, "ERROR: '%s' entry %u's image extends past end of file\n", path,
                     static_cast<unsigned>(i));
        return false;
    }
    const std::uint8_t* image = bytes + image_offset;
    const std::uint32_t actual_crc = crc_of_image(crcs, image_offset, image_len);
    if (actual_crc != image_crc) {
        std::fprintf(stderr,
                     "ERROR: '%s' entry %u (variant %u bank %c) failed its own CRC check "
                     "(stored 0x%08x, actual 0x%08x) - bundle is corrupt\n",
                     path, static_cast<unsigned>(i), static_cast<unsigned>(variant),
                     static_cast<int>(bank), static_cast<unsigned>(image_crc),
                     static_cast<unsigned>(actual_crc));
        return false;
    }
    *out = bundle_entry{variant, static_cast<char>(bank), image_tag, image_len, image};
    return true;
}

// The entry table, in table order; stops at the first entry that fails its checks.
bool load_table(const char* path, const std::uint8_t* bytes, std::uint64_t file_len,
                std::uint32_t entry_count, image_crc_pass& crcs, bundle_entry* entries) {
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        if (!load_entry(path, bytes, file_len, i, crcs, &entries[i])) {
            return false;
        }
    }
    return true;
}

// What a path that is no regular file names, for the open-failure message.
const char* kind_words(file_kind kind) {
    switch (kind) {
    case file_kind::directory:
        return "a directory";
    case file_kind::fifo:
        return "a FIFO";
    case file_kind::device:
        return "a device";
    case file_kind::socket:
        return "a socket";
    default:
        return "something else";
    }
}

} // namespace

bundle* bundle_load(const char* path) {
    // A regular file only: a FIFO would hold the run in its open and a directory or a device has
    // no size to read.
    file_kind kind = file_kind::unknown;
    file_handle file(file_open_regular(path, &kind));
    if (!file) {
        if (kind == file_kind::unknown || kind == file_kind::regular) {
            std::fprintf(stderr, "ERROR: could not open bundle '%s'\n", path);
        } else {
            std::fprintf(stderr, "ERROR: could not open bundle '%s': %s, not a regular file\n",
                         path, kind_words(kind));
        }
        return nullptr;
    }
    // Positions are taken 64 bits wide so that a file of 2 GiB or more is seen at its real size
    // and refused as such, instead of failing the position query or wrapping into a plausible
    // size.
    if (file_seek(file.get(), 0, SEEK_END) != 0) {
        std::fprintf(stderr, "ERROR: could not seek '%s'\n", path);
        return nullptr;
    }
    const long long end = file_tell(file.get());
    // A failed position query gives -1 and lands here too.
    if (end < static_cast<long long>(BUNDLE_HEADER_LEN)) {
        std::fprintf(stderr, "ERROR: '%s' is too small to be a firmware bundle\n", path);
        return nullptr;
    }
    if (end > BUNDLE_MAX_FILE_LEN) {
        std::fprintf(stderr, "ERROR: out of memory reading '%s' (%lld bytes)\n", path, end);
        return nullptr;
    }
    const auto file_size = static_cast<std::int32_t>(end);
    // Reading on from the end would only show up later as a short read; say what went wrong.
    if (file_seek(file.get(), 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "ERROR: could not seek '%s'\n", path);
        return nullptr;
    }

    const auto size = static_cast<std::size_t>(file_size);
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size]);
    if (!data) {
        std::fprintf(stderr, "ERROR: out of memory reading '%s' (%ld bytes)\n", path,
                     static_cast<long>(file_size));
        return nullptr;
    }
    const std::size_t got = std::fread(data.get(), 1, size, file.get());
    file.reset();
    if (got != size) {
        std::fprintf(stderr, "ERROR: short read on '%s'\n", path);
        return nullptr;
    }

    const std::uint8_t* bytes = data.get();
    const auto file_len = static_cast<std::uint64_t>(file_size);
    std::uint32_t entry_count = 0;
    if (!check_header(path, bytes, file_len, &entry_count)) {
        return nullptr;
    }
    std::unique_ptr<bundle_entry[]> entries(new (std::nothrow) bundle_entry[entry_count]);
    // Two image ends an entry at most; the count is below 2^26, as the table lies in the file.
    const std::size_t ends_room = 2 * std::size_t{entry_count};
    std::unique_ptr<std::uint32_t[]> ends(new (std::nothrow) std::uint32_t[ends_room]);
    std::unique_ptr<std::uint32_t[]> prefix_crcs(new (std::nothrow) std::uint32_t[ends_room]);
    if (!entries || !ends || !prefix_crcs) {
        std::fprintf(stderr, "ERROR: out of memory parsing '%s'\n", path);
        return nullptr;
    }
    image_crc_pass crcs{bytes, ends.get(), 0, prefix_crcs.get(), 0, 0xFFFFFFFFu};
    crcs.end_count = collect_image_ends(bytes, file_len, entry_count, ends.get());
    if (!load_table(path, bytes, file_len, entry_count, crcs, entries.get())) {
        return nullptr;
    }

    auto* loaded = new (std::nothrow) bundle{data.get(), entry_count, entries.get()};
    if (loaded == nullptr) {
        std::fprintf(stderr, "ERROR: out of memory parsing '%s'\n", path);
        return nullptr;
    }
    data.release();
    entries.release();
    return loaded;
}

const bundle_entry* bundle_find(const bundle* b, std::uint16_t variant, char bank) {
    if (b == nullptr) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < b->entry_count; ++i) {
        const bundle_entry& entry = b->entries[i];
        if (entry.variant == variant && entry.bank == bank) {
            return &entry;
        }
    }
    return nullptr;
}

void bundle_free(bundle* b) {
    if (b == nullptr) {
        return;
    }
    delete[] b->entries;
    delete[] b->file_data;
    delete b;
}
