// kvup against a device that stops reading in the middle of an update (its firmware hangs with
// the USB link still up): the pty fills and every later write stalls. Each write must fail at
// its bound, so the run ends by itself in about the time a silent device costs, with the
// warnings, one ERROR line and exit status 1; a fan-out goes on to the next device, whose
// reset cures the hang. The time limit here is a hang guard, not a measurement.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

sim_fault deaf_at_chunk(std::uint32_t chunk, bool answered) {
    sim_fault f;
    f.kind = sim_fault_kind::deaf;
    f.chunk = chunk;
    f.answered = answered;
    return f;
}

// Five failed attempts at `chunk` and the ERROR line. How many of them fail at the write and how
// many at the wait for the answer depends on how much the pty holds; at least one write must
// have failed, or the device was never deaf to kvup.
::testing::AssertionResult gave_up_on(const std::string& err, std::uint32_t chunk) {
    const std::string n = std::to_string(chunk);
    std::string rest = err;
    int write_failures = 0;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        const std::string tail = ", retrying (" + std::to_string(attempt) + "/5)\n";
        const std::string silent = "WARNING: no response to chunk " + n + tail;
        const std::string stalled = "WARNING: write failed sending chunk " + n + tail;
        if (rest.starts_with(stalled)) {
            ++write_failures;
            rest.erase(0, stalled.size());
        } else if (rest.starts_with(silent)) {
            rest.erase(0, silent.size());
        } else {
            return ::testing::AssertionFailure() << "attempt " << attempt << " in:\n" << err;
        }
    }
    if (write_failures == 0) {
        return ::testing::AssertionFailure() << "no write failed:\n" << err;
    }
    if (rest != "ERROR: giving up on chunk " + n + " after 5 attempts\n") {
        return ::testing::AssertionFailure() << "after the warnings:\n" << err;
    }
    return ::testing::AssertionSuccess();
}

class Deaf : public kvup_e2e {
  protected:
    process_result run(const std::string& target) {
        std::vector<std::string> argv = {KVUP_BINARY};
        const std::vector<std::string> args = kvup_args(target);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, "", 180s);
    }
};

// Five chunk waits of 2 s and an abort cost about 12 s against a silent device.
TEST_F(Deaf, SelfAfterAnsweringAChunkEndsWithTheWarningsAndExitOne) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {deaf_at_chunk(0, true)};
    start_sim(config);

    const process_result r = run("self");
    const sim_record record = stop_sim();

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(gave_up_on(r.err, 1));
    EXPECT_LT(r.elapsed, 40s);
    EXPECT_EQ(record.deaf_spells, 1u);
    EXPECT_TRUE(untouched(record, config.self));
}

// A relayed chunk waits 10 s for its answer; the controller's link is what goes deaf.
TEST_F(Deaf, RelayedPeerEndsWithTheWarningsAndExitOne) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    config.peers[0].faults = {deaf_at_chunk(1, false)};
    start_sim(config);

    const process_result r = run("KR-0100");
    const sim_record record = stop_sim();

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(gave_up_on(r.err, 1));
    EXPECT_LT(r.elapsed, 90s);
    EXPECT_EQ(record.deaf_spells, 1u);
    EXPECT_TRUE(untouched(record, config.peers[0]));
}

TEST_F(Deaf, FanOutGoesOnToTheNextDevice) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2), make_device("KC-0200", "controller", 3)};
    config.peers[0].faults = {deaf_at_chunk(1, false)};
    start_sim(config);

    const process_result r = run("all");
    const sim_record record = stop_sim();

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(gave_up_on(r.err, 1));
    EXPECT_NE(r.out.find("\n1/2 device(s) updated successfully.\n"), std::string::npos) << r.out;
    EXPECT_LT(r.elapsed, 120s);
    EXPECT_FALSE(record.deaf); // the next device's reset cured it
    EXPECT_TRUE(untouched(record, config.peers[0]));
    EXPECT_TRUE(updated(record, config.peers[1]));
}

} // namespace
