// bundle_load on arbitrary file contents, then bundle_find over what it accepted.
// The file lives in an anonymous memory file, rewritten for each input and opened by path.

#include "bundle.h"
#include "crc32.h"
#include "fuzz-support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int memory_file = -1;
std::string memory_file_path;

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool put_file(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(memory_file, 0) != 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(memory_file, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything a caller relies on in an accepted bundle.
void check_loaded(const bundle* b, const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(size >= 16 + 32 * static_cast<std::uint64_t>(b->entry_count));
    FUZZ_CHECK(b->entry_count == le32(data + 12));
    FUZZ_CHECK(std::memcmp(b->file_data, data, size) == 0);
    const std::uint8_t* begin = b->file_data;
    const std::uint8_t* end = b->file_data + size;
    for (std::uint32_t i = 0; i < b->entry_count; ++i) {
        const bundle_entry& e = b->entries[i];
        FUZZ_CHECK(e.bank == 'A' || e.bank == 'B');
        FUZZ_CHECK(e.image >= begin && e.image <= end);
        FUZZ_CHECK(e.image_len <= static_cast<std::size_t>(end - e.image));
        const std::uint8_t* raw = data + 16 + 32 * static_cast<std::size_t>(i);
        FUZZ_CHECK(crc32(e.image, e.image_len) == le32(raw + 12));
        FUZZ_CHECK(e.image_len == le32(raw + 8));
        FUZZ_CHECK(e.image_tag == le32(raw + 4));

        // The lookup gives the first entry with this variant and bank, never a later one.
        const bundle_entry* found = bundle_find(b, e.variant, e.bank);
        FUZZ_CHECK(found != nullptr && found >= b->entries && found <= &e);
        FUZZ_CHECK(found->variant == e.variant && found->bank == e.bank);
        // The bank byte is compared exactly: no other letter, case or byte finds it.
        for (const char bank : {'A', 'B', 'a', 'b', '\0'}) {
            const bundle_entry* other = bundle_find(b, e.variant, bank);
            FUZZ_CHECK(other == nullptr || (other->variant == e.variant && other->bank == bank));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    memory_file = memfd_create("kvup-fuzz-bundle", 0);
    if (memory_file < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    memory_file_path = "/proc/self/fd/" + std::to_string(memory_file);
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!put_file(data, size)) {
        std::abort();
    }
    bundle* b = bundle_load(memory_file_path.c_str());
    if (b != nullptr) {
        check_loaded(b, data, size);
    }
    bundle_free(b);
    FUZZ_CHECK(bundle_find(nullptr, 0, 'A') == nullptr);
    return 0;
}
