#include "bench-bundle.h"

#include "crc32.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t HEADER_LEN = 16;
constexpr std::uint64_t ENTRY_LEN = 32;
constexpr std::size_t BLOCK_LEN = 64 * 1024;

void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

bool bench_write_bundle(const std::string& path, std::uint64_t file_len,
                        std::uint32_t entry_count) {
    const std::uint64_t table_end = HEADER_LEN + ENTRY_LEN * entry_count;
    if (entry_count == 0 || file_len < table_end) {
        std::fprintf(stderr, "bench: a %llu-byte bundle cannot hold %u entries\n",
                     static_cast<unsigned long long>(file_len), static_cast<unsigned>(entry_count));
        return false;
    }
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        std::perror(path.c_str());
        return false;
    }
    // Images first, behind room for the table; the table follows once every CRC is known.
    if (std::fseek(file.get(), static_cast<long>(table_end), SEEK_SET) != 0) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<std::uint8_t> table = {'K', 'V', 'F', 'W', 'B', 'N', 'D', 'L'};
    put_le(table, 1, 4);
    put_le(table, entry_count, 4);
    std::vector<std::uint8_t> block(BLOCK_LEN);
    const std::uint64_t image_space = file_len - table_end;
    std::uint64_t offset = table_end;
    std::uint32_t seed = 0x12345678;
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        const std::uint64_t image_len =
            image_space / entry_count + (i + 1 == entry_count ? image_space % entry_count : 0);
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::uint64_t done = 0; done < image_len;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK_LEN, image_len - done));
            for (std::size_t k = 0; k < n; ++k) {
                seed = seed * 1664525u + 1013904223u; // any bytes will do; not compressible
                block[k] = static_cast<std::uint8_t>(seed >> 24);
                crc = crc32_update(crc, block[k]);
            }
            if (std::fwrite(block.data(), 1, n, file.get()) != n) {
                std::perror(path.c_str());
                return false;
            }
            done += n;
        }
        put_le(table, 1 + i / 2, 2);              // variant
        put_le(table, i % 2 == 0 ? 'A' : 'B', 1); // bank
        put_le(table, 0, 1);                      // reserved
        put_le(table, 0xC0DE0000u + i, 4);        // image tag
        put_le(table, image_len, 4);
        put_le(table, crc32_finalise(crc), 4);
        put_le(table, offset, 8);
        put_le(table, 0, 8); // reserved
        offset += image_len;
    }
    if (std::fseek(file.get(), 0, SEEK_SET) != 0 ||
        std::fwrite(table.data(), 1, table.size(), file.get()) != table.size() ||
        std::fclose(file.release()) != 0) {
        std::perror(path.c_str());
        return false;
    }
    return true;
}
