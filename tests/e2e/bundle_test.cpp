// kvup given bundles that the format allows but that are odd: a small bundle whose table makes
// every entry point at one large image, or at overlapping ones (no byte is checksummed twice, so
// the run reaches the port at once instead of spending minutes on checksums), and an image of
// 0 bytes (sent as the bundle holds it, and refused by the device).

#include "builders.h"
#include "crc32.h"
#include "update-helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// About 3 MB: 65535 entries, both banks of variant 1 in turn, each a 1 MiB image with its right
// CRC, entry i's starting `step` * i bytes into the image data. The data is one byte value
// throughout, so every 1 MiB window has the same CRC whether the images are one (step 0) or all
// different and overlapping (step 1). Checking each entry's image on its own would run 64 GiB
// through the CRC.
void write_many_image_bundle(const std::string& path, std::uint32_t step) {
    constexpr std::uint32_t entry_count = 65535;
    constexpr std::uint32_t image_len = 1u << 20;
    const std::vector<std::uint8_t> data(image_len + std::size_t{step} * entry_count, 0xA5);
    const std::uint32_t image_crc = crc32(data.data(), image_len);
    const std::uint64_t data_offset = 16 + 32 * std::uint64_t{entry_count};
    std::vector<std::uint8_t> file(data_offset, 0);
    const char magic[] = "KVFWBNDL";
    for (std::size_t i = 0; i < 8; ++i) {
        file[i] = static_cast<std::uint8_t>(magic[i]);
    }
    set_le(file, 8, 1, 4);
    set_le(file, 12, entry_count, 4);
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        const std::size_t at = 16 + 32 * std::size_t{i};
        set_le(file, at, 1, 2);
        file[at + 2] = (i % 2 == 0) ? 'A' : 'B';
        set_le(file, at + 4, i, 4);
        set_le(file, at + 8, image_len, 4);
        set_le(file, at + 12, image_crc, 4);
        set_le(file, at + 16, data_offset + std::uint64_t{step} * i, 8);
    }
    file.insert(file.end(), data.begin(), data.end());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    ASSERT_TRUE(out.good()) << path;
}

class ManyImages : public ::testing::TestWithParam<std::uint32_t> {};

// The bound is a guard against a hang, far above what the run needs; the time is not the test.
TEST_P(ManyImages, ReachThePortWithoutCheckingTheSameBytesAgainAndAgain) {
    const temp_dir dir;
    const std::string bundle = dir.file("many.kvfw");
    write_many_image_bundle(bundle, GetParam());
    const std::string port = dir.file("no-port");

    const process_result run = run_process(
        {KVUP_BINARY, "--firmware", bundle, "--port", port, "--password", "kelvane"}, "", 60s);

    EXPECT_FALSE(run.timed_out) << "still checking the bundle after " << run.elapsed.count()
                                << " ms";
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "kvup v" KVUP_VERSION "\nOpening " + port + "...\n");
    EXPECT_EQ(run.err, "ERROR: could not open " + port + "\n");
}

INSTANTIATE_TEST_SUITE_P(Bundle, ManyImages, ::testing::Values(0u, 1u), [](const auto& info) {
    return info.param == 0 ? std::string("AllOnOneImage") : std::string("EachOneByteFurtherOn");
});

class EmptyImage : public kvup_e2e {};

// kvup sends no chunk and a finalize of length 0; the device refuses it and keeps its banks.
TEST_F(EmptyImage, IsSentAsItStandsAndTheDeviceRefusesIt) {
    write_bundle(bundle_path, {{1, 'A', 1, test_image(100, 3)}, {1, 'B', 0x0B, {}}});
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    start_sim(config);

    const process_result run = kvup(kvup_args("self"));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output() +
                           "Device is ready - variant 1, target bank B (max image size 262144 "
                           "bytes)\n"
                           "Sending variant 1 bank B (0 bytes, 0 chunks)...\n"
                           "\n"
                           "Finalizing...\n");
    EXPECT_EQ(run.err, "ERROR: target rejected the finalize (reason 8) - firmware NOT updated, "
                       "currently-running bank is untouched\n");
    ASSERT_EQ(record.finalizes.size(), 1u);
    EXPECT_EQ(record.finalizes[0].image_len, 0u);
    EXPECT_EQ(record.finalizes[0].image_crc, 0u);
    EXPECT_EQ(record.finalizes[0].image_tag, 0x0Bu);
    EXPECT_FALSE(record.finalizes[0].accepted);
    EXPECT_TRUE(untouched(record, config.self));
}

} // namespace
