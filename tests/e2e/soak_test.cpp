// Seeded random fault scripts against the real kvup binary and the simulated devices on a
// pseudo-terminal: every run must end with each device either running exactly the bundle's image
// from the bank it offered or exactly as it was, with an exit status and output that say which.
// The scripts keep to faults that cost little waiting. A failing script prints its seed; run it
// alone with KVUP_E2E_SOAK_SEED=<seed>, or change the number with KVUP_E2E_SOAK_SCRIPTS=<n>.

#include "builders.h"
#include "run-process.h"
#include "sim.h"
#include "soak/soak-scripts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t FIRST_SEED = 0xe2e50000;
constexpr int DEFAULT_SCRIPTS = 40;

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> kvup_args(const std::string& port, const std::string& bundle,
                                   const soak::script& s) {
    std::vector<std::string> args = {KVUP_BINARY,  "--port",         port, "--firmware", bundle,
                                     "--password", s.config.password};
    if (s.target) {
        args.insert(args.end(), {"--target", *s.target});
    }
    return args;
}

TEST(E2eSoak, RandomFaultScriptsEndUpdatedOrUntouched) {
    const std::vector<std::uint64_t> seeds = soak::seeds_from_environment(
        "KVUP_E2E_SOAK_SEED", "KVUP_E2E_SOAK_SCRIPTS", DEFAULT_SCRIPTS, FIRST_SEED);

    const auto started = std::chrono::steady_clock::now();
    int succeeded = 0;
    int failed = 0;
    int with_watchdog = 0;
    unsigned watchdog_resets = 0;
    std::chrono::milliseconds longest{0};
    for (const std::uint64_t seed : seeds) {
        const soak::script s = soak::make_script(seed, soak::profile::real_time);
        with_watchdog += soak::has_fault(s, sim_fault_kind::watchdog) ||
                                 soak::has_fault(s, sim_fault_kind::watchdog_finalize)
                             ? 1
                             : 0;
        temp_dir dir;
        const std::string bundle = dir.file("fw.kvfw");
        write_file(bundle, soak::bundle_file(s));
        std::string error;
        const std::unique_ptr<sim_instance> sim = sim_start(s.config, &error);
        ASSERT_NE(sim, nullptr) << error;

        const process_result r = run_process(kvup_args(sim->port_path(), bundle, s), "", 90s);
        sim->stop();
        const sim_record record = sim->record();
        longest = std::max(longest, r.elapsed);
        (r.exit_status == 0 ? succeeded : failed) += 1;
        watchdog_resets += record.watchdog_resets;

        std::vector<std::string> problems =
            soak::check(s, r.exit_status, r.out, r.err, record).problems;
        if (r.timed_out) {
            problems.push_back("kvup still ran after 90 s");
        }
        if (problems.empty()) {
            continue;
        }
        std::string text;
        for (const std::string& p : problems) {
            text += "  " + p + "\n";
        }
        ADD_FAILURE() << "script " << soak::describe(s) << "\nexit status " << r.exit_status
                      << " after " << r.elapsed.count() << " ms\n"
                      << text << "stdout:\n"
                      << r.out << "\nstderr:\n"
                      << r.err << sim_record_summary(record)
                      << "reproduce: KVUP_E2E_SOAK_SEED=" << seed << " "
                      << ::testing::internal::GetArgvs()[0];
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("end-to-end soak: %zu scripts in %.1f s (longest run %lld ms): exit 0 in %d, "
                "exit 1 in %d\n",
                seeds.size(), seconds, static_cast<long long>(longest.count()), succeeded, failed);
    std::printf("  %d of the scripts carry a watchdog fault; %u watchdog reset(s) fired\n",
                with_watchdog, watchdog_resets);
}

// The device goes away (its USB link drops) when a chunk arrives: kvup must give up at once
// rather than wait out its time-outs, and leave the port name free for the device's return.
TEST(E2eSoak, DisconnectAtARandomChunkEndsTheRunAtOnceAndFreesThePort) {
    soak::rng r(soak::env_int("KVUP_E2E_SOAK_SEED", 0x0d15c0));
    for (int round = 0; round < 3; ++round) {
        temp_dir dir;
        soak::script s;
        s.images.push_back({1, 'B', 0x0100, test_image(6 * 4096 - r.below(4096), round)});
        s.target = "self";
        s.config.link_path = dir.file("ttyKV0");
        const std::uint32_t chunk = r.below(6);
        s.config.self.faults.push_back({.kind = sim_fault_kind::disconnect, .chunk = chunk});
        const std::string bundle = dir.file("fw.kvfw");
        write_file(bundle, soak::bundle_file(s));

        std::string error;
        std::unique_ptr<sim_instance> sim = sim_start(s.config, &error);
        ASSERT_NE(sim, nullptr) << error;
        sim_instance* device = sim.get();
        auto gone = std::async(std::launch::async, [device] {
            device->wait_for([](const sim_record& rec) { return rec.disconnected; }, 30000);
            return std::chrono::steady_clock::now();
        });
        const process_result first = run_process(kvup_args(s.config.link_path, bundle, s), "", 30s);
        const auto ended = std::chrono::steady_clock::now();
        const auto disconnected_at = gone.get();
        sim->stop();
        const auto after_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(ended - disconnected_at);
        std::printf("disconnect at chunk %u: kvup ended %lld ms later, exit status %d\n", chunk,
                    static_cast<long long>(after_ms.count()), first.exit_status);
        EXPECT_TRUE(sim->record().disconnected);
        EXPECT_EQ(first.exit_status, 1) << first.err;
        EXPECT_LT(after_ms.count(), 1500) << "kvup waited for time-outs on a port that is gone\n"
                                          << first.err;
        EXPECT_TRUE(soak::check(s, first.exit_status, first.out, first.err, sim->record())
                        .problems.empty());

        // The device comes back at the same name: a second kvup opens it and updates it.
        sim.reset();
        s.config.self.faults.clear();
        sim = sim_start(s.config, &error);
        ASSERT_NE(sim, nullptr) << error;
        const process_result second =
            run_process(kvup_args(s.config.link_path, bundle, s), "", 30s);
        sim->stop();
        EXPECT_EQ(second.exit_status, 0) << second.err;
        EXPECT_TRUE(soak::check(s, second.exit_status, second.out, second.err, sim->record())
                        .problems.empty());
    }
}

} // namespace
