#pragma once
// Firmware bundle files: load and validate a whole bundle into memory, then look images up
// by hardware variant and bank letter. Builds no bundles (scripts/pack_bundle does).

#include <cstdint>

struct bundle_entry {
    std::uint16_t variant;     // hardware variant the image is for
    char bank;                 // 'A' or 'B'
    std::uint32_t image_tag;   // opaque word, sent unchanged in the finalize command
    std::uint32_t image_len;   // image length in bytes
    const std::uint8_t* image; // first image byte, inside the bundle's file_data
};

struct bundle {
    std::uint8_t* file_data; // the whole file, owned
    std::uint32_t entry_count;
    bundle_entry* entries; // entry_count records in table order, owned
};

// Reads and checks the whole file at `path`; null after one ERROR line on stderr.
// The caller owns the result and gives it back with bundle_free.
bundle* bundle_load(const char* path);

// The first entry (in table order) with this variant and exactly this bank byte, or null.
// The pointer stays valid until bundle_free.
const bundle_entry* bundle_find(const bundle* b, std::uint16_t variant, char bank);

// Releases a loaded bundle; null does nothing.
void bundle_free(bundle* b);
