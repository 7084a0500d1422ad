// The simulator on a real pseudo-terminal, driven by a tiny host written here with raw file
// descriptors: reset by queue discard, the dialogue across reopened sessions, the link, pacing
// and the disconnect fault. Time bounds are generous and only guard against hangs, except the
// pacing lower bound, which the simulator guarantees.

#include "sim-link.h"
#include "sim-test-helpers.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using simtest::bytes;

namespace {

constexpr int HANG_MS = 10'000;

class port {
  public:
    explicit port(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios tio{};
            ::tcgetattr(fd_, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~port() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    port(const port&) = delete;
    port& operator=(const port&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // The host's reset as a pty can show it: discard both queues.
    void flush() { ::tcflush(fd_, TCIOFLUSH); }

    void write(std::string_view text) { write(bytes(text.begin(), text.end())); }
    void write(const bytes& data) {
        ASSERT_EQ(::write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    // Reads until the bytes received end with `tail`; false on a time-out or read failure.
    bool read_until(std::string_view tail, std::string* got = nullptr) {
        std::string seen;
        while (!(seen.size() >= tail.size() && seen.ends_with(tail))) {
            std::uint8_t byte = 0;
            if (read_byte(byte) != 1) {
                return false;
            }
            seen += static_cast<char>(byte);
        }
        if (got != nullptr) {
            *got = seen;
        }
        return true;
    }

    // Reads until one device frame with a good CRC is complete.
    std::optional<simtest::received_frame> read_frame() {
        bytes seen;
        for (;;) {
            std::uint8_t byte = 0;
            if (read_byte(byte) != 1) {
                return std::nullopt;
            }
            seen.push_back(byte);
            simtest::device_output out = simtest::split_output(seen);
            if (!out.frames.empty()) {
                return out.frames[0];
            }
        }
    }

    // 1 with a byte, 0 on the hang guard, -1 on a read failure or hang-up.
    int read_byte(std::uint8_t& byte) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, HANG_MS);
        if (ready == 0) {
            return 0;
        }
        const ssize_t n = ::read(fd_, &byte, 1);
        return n == 1 ? 1 : -1;
    }

  private:
    int fd_ = -1;
};

std::unique_ptr<sim_instance> start(const sim_config& config) {
    std::string error;
    std::unique_ptr<sim_instance> sim = sim_start(config, &error);
    EXPECT_NE(sim, nullptr) << error;
    return sim;
}

void enter_installer(port& p) {
    p.flush();
    ASSERT_TRUE(p.read_until("\x1b[K"));
    p.write("installer on\r");
    ASSERT_TRUE(p.read_until("Installer password: "));
    p.write("kelvane\r");
    ASSERT_TRUE(p.read_until("Installer mode ON\r\n"));
}

// One whole update of the connected controller; the bank the device offered.
std::uint8_t update_self(port& p, const bytes& image) {
    p.write("fwupdate start\r");
    const std::optional<simtest::received_frame> ready = p.read_frame();
    EXPECT_TRUE(ready && ready->type == 0x81 && ready->payload.size() == 7);
    if (!ready) {
        return 0xFF;
    }
    const std::uint8_t bank = ready->payload[0];
    for (std::uint32_t i = 0; i * 4096 < image.size(); ++i) {
        p.write(simtest::chunk_frame(image, i));
        const std::optional<simtest::received_frame> ack = p.read_frame();
        EXPECT_TRUE(ack && ack->type == 0x82);
    }
    p.write(
        simtest::finalize_frame(1, static_cast<std::uint32_t>(image.size()), crc_of(image), bank));
    const std::optional<simtest::received_frame> done = p.read_frame();
    EXPECT_TRUE(done && done->type == 0x84);
    return bank;
}

std::string temp_link(const char* name) {
    return ::testing::TempDir() + "kvup-sim-" + std::to_string(::getpid()) + "-" + name;
}

} // namespace

TEST(SimPty, QueueDiscardIsTheResetAndSettingsChangesAreNot) {
    std::unique_ptr<sim_instance> sim = start(sim_config{});
    ASSERT_NE(sim, nullptr);
    port p(sim->port_path());
    ASSERT_TRUE(p.ok());

    // Flow-control changes raise other packet-mode status bits.
    termios tio{};
    ::tcgetattr(p.fd(), &tio);
    tio.c_iflag |= IXON;
    ::tcsetattr(p.fd(), TCSANOW, &tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON);
    ::tcsetattr(p.fd(), TCSANOW, &tio);
    p.write("help\r");
    ASSERT_TRUE(p.read_until("\x1b[K")); // power-on prompt or the answer; either way...
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return !r.lines.empty(); }, HANG_MS));
    EXPECT_TRUE(sim->record().resets_us.empty()) << "...the settings changes were no reset";

    p.flush();
    // The answer to "help" may still be on its way when the discard is made, so whatever comes
    // before the boot banner is passed over.
    ASSERT_TRUE(p.read_until("Kelvane controller KC-0001"));
    ASSERT_TRUE(p.read_until(SIM_PROMPT));
    EXPECT_EQ(sim->record().resets_us.size(), 1u);
}

// A port that echoes (a host put back the echo it found, then closed it) would send the device's
// own output back to it, and its answers to that back again, for ever. The device hears nothing
// through an echoing port; once the port is raw it hears the host again.
TEST(SimPty, NothingIsHeardWhileThePortEchoes) {
    std::unique_ptr<sim_instance> sim = start(sim_config{});
    ASSERT_NE(sim, nullptr);
    port p(sim->port_path());
    ASSERT_TRUE(p.ok());
    termios tio{};
    ::tcgetattr(p.fd(), &tio);
    tio.c_lflag |= ECHO;
    ::tcsetattr(p.fd(), TCSANOW, &tio);
    p.flush(); // the boot text that follows is echoed
    ASSERT_TRUE(p.read_until(SIM_PROMPT));
    p.write("help\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sim->record().lines.empty());

    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(p.fd(), TCSANOW, &tio);
    p.write("help\r");
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return !r.lines.empty(); }, HANG_MS));
    EXPECT_EQ(sim->record().lines, std::vector<std::string>{"help"});
}

TEST(SimPty, UpdatesAcrossReopenedSessionsFlipBanks) {
    std::unique_ptr<sim_instance> sim = start(sim_config{});
    ASSERT_NE(sim, nullptr);
    const bytes first = simtest::make_image(9000, 1);
    const bytes second = simtest::make_image(5000, 2);
    {
        port p(sim->port_path());
        ASSERT_TRUE(p.ok());
        enter_installer(p);
        EXPECT_EQ(update_self(p, first), 1);
    }
    {
        // A new host run: the slave was closed in between, and the device is still there.
        port p(sim->port_path());
        ASSERT_TRUE(p.ok());
        enter_installer(p);
        EXPECT_EQ(update_self(p, second), 0);
    }
    ASSERT_TRUE(sim->wait_for(
        [](const sim_record& r) { return r.sessions.size() == 2 && r.sessions[1].done_us != 0; },
        HANG_MS));
    const sim_record rec = sim->record();
    EXPECT_EQ(rec.devices[0].active_bank, 0);
    EXPECT_EQ(rec.devices[0].banks[1].bytes, first);
    EXPECT_EQ(rec.devices[0].banks[0].bytes, second);
    EXPECT_EQ(rec.resets_us.size(), 2u);
    EXPECT_GE(rec.turnaround_us.size(), 2u);
    EXPECT_GT(rec.sessions[0].done_us, rec.sessions[0].first_chunk_us);
}

TEST(SimPty, LinkPointsAtTheSlaveAndGoesAtStop) {
    sim_config config;
    config.link_path = temp_link("link");
    std::unique_ptr<sim_instance> sim = start(config);
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->port_path(), config.link_path);
    char target[256] = {};
    ASSERT_GT(::readlink(config.link_path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim->slave_path(), target);
    sim->stop();
    struct stat st {};
    EXPECT_NE(::lstat(config.link_path.c_str(), &st), 0);
    EXPECT_FALSE(sim->running());
}

TEST(SimPty, LinkPathHeldByARegularFileIsRefused) {
    sim_config config;
    config.link_path = temp_link("file");
    const int fd = ::open(config.link_path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string error;
    EXPECT_EQ(sim_start(config, &error), nullptr);
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos);
    ::unlink(config.link_path.c_str());
}

// On a pty an unplug cannot come back: it closes the port as the disconnect fault does.
TEST(SimPty, DisconnectAndUnplugFaultsCloseThePortUnderTheHost) {
    for (const sim_fault_kind kind : {sim_fault_kind::disconnect, sim_fault_kind::unplug}) {
        SCOPED_TRACE(static_cast<int>(kind));
        sim_config config;
        config.link_path = temp_link("disconnect");
        sim_fault f;
        f.kind = kind;
        f.chunk = 1;
        config.self.faults = {f};
        std::unique_ptr<sim_instance> sim = start(config);
        ASSERT_NE(sim, nullptr);
        port p(sim->port_path());
        ASSERT_TRUE(p.ok());
        enter_installer(p);
        const bytes image = simtest::make_image(3 * 4096, 4);
        p.write("fwupdate start\r");
        ASSERT_TRUE(p.read_frame());
        p.write(simtest::chunk_frame(image, 0));
        ASSERT_TRUE(p.read_frame());
        p.write(simtest::chunk_frame(image, 1));
        std::uint8_t byte = 0;
        EXPECT_EQ(p.read_byte(byte), -1) << "the host's next read fails";
        ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.disconnected; }, HANG_MS));
        EXPECT_FALSE(sim->running());
        struct stat st {};
        EXPECT_NE(::lstat(config.link_path.c_str(), &st), 0);
    }
}

TEST(SimPty, BaudRatePacesTheDevicesOutput) {
    sim_config config;
    config.baud = 9600; // about 1 ms a byte
    std::unique_ptr<sim_instance> sim = start(config);
    ASSERT_NE(sim, nullptr);
    port p(sim->port_path());
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.read_until(SIM_PROMPT)); // the power-on output is through
    p.flush();
    const auto begin = std::chrono::steady_clock::now();
    std::string boot;
    ASSERT_TRUE(p.read_until(SIM_PROMPT, &boot));
    const auto took_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - begin)
                             .count();
    // Each byte is handed over once its stop bit is through the line, the first one included.
    const auto floor_us =
        static_cast<long long>(boot.size() * sim_byte_time_ns(config.baud) / 1000);
    EXPECT_GE(took_us, floor_us) << boot.size() << " bytes";
}
