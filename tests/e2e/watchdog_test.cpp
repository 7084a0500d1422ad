// kvup against a device that resets itself in the middle of an update (its watchdog fires): the
// session is dropped, nothing is written, and the device's boot text and prompt come where kvup
// reads frames. kvup must end with exit status 1 and a message that is true of the device, never
// claim the update, and leave the bank the device runs from untouched.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string UNKNOWN_OUTCOME = "ERROR: no response to finalize - update state on the target "
                                    "is unknown, retry with a fresh session\n";

sim_fault watchdog_at_chunk(std::uint32_t chunk) {
    sim_fault f;
    f.kind = sim_fault_kind::watchdog;
    f.chunk = chunk;
    return f;
}

sim_fault watchdog_at_finalize() {
    sim_fault f;
    f.kind = sim_fault_kind::watchdog_finalize;
    return f;
}

std::string gave_up_on(std::uint32_t chunk) {
    std::string err;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        err += "WARNING: no response to chunk " + std::to_string(chunk) + ", retrying (" +
               std::to_string(attempt) + "/5)\n";
    }
    return err + "ERROR: giving up on chunk " + std::to_string(chunk) + " after 5 attempts\n";
}

class Watchdog : public kvup_e2e {
  protected:
    process_result run(const std::optional<std::string>& target) {
        std::vector<std::string> argv = {KVUP_BINARY};
        const std::vector<std::string> args = kvup_args(target);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, "", 120s); // five relayed chunk time-outs take 50 s
    }
};

TEST_F(Watchdog, SelfAtAChunkGivesUpOnThatChunk) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {watchdog_at_chunk(1)};
    start_sim(config);

    const process_result r = run("self");
    const sim_record record = stop_sim();

    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, gave_up_on(1));
    EXPECT_EQ(r.out.find("Update complete"), std::string::npos) << r.out;
    ASSERT_EQ(record.sessions.size(), 1u);
    EXPECT_EQ(record.sessions[0].outcome, sim_outcome::interrupted);
    EXPECT_TRUE(record.finalizes.empty());
    EXPECT_TRUE(untouched(record, config.self));
}

TEST_F(Watchdog, SelfAtTheFinalizeLeavesTheOutcomeUnknown) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {watchdog_at_finalize()};
    start_sim(config);

    const process_result r = run("self");
    const sim_record record = stop_sim();

    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, UNKNOWN_OUTCOME);
    const std::string session = session_output(1, 'B', bundle_image(1, 'B').size());
    EXPECT_EQ(r.out, opening_output() + session.substr(0, session.find("Update complete")));
    ASSERT_EQ(record.finalizes.size(), 1u);
    EXPECT_FALSE(record.finalizes[0].accepted);
    EXPECT_TRUE(untouched(record, config.self));
}

TEST_F(Watchdog, RelayedAtTheFinalizeLeavesTheOutcomeUnknown) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    config.peers[0].faults = {watchdog_at_finalize()};
    start_sim(config);

    const process_result r = run("KR-0100");
    const sim_record record = stop_sim();

    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, UNKNOWN_OUTCOME);
    EXPECT_EQ(r.out.find("Update complete"), std::string::npos) << r.out;
    EXPECT_TRUE(untouched(record, config.peers[0]));
    EXPECT_TRUE(untouched(record, config.self));
}

// In a fan-out the device that reset is counted as failed and the next one is updated from a
// fresh installer-mode entry.
TEST_F(Watchdog, RelayedAtAChunkInAFanOutFailsThatDeviceOnly) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2), make_device("KC-0200", "controller", 3)};
    config.peers[0].faults = {watchdog_at_chunk(2)};
    start_sim(config);

    const process_result r = run("all");
    const sim_record record = stop_sim();

    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, gave_up_on(2));
    EXPECT_NE(r.out.find("\n1/2 device(s) updated successfully.\n"), std::string::npos) << r.out;
    EXPECT_TRUE(untouched(record, config.peers[0]));
    EXPECT_TRUE(updated(record, config.peers[1]));
    EXPECT_TRUE(untouched(record, config.self));
}

} // namespace
