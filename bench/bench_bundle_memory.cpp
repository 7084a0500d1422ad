// Peak resident memory of bundle_load, measured in a process of its own so nothing else has
// raised the high-water mark: the loader should hold about one copy of the file.
//
//   bench_bundle_memory write PATH MIB ENTRIES   writes a bundle of MIB MiB with ENTRIES images
//   bench_bundle_memory load PATH                loads it once and prints one line of figures

#include "bench-bundle.h"
#include "bundle.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The process's peak resident set (VmHWM) in KiB, or -1.
long peak_resident_kib() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

int usage() {
    std::fputs("usage: bench_bundle_memory write PATH MIB ENTRIES\n"
               "       bench_bundle_memory load PATH\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        const std::uint64_t mib = std::strtoull(argv[3], nullptr, 10);
        const auto entries = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
        return bench_write_bundle(argv[2], mib << 20, entries) ? 0 : 1;
    }
    if (argc != 3 || std::strcmp(argv[1], "load") != 0) {
        return usage();
    }
    const long before_kib = peak_resident_kib();
    const auto start = std::chrono::steady_clock::now();
    bundle* b = bundle_load(argv[2]);
    const auto stop = std::chrono::steady_clock::now();
    const long after_kib = peak_resident_kib();
    if (b == nullptr) {
        return 1;
    }
    std::FILE* file = std::fopen(argv[2], "rb");
    long long file_len = -1;
    if (file != nullptr && std::fseek(file, 0, SEEK_END) == 0) {
        file_len = std::ftell(file);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    const double file_mib = static_cast<double>(file_len) / (1 << 20);
    const double grown_mib = static_cast<double>(after_kib - before_kib) / 1024;
    std::printf("file %8.1f MiB  entries %3u  load %7.1f ms  peak RSS %7.1f MiB (before load "
                "%5.1f MiB, grown %7.1f MiB = %.3f x file)\n",
                file_mib, static_cast<unsigned>(b->entry_count),
                std::chrono::duration<double, std::milli>(stop - start).count(),
                static_cast<double>(after_kib) / 1024, static_cast<double>(before_kib) / 1024,
                grown_mib, grown_mib / file_mib);
    bundle_free(b);
    return 0;
}
