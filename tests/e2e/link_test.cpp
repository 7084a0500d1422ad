// kvup and the serial link: every byte value crossing in both directions, a port that cannot be
// had, a device that goes away, and a bundle file that changes under a running update.

#include "update-helpers.h"

#include "crc32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class Link : public kvup_e2e {};

termios settings_of(const std::string& path) {
    termios tio{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    return tio;
}

::testing::AssertionResult same_settings(const termios& a, const termios& b) {
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
        a.c_lflag != b.c_lflag || std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0 ||
        cfgetispeed(&a) != cfgetispeed(&b) || cfgetospeed(&a) != cfgetospeed(&b)) {
        return ::testing::AssertionFailure()
               << std::hex << "iflag " << a.c_iflag << "/" << b.c_iflag << ", oflag " << a.c_oflag
               << "/" << b.c_oflag << ", cflag " << a.c_cflag << "/" << b.c_cflag << ", lflag "
               << a.c_lflag << "/" << b.c_lflag;
    }
    return ::testing::AssertionSuccess();
}

// kvup leaves the port as it found it, after a run that succeeded and after one that failed: a
// terminal given as the port by mistake (/dev/tty) gets its echo and line editing back. The
// port starts with the line discipline's defaults, echo included.
TEST_F(Link, PortSettingsArePutBackAsFound) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    start_sim(config);
    const termios before = settings_of(sim->slave_path());
    ASSERT_NE(before.c_lflag & ECHO, 0u);

    const process_result updated_run = kvup(kvup_args("self"));
    EXPECT_EQ(updated_run.exit_status, 0) << updated_run.err;
    EXPECT_TRUE(same_settings(settings_of(sim->slave_path()), before));

    const process_result refused = kvup(kvup_args("self", "wrong password"));
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_TRUE(same_settings(settings_of(sim->slave_path()), before));
}

// The port passes every byte unchanged: no flow-control byte is taken, no line end translated,
// no control character acted on, no high bit stripped. The image holds every byte value, the
// ready frame's variant and size limit hold XOFF, XON, CR, LF, ETX and DEL, and the password
// holds nearly every control byte.
TEST_F(Link, EveryByteValueCrossesBothWaysUnchanged) {
    constexpr std::uint16_t variant = 0x1311;        // 11 13 on the wire
    constexpr std::uint32_t bank_limit = 0x7F0D0A03; // 03 0A 0D 7F on the wire
    const std::vector<std::uint8_t> image = test_image(3 * 4096 - 5, 7);
    write_bundle(bundle_path, {{variant, 'A', 1, test_image(4096, 8)}, {variant, 'B', 2, image}});

    std::string password = "pw";
    for (int byte = 0x01; byte < 0x20; ++byte) {
        if (byte != '\r' && byte != '\n') {
            password += static_cast<char>(byte);
        }
    }
    password += "\x7f\x80\xf1\xf2\xff";

    sim_config config;
    config.self = make_device("KC-0001", "controller", variant);
    config.self.bank_limit = bank_limit;
    config.password = password;
    start_sim(config);

    const process_result run = kvup(kvup_args("self", password));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, opening_output() + session_output(variant, 'B', image.size(), bank_limit));
    ASSERT_EQ(record.lines.size(), 3u);
    EXPECT_EQ(record.lines[1], password);
    EXPECT_EQ(record.password_refusals, 0u);
    EXPECT_TRUE(updated_with(record, config.self, image));
}

// A port that is missing or is no terminal: kvup says which port it tried and stops.
class UnopenablePort : public kvup_e2e, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnopenablePort, IsReportedAfterTheOpeningLine) {
    const std::string port = GetParam()[0] == '/' ? GetParam() : dir.file(GetParam());
    const process_result run =
        kvup({"--firmware", bundle_path, "--port", port, "--password", "kelvane"});

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "kvup v" KVUP_VERSION "\nOpening " + port + "...\n");
    EXPECT_EQ(run.err, "ERROR: could not open " + port + "\n");
}

INSTANTIATE_TEST_SUITE_P(Link, UnopenablePort, ::testing::Values("no-such-port", "/dev/null"));

struct bad_bundle_case {
    const char* name;
    // Spoils the bundle at the path; returns the line kvup is to print.
    std::function<std::string(const std::string& path)> spoil;
};

// Names the case in test listings.
void PrintTo(const bad_bundle_case& c, std::ostream* os) {
    *os << c.name;
}

class BadBundle : public kvup_e2e, public ::testing::WithParamInterface<bad_bundle_case> {};

// The bundle is judged before the port is touched: its own error line is all there is.
TEST_P(BadBundle, StopsTheRunBeforeThePortIsOpened) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    start_sim(config);
    const std::string error = GetParam().spoil(bundle_path);

    const process_result run = kvup(kvup_args("self"));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, error);
    EXPECT_TRUE(record.resets_us.empty());
    EXPECT_TRUE(untouched(record, config.self));
}

INSTANTIATE_TEST_SUITE_P(
    Link, BadBundle,
    ::testing::Values(
        bad_bundle_case{"Missing",
                        [](const std::string& path) {
                            std::filesystem::remove(path);
                            return "ERROR: could not open bundle '" + path + "'\n";
                        }},
        bad_bundle_case{"NotABundle",
                        [](const std::string& path) {
                            std::ofstream(path, std::ios::binary) << "KVFWBNDX and then some";
                            return "ERROR: '" + path + "' is not a firmware bundle (bad magic)\n";
                        }},
        bad_bundle_case{"LastImageCorrupt",
                        [](const std::string& path) {
                            std::vector<std::uint8_t> image = bundle_image(3, 'B');
                            const std::uint32_t stored = crc32(image.data(), image.size());
                            image.back() ^= 0x01;
                            const std::uint32_t actual = crc32(image.data(), image.size());
                            std::fstream file(path, std::ios::binary | std::ios::in |
                                                        std::ios::out | std::ios::ate);
                            file.seekp(-1, std::ios::end);
                            file.put(static_cast<char>(image.back()));
                            char text[64];
                            std::snprintf(text, sizeof text, "(stored 0x%08x, actual 0x%08x)",
                                          stored, actual);
                            return "ERROR: '" + path +
                                   "' entry 5 (variant 3 bank B) failed its own CRC check " + text +
                                   " - bundle is corrupt\n";
                        }}),
    [](const ::testing::TestParamInfo<bad_bundle_case>& info) { return info.param.name; });

// The device takes its time over every chunk, so that a run is still going while the test acts.
sim_config slow_device() {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.chunk_delay_ms = 500;
    return config;
}

bool first_chunk_arrived(const sim_record& record) {
    return !record.sessions.empty() && record.sessions[0].first_chunk_us != 0;
}

// The port is kvup's alone while it runs: a second kvup is refused at the open, and the first
// finishes its update undisturbed.
TEST_F(Link, SecondKvupOnABusyPortIsRefused) {
    const sim_config config = slow_device();
    start_sim(config);

    auto first = std::async(std::launch::async, [&] { return kvup(kvup_args("self")); });
    ASSERT_TRUE(sim->wait_for(first_chunk_arrived, 10000));
    const process_result second = kvup(kvup_args("self"));
    const process_result run = first.get();
    const sim_record record = stop_sim();

    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.out, "kvup v" KVUP_VERSION "\nOpening " + port_path() + "...\n");
    EXPECT_EQ(second.err, "ERROR: could not open " + port_path() + "\n");

    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, opening_output() + session_output(1, 'B', bundle_image(1, 'B').size()));
    EXPECT_EQ(record.resets_us.size(), 1u);
    EXPECT_EQ(record.sessions.size(), 1u);
    EXPECT_TRUE(updated(record, config.self));
}

struct file_change_case {
    const char* name;
    std::function<void(const std::string& path)> change;
};

// Names the case in test listings.
void PrintTo(const file_change_case& c, std::ostream* os) {
    *os << c.name;
}

class BundleChangedOnDisk : public kvup_e2e,
                            public ::testing::WithParamInterface<file_change_case> {};

// kvup sends the image it loaded and checked, whatever becomes of the file meanwhile.
TEST_P(BundleChangedOnDisk, DeviceGetsTheImageAsLoaded) {
    const sim_config config = slow_device();
    start_sim(config);

    auto run_future = std::async(std::launch::async, [&] { return kvup(kvup_args("self")); });
    ASSERT_TRUE(sim->wait_for(first_chunk_arrived, 10000));
    GetParam().change(bundle_path);
    const process_result run = run_future.get();
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, opening_output() + session_output(1, 'B', bundle_image(1, 'B').size()));
    EXPECT_TRUE(updated(record, config.self));
}

INSTANTIATE_TEST_SUITE_P(
    Link, BundleChangedOnDisk,
    ::testing::Values(file_change_case{"OverwrittenInPlace",
                                       [](const std::string& path) {
                                           std::vector<image_spec> images = standard_images();
                                           for (image_spec& image : images) {
                                               image.bytes = test_image(image.bytes.size(), 99);
                                           }
                                           write_bundle(path, images);
                                       }},
                      file_change_case{
                          "TruncatedToNothing",
                          [](const std::string& path) { std::filesystem::resize_file(path, 0); }}),
    [](const ::testing::TestParamInfo<file_change_case>& info) { return info.param.name; });

// A device that goes away mid-transfer ends the run at once, without waiting out the time-outs
// of five attempts; the device still runs its old bank.
TEST_F(Link, DeviceThatDisconnectsMidTransferEndsTheRunPromptly) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    sim_fault fault;
    fault.kind = sim_fault_kind::disconnect;
    fault.chunk = 1;
    config.self.faults = {fault};
    start_sim(config);

    const process_result run = kvup(kvup_args("self"));
    const sim_record record = stop_sim();

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_LT(run.elapsed, std::chrono::milliseconds(5000));
    EXPECT_EQ(run.out, opening_output() +
                           "Device is ready - variant 1, target bank B (max image size 262144 "
                           "bytes)\nSending variant 1 bank B (" +
                           std::to_string(bundle_image(1, 'B').size()) +
                           " bytes, 3 chunks)...\n\r  chunk 1/3");
    // One line per attempt on chunk 1, then the verdict.
    const std::string verdict = "ERROR: giving up on chunk 1 after 5 attempts\n";
    ASSERT_GE(run.err.size(), verdict.size());
    EXPECT_EQ(run.err.substr(run.err.size() - verdict.size()), verdict) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 6) << run.err;
    EXPECT_TRUE(record.disconnected);
    EXPECT_TRUE(untouched(record, config.self));
}

} // namespace
