// A thousand seeded random fault scripts, each a whole update run over the fake
// port, against the simulated devices' logic on the virtual clock: every run must end with each
// device either running exactly the bundle's image from the bank it offered or exactly as it was,
// with an exit status and output that say which. A failing script prints its seed; run it alone
// with KVUP_SOAK_SEED=<seed>, or change the number of scripts with KVUP_SOAK_SCRIPTS=<n>.

#include "update-run.h"

#include "fake-device.h"
#include "options.h"
#include "sim-core.h"
#include "soak-scripts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t FIRST_SEED = 0x5eed0000;
constexpr int DEFAULT_SCRIPTS = 1000;

std::uint64_t now_us() {
    return fake::now_ms() * 1000;
}

// The simulated devices on the fake port: what kvup writes is fed to the core at the virtual
// time of the write, and the core's answers are queued on the port at the times they fall due.
// A disconnect leaves a port that fails every read and write, through later resets too.
class wired_devices {
  public:
    explicit wired_devices(const sim_config& config) : core_(config, now_us()) {
        pump();
        fake::on_write([this](std::string_view written) {
            core_.feed(reinterpret_cast<const std::uint8_t*>(written.data()), written.size(),
                       now_us());
            pump();
        });
        fake::on_reset([this] {
            core_.reset(now_us());
            pump();
            if (hung_up_) {
                fake::device_hangs_up();
            }
        });
    }
    wired_devices(const wired_devices&) = delete;
    wired_devices& operator=(const wired_devices&) = delete;
    ~wired_devices() {
        fake::on_write(nullptr);
        fake::on_reset(nullptr);
    }

    const sim_record& record() const { return core_.record(); }

  private:
    void pump() {
        while (const std::optional<std::uint64_t> due_us = core_.next_due_us()) {
            const std::span<const std::uint8_t> bytes = core_.output_peek(*due_us);
            fake::device_sends_at(
                (*due_us + 999) / 1000,
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            core_.output_commit(bytes.size(), *due_us);
        }
        if (core_.disconnect_requested() && !hung_up_) {
            hung_up_ = true;
            core_.note_disconnected();
            fake::device_hangs_up();
            fake::script_write_results(std::vector<int>(10000, -1));
        }
    }

    sim_core core_;
    bool hung_up_ = false;
};

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
    sim_record record;
    std::uint64_t virtual_ms = 0;
};

run_result run_script(const soak::script& s, const std::string& bundle_path) {
    const std::vector<std::uint8_t> file = soak::bundle_file(s);
    std::ofstream(bundle_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));

    fake::reset();
    run_result r;
    const std::uint64_t start_ms = fake::now_ms();
    {
        wired_devices devices(s.config);
        std::vector<std::string> args = {"kvup",      "--port",     "/dev/ttyACM0",   "--firmware",
                                         bundle_path, "--password", s.config.password};
        if (s.target) {
            args.insert(args.end(), {"--target", *s.target});
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        r.status = options_load(static_cast<int>(args.size()), argv.data()) ? update_run() : -1;
        r.out = ::testing::internal::GetCapturedStdout();
        r.err = ::testing::internal::GetCapturedStderr();
        r.record = devices.record();
    }
    r.virtual_ms = fake::now_ms() - start_ms;
    if (fake::open_count() != 1 || fake::close_count() != 1) {
        r.err += "(the port was opened " + std::to_string(fake::open_count()) +
                 " time(s) and closed " + std::to_string(fake::close_count()) + " time(s))\n";
        r.status = -2;
    }
    fake::reset();
    return r;
}

TEST(FaultSoak, EveryRunEndsUpdatedOrUntouchedAndSaysWhich) {
    const std::string bundle_path =
        ::testing::TempDir() + "fault_soak." + std::to_string(getpid()) + ".kvfw";
    const std::vector<std::uint64_t> seeds = soak::seeds_from_environment(
        "KVUP_SOAK_SEED", "KVUP_SOAK_SCRIPTS", DEFAULT_SCRIPTS, FIRST_SEED);

    const auto started = std::chrono::steady_clock::now();
    int succeeded = 0;
    int failed = 0;
    int with_watchdog = 0;
    unsigned watchdog_resets = 0;
    int devices_updated = 0;
    std::size_t unknown = 0;
    std::size_t unknown_updated = 0;
    std::uint64_t virtual_ms = 0;
    std::vector<std::uint64_t> failing;
    for (const std::uint64_t seed : seeds) {
        const soak::script s = soak::make_script(seed, soak::profile::virtual_clock);
        with_watchdog += soak::has_fault(s, sim_fault_kind::watchdog) ||
                                 soak::has_fault(s, sim_fault_kind::watchdog_finalize)
                             ? 1
                             : 0;
        const run_result r = run_script(s, bundle_path);
        const soak::verdict v = soak::check(s, r.status, r.out, r.err, r.record);
        const std::vector<std::string>& problems = v.problems;
        unknown += v.unknown;
        unknown_updated += v.unknown_updated;
        (r.status == 0 ? succeeded : failed) += 1;
        watchdog_resets += r.record.watchdog_resets;
        virtual_ms += r.virtual_ms;
        for (const sim_device_record& d : r.record.devices) {
            devices_updated += d.banks[0].writes + d.banks[1].writes > 0 ? 1 : 0;
        }
        if (problems.empty() && r.status >= 0) {
            continue;
        }
        failing.push_back(seed);
        std::string text;
        for (const std::string& p : problems) {
            text += "  " + p + "\n";
        }
        ADD_FAILURE() << "script " << soak::describe(s) << "\nexit status " << r.status << "\n"
                      << text << "stdout:\n"
                      << r.out << "\nstderr:\n"
                      << r.err << sim_record_summary(r.record)
                      << "reproduce: KVUP_SOAK_SEED=" << seed << " "
                      << ::testing::internal::GetArgvs()[0];
    }
    std::remove(bundle_path.c_str());

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("fault soak: %zu scripts in %.1f s (%.0f s of virtual time): exit 0 in %d, exit 1 "
                "in %d, %d device(s) updated; %zu finalize(s) unanswered in time, %zu of them "
                "taken by the device\n",
                seeds.size(), seconds, static_cast<double>(virtual_ms) / 1000.0, succeeded, failed,
                devices_updated, unknown, unknown_updated);
    std::printf("  %d of the scripts carry a watchdog fault; %u watchdog reset(s) fired\n",
                with_watchdog, watchdog_resets);
    if (!failing.empty()) {
        std::printf("failing seeds:");
        for (const std::uint64_t seed : failing) {
            std::printf(" %llu", static_cast<unsigned long long>(seed));
        }
        std::printf("\n");
    }
    // Both endings must be common, or the scripts test little.
    if (seeds.size() >= 100) {
        EXPECT_GT(succeeded, static_cast<int>(seeds.size()) / 5);
        EXPECT_GT(failed, static_cast<int>(seeds.size()) / 5);
    }
}

} // namespace
