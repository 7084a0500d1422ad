// The Windows build, kvup.exe, end to end under Wine against the simulated controller: the
// simulator's pty becomes a COM port of the Wine prefix, so every serial call goes through the
// Win32 communications API as on Windows. KVUP_WINDOWS_EXE names the program and WINEPREFIX the
// prefix (scripts/test-wine sets both); without KVUP_WINDOWS_EXE these tests are skipped.

#include "builders.h"
#include "run-process.h"
#include "wine-helpers.h"

#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string PASSWORD = "kelvane";
const std::string BUNDLE = "firmware.kvfw";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string show(const wine_result& run) {
    return "exit status " + std::to_string(run.exit_status) +
           (run.timed_out ? " (timed out)" : "") + "\n--- stdout\n" + run.out + "\n--- stderr\n" +
           run.err;
}

// Distinct images per variant and bank, so a wrong pick shows.
image_spec image(std::uint16_t variant, char bank, std::size_t len) {
    const std::uint32_t seed = variant * 2u + (bank == 'B' ? 1u : 0u);
    return {variant, bank, 0x1000u + seed, test_image(len, seed)};
}

termios terminal_settings(const std::string& path) {
    termios tio{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
        throw std::runtime_error("cannot read the settings of " + path);
    }
    ::close(fd);
    return tio;
}

void set_terminal_settings(const std::string& path, const termios& tio) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        throw std::runtime_error("cannot change the settings of " + path);
    }
    ::close(fd);
}

class WineKvup : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::optional<wine_env> env = wine_env_from_environment();
        if (!env) {
            GTEST_SKIP() << "KVUP_WINDOWS_EXE is not set, so kvup.exe is not tested here; "
                            "scripts/test-wine builds it and runs these tests under Wine";
        }
        const std::string& problem = wine_start_problem(*env);
        if (!problem.empty()) {
            FAIL() << "Wine cannot run kvup.exe: " << problem;
        }
        wine_ = *env;
        com_ = std::make_unique<wine_com_port>(wine_.prefix);
    }

    // The simulated controller, reached as com_->name() by kvup.exe.
    sim_instance& start_sim(sim_config config = {}) {
        config.link_path = com_->link_path();
        std::string error;
        sim_ = sim_start(config, &error);
        if (!sim_) {
            throw std::runtime_error("the simulator did not start: " + error);
        }
        return *sim_;
    }

    void write_firmware(const std::vector<image_spec>& images) {
        write_bundle(dir_.file(BUNDLE), images);
    }

    // kvup.exe with the port and the bundle, plus `args`.
    std::vector<std::string> update_args(std::vector<std::string> args) const {
        std::vector<std::string> all{"--port", com_->name(), "--firmware", BUNDLE};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    wine_result kvup(const std::vector<std::string>& args, const std::string& input = "") {
        return wine_run(wine_, args, dir_.path(), input);
    }

    wine_env wine_;
    temp_dir dir_;
    std::unique_ptr<wine_com_port> com_;
    std::unique_ptr<sim_instance> sim_;
};

sim_device_config peer(const std::string& serial, const std::string& type, std::uint16_t variant,
                       std::uint8_t active_bank = 0) {
    sim_device_config config;
    config.serial = serial;
    config.type = type;
    config.variant = variant;
    config.active_bank = active_bank;
    return config;
}

const sim_device_record& device(const sim_record& record, const std::string& serial) {
    const sim_device_record* found = sim_record_device(record, serial);
    if (found == nullptr) {
        throw std::runtime_error("no device " + serial + " in the record");
    }
    return *found;
}

TEST_F(WineKvup, VersionAndUsageTextComeOutInTextMode) {
    const wine_result version = kvup({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "kvup v" KVUP_VERSION "\r\n");
    EXPECT_EQ(version.err, "");

    const wine_result help = kvup({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out, wine_lf_to_crlf(read_file(KVUP_TEST_DATA_DIR "/usage.txt")));
    EXPECT_EQ(help.err, "");
}

TEST_F(WineKvup, UpdatesTheConnectedControllerIntoItsInactiveBank) {
    const image_spec bank_a = image(1, 'A', 10'000);
    const image_spec bank_b = image(1, 'B', 20'000);
    write_firmware({bank_a, bank_b});
    sim_instance& sim = start_sim();

    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "self"}));

    ASSERT_EQ(run.exit_status, 0) << show(run);
    const std::string out = wine_crlf_to_lf(run.out);
    EXPECT_TRUE(out.starts_with("kvup v" KVUP_VERSION "\nOpening " + com_->name() +
                                "...\nEntering installer mode...\n"))
        << out;
    EXPECT_TRUE(contains(out, "Sending variant 1 bank B (20000 bytes, 5 chunks)...\n")) << out;
    EXPECT_TRUE(out.ends_with("Update complete - target is rebooting into the new firmware.\n"))
        << out;
    EXPECT_EQ(run.err, "");

    const sim_record record = sim.record();
    // The purge before the DTR pulse reaches the pty as a queue discard, which the simulator
    // takes for the reset.
    EXPECT_EQ(record.resets_us.size(), 1u);
    EXPECT_EQ(record.lines, (std::vector<std::string>{"installer on", PASSWORD, "fwupdate start"}));
    const sim_device_record& self = device(record, "KC-0001");
    EXPECT_EQ(self.banks[1].bytes, bank_b.bytes);
    EXPECT_TRUE(self.banks[0].bytes.empty());
    EXPECT_EQ(self.active_bank, 1);
}

// What kvup.exe asks of the port reaches the pty through Wine's mapping of the port settings:
// 115200 baud and 1 stop bit, with the port's own flow control kept. (A Linux pty holds 8 data
// bits and no parity whatever it is told, so those two are left to a real port.)
TEST_F(WineKvup, OpensThePortAt115200OneStopBitAndKeepsItsFlowControl) {
    write_firmware({image(1, 'A', 5000), image(1, 'B', 5000)});
    sim_instance& sim = start_sim();
    // As another program might have left the port: slow, 2 stop bits and hardware flow control,
    // none of which has any effect on a pty.
    termios before = terminal_settings(sim.slave_path());
    ::cfsetispeed(&before, B9600);
    ::cfsetospeed(&before, B9600);
    before.c_cflag |= CSTOPB | CRTSCTS;
    set_terminal_settings(sim.slave_path(), before);

    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "self"}));

    ASSERT_EQ(run.exit_status, 0) << show(run);
    const termios after = terminal_settings(sim.slave_path());
    EXPECT_EQ(::cfgetispeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF), 0u);
}

// The image holds every byte value, host to device. The controller's ACKs carry the chunk
// index, and 256 chunks take its low byte through every value, device to host; a byte dropped
// or changed on the way back fails the ACK's CRC and the chunk goes again.
TEST_F(WineKvup, EveryByteValueCrossesUnchangedBothWays) {
    constexpr std::uint32_t CHUNKS = 256;
    image_spec full = image(1, 'B', CHUNKS * 4096);
    for (int value = 0; value < 256; ++value) {
        full.bytes[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(value);
    }
    write_firmware({full});
    sim_config config;
    config.self.bank_limit = 2 * CHUNKS * 4096;
    sim_instance& sim = start_sim(config);

    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "self"}));

    ASSERT_EQ(run.exit_status, 0) << show(run);
    EXPECT_FALSE(contains(run.err, "WARNING")) << run.err;
    const sim_record record = sim.record();
    EXPECT_EQ(device(record, "KC-0001").banks[1].bytes, full.bytes);
    EXPECT_EQ(record.dropped_frames, 0u);
    EXPECT_TRUE(record.naks.empty());
    ASSERT_EQ(record.sessions.size(), 1u);
    EXPECT_EQ(record.sessions[0].chunks_acked, CHUNKS);
    const auto repeated =
        std::count_if(record.frames.begin(), record.frames.end(),
                      [](const sim_frame_event& f) { return f.chunk_attempt > 1; });
    EXPECT_EQ(repeated, 0);
}

TEST_F(WineKvup, RelaysAnUpdateToOnePeer) {
    const std::vector<image_spec> images{image(1, 'A', 6000), image(1, 'B', 6000),
                                         image(2, 'A', 9000), image(2, 'B', 9000)};
    write_firmware(images);
    sim_config config;
    config.peers = {peer("KC-0200", "controller", 1), peer("KR-0100", "reader", 2)};
    sim_instance& sim = start_sim(config);

    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "KR-0100"}));

    ASSERT_EQ(run.exit_status, 0) << show(run);
    EXPECT_TRUE(contains(wine_crlf_to_lf(run.out), "Relaying to KR-0100 (reader)...\n")) << run.out;
    const sim_record record = sim.record();
    ASSERT_EQ(record.sessions.size(), 1u);
    EXPECT_EQ(record.sessions[0].command, "fwupdate relay KR-0100");
    EXPECT_EQ(device(record, "KR-0100").banks[1].bytes, images[3].bytes);
    EXPECT_TRUE(device(record, "KC-0200").banks[1].bytes.empty());
    EXPECT_TRUE(device(record, "KC-0001").banks[1].bytes.empty());
}

TEST_F(WineKvup, FanOutUpdatesEveryPeerThenTheConnectedController) {
    const std::vector<image_spec> images{image(1, 'A', 6000), image(1, 'B', 7000),
                                         image(2, 'A', 8000), image(2, 'B', 9000)};
    write_firmware(images);
    sim_config config;
    config.peers = {peer("KC-0200", "controller", 1, 1), peer("KR-0100", "reader", 2)};
    sim_instance& sim = start_sim(config);

    const wine_result run = kvup(update_args({"--password", PASSWORD}));

    ASSERT_EQ(run.exit_status, 0) << show(run);
    EXPECT_TRUE(wine_crlf_to_lf(run.out).ends_with("\n3/3 device(s) updated successfully.\n"))
        << run.out;
    const sim_record record = sim.record();
    std::vector<std::string> order;
    for (const sim_session_record& session : record.sessions) {
        order.push_back(session.device);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"KC-0200", "KR-0100", "KC-0001"}));
    // One reset for the peer query, then one before each device.
    EXPECT_EQ(record.resets_us.size(), 4u);
    EXPECT_EQ(device(record, "KC-0200").banks[0].bytes, images[0].bytes);
    EXPECT_EQ(device(record, "KR-0100").banks[1].bytes, images[3].bytes);
    EXPECT_EQ(device(record, "KC-0001").banks[1].bytes, images[1].bytes);
}

TEST_F(WineKvup, WrongPasswordEndsTheRunBeforeAnyUpdate) {
    write_firmware({image(1, 'A', 5000), image(1, 'B', 5000)});
    sim_instance& sim = start_sim();

    const wine_result run = kvup(update_args({"--password", "kelvan", "--target", "self"}));

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(wine_crlf_to_lf(run.err), "ERROR: incorrect installer password\n");
    const sim_record record = sim.record();
    EXPECT_EQ(record.password_refusals, 1u);
    EXPECT_TRUE(record.sessions.empty());
    EXPECT_TRUE(record.frames.empty());
}

// A device that stops reading after it answers chunk 0: the pty fills and Wine's WriteFile
// waits. Each write's time-out (SetCommTimeouts before every WriteFile) must end it, so the run
// ends by itself with the warnings and the ERROR line; the limit is a hang guard.
TEST_F(WineKvup, DeviceThatStopsReadingEndsTheRunWithExitOne) {
    write_firmware({image(1, 'A', 20'000), image(1, 'B', 20'000)});
    sim_config config;
    sim_fault deaf;
    deaf.kind = sim_fault_kind::deaf;
    deaf.chunk = 0;
    deaf.answered = true;
    config.self.faults = {deaf};
    sim_instance& sim = start_sim(config);

    const wine_result run =
        wine_run(wine_, update_args({"--password", PASSWORD, "--target", "self"}), dir_.path(), "",
                 std::chrono::seconds(120));

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1) << show(run);
    const std::string err = wine_crlf_to_lf(run.err);
    EXPECT_TRUE(contains(err, "WARNING: write failed sending chunk 1, retrying (")) << err;
    EXPECT_TRUE(err.ends_with("ERROR: giving up on chunk 1 after 5 attempts\n")) << err;
    EXPECT_EQ(sim.record().deaf_spells, 1u);
    std::printf("device that stops reading: kvup.exe ended after %lld ms\n",
                static_cast<long long>(run.elapsed.count()));
}

TEST_F(WineKvup, BundleThatDoesNotLoadLeavesThePortAlone) {
    {
        std::ofstream bad(dir_.file(BUNDLE), std::ios::binary);
        bad << std::string(64, 'x');
    }
    sim_instance& sim = start_sim();

    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "self"}));

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(wine_crlf_to_lf(run.err),
              "ERROR: '" + BUNDLE + "' is not a firmware bundle (bad magic)\n");
    EXPECT_FALSE(contains(run.out, "Opening")) << run.out;
    const sim_record record = sim.record();
    EXPECT_TRUE(record.resets_us.empty());
    EXPECT_TRUE(record.lines.empty());
}

TEST_F(WineKvup, PortThatCannotBeOpenedIsNamedInTheError) {
    write_firmware({image(1, 'A', 5000), image(1, 'B', 5000)});

    // The port is held for this test, but nothing is behind its name.
    const wine_result run = kvup(update_args({"--password", PASSWORD, "--target", "self"}));

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(wine_crlf_to_lf(run.out).ends_with("Opening " + com_->name() + "...\n")) << run.out;
    EXPECT_EQ(wine_crlf_to_lf(run.err), "ERROR: could not open " + com_->name() + "\n");
}

// In a console window on a terminal: the terminal's erase key (DEL) and Ctrl-H both come as
// Backspace, an arrow key's two codes are dropped together, Enter comes as 13, and no key shows.
TEST_F(WineKvup, PasswordTypedAtTheHiddenPromptIsNotShown) {
    const image_spec bank_b = image(1, 'B', 9000);
    write_firmware({image(1, 'A', 9000), bank_b});
    sim_instance& sim = start_sim();

    wine_process process(wine_, update_args({"--target", "self"}), dir_.path(),
                         wine_stdin::console);
    ASSERT_TRUE(process.wait_for_console("password:", std::chrono::seconds(60)))
        << "no prompt in a console out of echo and line mode; the terminal got ["
        << process.terminal_output() << "]";
    process.type("kelvX\x7f"
                 "a\x1b[AY\x08"
                 "ne\r");
    const wine_result run = process.finish(std::chrono::seconds(60));

    const std::string screen = wine_terminal_text(process.terminal_output());
    ASSERT_EQ(run.exit_status, 0) << screen;
    const std::string prompt = "Installerpassword:";
    const std::size_t prompt_at = screen.find(prompt);
    ASSERT_NE(prompt_at, std::string::npos) << screen;
    const std::size_t typed_from = prompt_at + prompt.size();
    const std::string rest_of_line =
        screen.substr(typed_from, screen.find('\n', typed_from) - typed_from);
    EXPECT_EQ(rest_of_line.find_first_not_of('\r'), std::string::npos)
        << "shown after the prompt: [" << rest_of_line << "]";
    EXPECT_FALSE(contains(screen, "kelv")) << screen;
    EXPECT_TRUE(contains(screen, "Updatecomplete")) << screen;
    const sim_record record = sim.record();
    EXPECT_EQ(record.lines, (std::vector<std::string>{"installer on", PASSWORD, "fwupdate start"}));
    EXPECT_EQ(device(record, "KC-0001").banks[1].bytes, bank_b.bytes);
}

TEST_F(WineKvup, WithoutAConsoleThePasswordCannotBeRead) {
    write_firmware({image(1, 'A', 5000), image(1, 'B', 5000)});
    sim_instance& sim = start_sim();
    const std::vector<std::string> args = update_args({"--target", "self"});

    const wine_result piped = kvup(args, PASSWORD + "\r\n");
    const wine_result empty = kvup(args);
    wine_process from_null(wine_, args, dir_.path(), wine_stdin::null_device);
    const wine_result null_device = from_null.finish(std::chrono::seconds(60));

    for (const wine_result* run : {&piped, &empty, &null_device}) {
        EXPECT_EQ(run->exit_status, 1) << show(*run);
        EXPECT_EQ(run->out, "Installer password: ");
        EXPECT_EQ(wine_crlf_to_lf(run->err), "ERROR: failed to read password\n");
    }
    EXPECT_TRUE(sim.record().resets_us.empty());
}

} // namespace
