// Throughput of the byte-heavy paths: CRC-32, loading a large bundle, and the frame codec.
// Run from a release build (scripts/bench); the figures are only printed, never judged.

#include "bench-bundle.h"
#include "bundle.h"
#include "crc32.h"
#include "fwupdate-protocol.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t BUNDLE_FILE_LEN = 64ull << 20;
constexpr std::uint32_t BUNDLE_ENTRY_COUNT = 16;

std::vector<std::uint8_t> test_bytes(std::size_t len) {
    std::vector<std::uint8_t> bytes(len);
    std::uint32_t seed = 1;
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

void BM_crc32(benchmark::State& state) {
    const auto data = test_bytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(data.data(), static_cast<std::uint32_t>(data.size())));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_crc32)->Arg(4 << 10)->Arg(1 << 20);

// The bundle is written once, next to the other temporary files, and removed at exit.
std::string bundle_path() {
    static const std::string path = [] {
        const char* dir = std::getenv("KVUP_BENCH_DIR");
        const std::filesystem::path base =
            dir != nullptr ? std::filesystem::path(dir) : std::filesystem::temp_directory_path();
        std::string p = (base / "kvup-bench-64mib.kvfw").string();
        if (!bench_write_bundle(p, BUNDLE_FILE_LEN, BUNDLE_ENTRY_COUNT)) {
            std::exit(1);
        }
        std::atexit([] { std::remove(bundle_path().c_str()); });
        return p;
    }();
    return path;
}

void BM_bundle_load_64MiB_16_entries(benchmark::State& state) {
    const std::string path = bundle_path();
    for (auto _ : state) {
        bundle* b = bundle_load(path.c_str());
        if (b == nullptr || b->entry_count != BUNDLE_ENTRY_COUNT) {
            state.SkipWithError("bundle_load refused the benchmark bundle");
            break;
        }
        bundle_free(b);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(BUNDLE_FILE_LEN));
}
BENCHMARK(BM_bundle_load_64MiB_16_entries)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// A chunk frame, the largest there is: 4-byte index and 4096 image bytes.
void BM_frame_encode_4100(benchmark::State& state) {
    const auto payload = test_bytes(FWU_MAX_PAYLOAD);
    std::vector<std::uint8_t> frame(FWU_MAX_FRAME);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fwu_frame_encode(FWU_SOF_HOST, FWU_CMD_CHUNK, payload.data(),
                                                  FWU_MAX_PAYLOAD, frame.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(FWU_MAX_FRAME));
}
BENCHMARK(BM_frame_encode_4100);

// The same frame fed byte by byte to the receiving parser, CRC check included.
void BM_frame_decode_4100(benchmark::State& state) {
    const auto payload = test_bytes(FWU_MAX_PAYLOAD);
    std::vector<std::uint8_t> frame(FWU_MAX_FRAME);
    fwu_frame_encode(FWU_SOF_DEVICE, FWU_RSP_DONE, payload.data(), FWU_MAX_PAYLOAD, frame.data());
    std::vector<std::uint8_t> received(FWU_MAX_PAYLOAD);
    fwu_parser parser{};
    fwu_parser_init(parser, FWU_SOF_DEVICE, received.data());
    for (auto _ : state) {
        fwu_feed_result last = fwu_feed_result::more;
        for (const std::uint8_t byte : frame) {
            last = fwu_parser_feed(parser, byte);
        }
        if (last != fwu_feed_result::frame) {
            state.SkipWithError("the parser did not return the frame");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(FWU_MAX_FRAME));
}
BENCHMARK(BM_frame_decode_4100);

} // namespace

BENCHMARK_MAIN();
