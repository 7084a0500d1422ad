#pragma once
// Writes large firmware bundles for the benchmarks, streaming, so the writer itself stays small
// in memory and does not disturb a peak-memory figure taken afterwards in the same process.

#include <cstdint>
#include <string>

// Writes a bundle of `file_len` bytes with `entry_count` images of nearly equal size (variants
// 1.., banks A and B in turn) to `path`. False after a message on stderr.
bool bench_write_bundle(const std::string& path, std::uint64_t file_len, std::uint32_t entry_count);
