// The USB shell on real sockets and its own thread: the test takes the host's end of the link
// where vhci-hcd would (the attach hook) and plays the kernel on it, as on a machine without
// vhci-hcd. Shows the import exchange done by the shell itself, the boot text after a DTR pulse
// at the right time, the unplug fault closing the link, a replug and a stop.

#include "sim-test-helpers.h"
#include "sim-usb.h"
#include "sim-usbip.h"
#include "usbip-test-helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using usbtest::bytes;
using usbtest::ret;

namespace {

struct hooked {
    std::mutex mu;
    std::vector<int> fds; // the host's end of every link so far
    std::vector<std::uint32_t> speeds;
    std::vector<std::string> notices;
    bool refuse_next = false; // the next attach fails

    sim_usb_options options() {
        sim_usb_options o;
        o.attach = [this](int fd, std::uint32_t, std::uint32_t speed, int& port,
                          std::string& error) {
            std::lock_guard<std::mutex> lock(mu);
            if (refuse_next) {
                refuse_next = false;
                error = "port busy";
                return false;
            }
            fds.push_back(::dup(fd));
            speeds.push_back(speed);
            port = static_cast<int>(fds.size()) - 1;
            return true;
        };
        o.notice = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mu);
            notices.push_back(line);
        };
        return o;
    }

    int fd(std::size_t n) {
        std::lock_guard<std::mutex> lock(mu);
        return n < fds.size() ? fds[n] : -1;
    }

    ~hooked() {
        for (int fd : fds) {
            ::close(fd);
        }
    }
};

// The kernel's end of one link.
struct host_end {
    explicit host_end(int link) : fd(link) {}
    int fd;
    usbtest::kernel kernel;
    std::vector<ret> rets;
    std::string console;
    bool eof = false;

    void send(const bytes& b) {
        ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }

    // Reads for up to `ms`, or until `done` holds.
    void read_for(
        int ms, const std::function<bool()>& done = [] { return false; }) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!eof && !done() && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) {
                continue;
            }
            std::uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                eof = true;
                return;
            }
            bool ok = true;
            for (ret& r : kernel.take(bytes(buf, buf + n), ok)) {
                if (r.command == 3 && reads.erase(r.seqnum) != 0) {
                    console.append(r.data.begin(), r.data.end());
                    read(); // cdc_acm resubmits each read URB at once
                    continue;
                }
                rets.push_back(std::move(r));
            }
            ASSERT_TRUE(ok);
        }
    }

    ret call(const bytes& cmd) {
        const std::size_t before = rets.size();
        send(cmd);
        read_for(2000, [&] { return rets.size() > before; });
        return rets.size() > before ? rets[before] : ret{};
    }

    void enumerate_and_open() {
        ASSERT_EQ(call(kernel.control_in(0x80, 6, 0x0100, 0, 64)).data.size(), 18u);
        ASSERT_EQ(call(kernel.control_out(0x00, 9, 1, 0)).status, 0);
        ASSERT_EQ(call(kernel.control_out(0x21, 0x22, 0x0003, 0)).status, 0);
        for (int i = 0; i < 16; ++i) {
            read();
        }
    }

    void read() {
        send(kernel.bulk_in(64));
        reads.insert(kernel.last_seqnum());
    }

    std::set<std::uint32_t> reads; // bulk IN URBs pending
};

sim_config unplug_config() {
    sim_config config;
    sim_fault unplug;
    unplug.kind = sim_fault_kind::unplug;
    unplug.chunk = 0;
    unplug.session = 1;
    config.self.faults = {unplug};
    config.self.bank_bytes[0] = {1, 2, 3};
    return config;
}

// Resets the device, starts an update and sends chunk 0, on which it unplugs.
void unplug_at_first_chunk(host_end& host) {
    host.enumerate_and_open();
    host.call(host.kernel.control_out(0x21, 0x22, 0x0002, 0));
    host.call(host.kernel.control_out(0x21, 0x22, 0x0003, 0));
    host.read_for(2000, [&] { return host.console.find("\x1b[K") != std::string::npos; });
    for (const char* line : {"installer on\r", "kelvane\r", "fwupdate start\r"}) {
        host.send(host.kernel.bulk_out(std::string(line)));
        host.read_for(100);
    }
    host.send(host.kernel.bulk_out(simtest::chunk_frame(simtest::make_image(4096, 1), 0)));
    host.read_for(2000);
}

} // namespace

TEST(UsbShell, AttachesAfterItsOwnImportAndBootsOnADtrPulse) {
    hooked hook;
    sim_config config;
    config.boot_delay_ms = 40;
    std::string error;
    std::unique_ptr<sim_usb_instance> sim = sim_usb_start(config, hook.options(), &error);
    ASSERT_TRUE(sim) << error;
    EXPECT_TRUE(sim->attached());
    EXPECT_EQ(sim->port(), 0);
    ASSERT_EQ(hook.speeds.size(), 1u);
    EXPECT_EQ(hook.speeds[0], SIM_USB_SPEED_FULL);
    EXPECT_EQ(sim->record().usb.attaches, 1u);

    host_end host{hook.fd(0)};
    host.enumerate_and_open();
    host.call(host.kernel.control_out(0x21, 0x22, 0x0002, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(55));
    host.call(host.kernel.control_out(0x21, 0x22, 0x0003, 0));
    const auto set = std::chrono::steady_clock::now();
    host.read_for(3000, [&] { return host.console.find("\x1b[K") != std::string::npos; });
    const auto boot_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - set)
                             .count();
    EXPECT_NE(host.console.find("Kelvane controller KC-0001"), std::string::npos) << host.console;
    EXPECT_GE(boot_ms, 39) << "the boot delay runs from DTR set";

    const sim_record rec = sim->record();
    ASSERT_EQ(rec.usb.dtr_resets.size(), 1u);
    EXPECT_GE(rec.usb.dtr_resets[0].set_us - rec.usb.dtr_resets[0].cleared_us, 55'000u);
    EXPECT_EQ(rec.resets_us.size(), 1u);

    sim->stop();
    host.read_for(2000);
    EXPECT_TRUE(host.eof) << "stopping detaches the device";
    EXPECT_FALSE(sim->running());
}

TEST(UsbShell, UnplugClosesTheLinkAndAReplugBringsTheDeviceBackWithItsBanks) {
    hooked hook;
    std::string error;
    std::unique_ptr<sim_usb_instance> sim = sim_usb_start(unplug_config(), hook.options(), &error);
    ASSERT_TRUE(sim) << error;

    host_end host{hook.fd(0)};
    unplug_at_first_chunk(host);
    EXPECT_TRUE(host.eof) << "the unplug closes the link";
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.usb.unplugs == 1; }, 2000));
    EXPECT_FALSE(sim->attached());
    EXPECT_TRUE(sim->running()) << "it can come back";
    EXPECT_EQ(sim->record().sessions[0].outcome, sim_outcome::interrupted);

    ASSERT_TRUE(sim->replug());
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.usb.attaches == 2; }, 2000));
    EXPECT_FALSE(sim->replug()) << "already attached";
    host_end again{hook.fd(1)};
    again.enumerate_and_open();
    again.call(again.kernel.control_out(0x21, 0x22, 0x0002, 0));
    again.call(again.kernel.control_out(0x21, 0x22, 0x0003, 0));
    again.read_for(2000, [&] { return again.console.find("\x1b[K") != std::string::npos; });
    EXPECT_NE(again.console.find("running bank A"), std::string::npos) << again.console;
    const sim_record rec = sim->record();
    EXPECT_EQ(rec.devices[0].banks[0].bytes, (bytes{1, 2, 3}));
    EXPECT_TRUE(rec.devices[0].banks[1].bytes.empty());
    std::lock_guard<std::mutex> lock(hook.mu);
    ASSERT_GE(hook.notices.size(), 3u);
    EXPECT_EQ(hook.notices[1], "kvup-sim: USB device detached (unplug fault)");
}

TEST(UsbShell, ReplugAfterAttachesByItselfAndTheHostGoingAwayWaitsForAReplug) {
    hooked hook;
    sim_usb_options options = hook.options();
    options.replug_after_ms = 100;
    options.high_speed = true;
    std::string error;
    std::unique_ptr<sim_usb_instance> sim = sim_usb_start(unplug_config(), options, &error);
    ASSERT_TRUE(sim) << error;
    EXPECT_EQ(hook.speeds[0], SIM_USB_SPEED_HIGH);
    host_end host{hook.fd(0)};
    unplug_at_first_chunk(host);
    EXPECT_TRUE(host.eof);
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.usb.attaches == 2; }, 3000));

    // The host going away is no unplug: the device stays detached until told.
    ::shutdown(hook.fd(1), SHUT_RDWR);
    for (int i = 0; i < 200 && sim->attached(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(sim->attached());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sim->record().usb.attaches, 2u);
    EXPECT_TRUE(sim->running());
    EXPECT_TRUE(sim->replug());
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.usb.attaches == 3; }, 2000));
}

TEST(UsbShell, AFailedReplugLeavesTheDeviceDetachedForTheNextTry) {
    hooked hook;
    std::string error;
    std::unique_ptr<sim_usb_instance> sim = sim_usb_start(sim_config{}, hook.options(), &error);
    ASSERT_TRUE(sim) << error;
    ::shutdown(hook.fd(0), SHUT_RDWR);
    for (int i = 0; i < 200 && sim->attached(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(sim->attached());
    {
        std::lock_guard<std::mutex> lock(hook.mu);
        hook.refuse_next = true;
    }
    ASSERT_TRUE(sim->replug());
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(hook.mu);
        if (!hook.notices.empty() &&
            hook.notices.back().find("replug failed") != std::string::npos) {
            break;
        }
    }
    EXPECT_TRUE(sim->running());
    EXPECT_FALSE(sim->attached());
    ASSERT_TRUE(sim->replug());
    ASSERT_TRUE(sim->wait_for([](const sim_record& r) { return r.usb.attaches == 2; }, 2000));
    std::lock_guard<std::mutex> lock(hook.mu);
    EXPECT_EQ(hook.notices[2], "kvup-sim: USB replug failed: port busy");
}

TEST(UsbShell, AFailedAttachIsReported) {
    sim_usb_options options;
    options.vhci_dir = "/nonexistent/vhci_hcd.0";
    std::string error;
    EXPECT_FALSE(sim_usb_start(sim_config{}, options, &error));
    EXPECT_NE(error.find("no free port"), std::string::npos) << error;
}
