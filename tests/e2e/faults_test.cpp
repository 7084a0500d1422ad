// kvup against simulated devices that misbehave: a console that boots into its menu, installer
// mode refused, a device in the middle of a fan-out that fails, answers to chunks that are lost,
// late, garbled, out of order or split across kvup's wait, and a device that never lets the
// transfer end.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

sim_fault make_fault(sim_fault_kind kind, std::uint32_t chunk = 0) {
    sim_fault fault;
    fault.kind = kind;
    fault.chunk = chunk;
    return fault;
}

std::string ready_and_sending(const sim_device_config& device) {
    const char bank = static_cast<char>('A' + (device.active_bank ^ 1));
    const std::size_t len = bundle_image(device.variant, bank).size();
    const std::string all = session_output(device.variant, bank, len);
    return all.substr(0, all.find("Update complete"));
}

// Standard error of a session with a device that takes chunk 0 and sends kvup back to it from
// every later chunk of a three-chunk image.
std::string ping_pong_error() {
    std::string err;
    for (int i = 0; i < 7; ++i) {
        err += "WARNING: chunk 1 NAK'd (reason 1), device expects 0, retrying (1/5)\n";
    }
    return err + "ERROR: device keeps asking for earlier chunks - giving up after 15 chunk frames "
                 "for 3 chunks\n";
}

const std::string PING_PONG_ERROR = ping_pong_error();

class Console : public kvup_e2e {};

// A controller that comes up in its service menu is taken back to its plain prompt, with a word
// on standard error; an echoing console does not disturb the dialogue or the peer listing.
TEST_F(Console, MenuIsEscapedAndEchoIsHarmless) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    config.boot_menu = true;
    config.echo = true;
    start_sim(config);

    const process_result run = kvup(kvup_args("KR-0100"));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "[cli-drive] device reset into the menu (already in installer mode) - "
                       "escaping back to plain text\n");
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n" +
                           "Relaying to KR-0100 (reader)...\n" +
                           session_output(2, 'B', bundle_image(2, 'B').size()));
    EXPECT_TRUE(updated(record, config.peers[0]));
    EXPECT_TRUE(untouched(record, config.self));
}

struct refusal_case {
    const char* name;
    std::function<void(sim_config&)> arrange;
    const char* error;
};

// Names the case in test listings.
void PrintTo(const refusal_case& c, std::ostream* os) {
    *os << c.name;
}

class InstallerRefused : public kvup_e2e, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(InstallerRefused, EndsTheRunBeforeAnySession) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2)};
    GetParam().arrange(config);
    start_sim(config);

    const process_result run = kvup(kvup_args(std::nullopt));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output());
    EXPECT_EQ(run.err, GetParam().error);
    EXPECT_EQ(record.resets_us.size(), 1u);
    EXPECT_EQ(record.installer_entries, 0u);
    EXPECT_TRUE(record.sessions.empty());
    EXPECT_TRUE(untouched(record, config.self));
    EXPECT_TRUE(untouched(record, config.peers[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InstallerRefused,
    ::testing::Values(
        refusal_case{"WrongPassword", [](sim_config& c) { c.password = "kelvane2"; },
                     "ERROR: incorrect installer password\n"},
        refusal_case{
            "Cancelled",
            [](sim_config& c) { c.self.faults = {make_fault(sim_fault_kind::installer_cancel)}; },
            "ERROR: installer mode entry was cancelled\n"},
        refusal_case{
            "NoPasswordPrompt",
            [](sim_config& c) { c.self.faults = {make_fault(sim_fault_kind::no_password_prompt)}; },
            "ERROR: device did not prompt for the installer password - is it actually "
            "a kelvane-fw-controller on this port?\n"}),
    [](const ::testing::TestParamInfo<refusal_case>& info) { return info.param.name; });

struct middle_case {
    const char* name;
    std::function<void(sim_config&)> arrange; // spoils the middle device's update
    // What the middle device's part of standard output holds after its header.
    std::function<std::string(const sim_device_config&)> out;
    const char* error;
    std::uint32_t installer_entries; // before the query and before each device that got one
};

// Names the case in test listings.
void PrintTo(const middle_case& c, std::ostream* os) {
    *os << c.name;
}

class FailingMiddleDevice : public kvup_e2e, public ::testing::WithParamInterface<middle_case> {};

// One device's failure is counted and the fan-out goes on with the next.
TEST_P(FailingMiddleDevice, IsCountedAndTheOthersAreUpdated) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.peers = {make_device("KR-0100", "reader", 2), make_device("KC-0200", "controller", 3),
                    make_device("KR-0300", "reader", 2, 1)};
    GetParam().arrange(config);
    start_sim(config);

    const process_result run = kvup(kvup_args("all"));
    const sim_record record = stop_sim();

    const sim_device_config& first = config.peers[0];
    const sim_device_config& middle = config.peers[1];
    const sim_device_config& last = config.peers[2];
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, GetParam().error);
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n" +
                           "\n--- KR-0100 (reader) ---\n" +
                           session_output(2, 'B', bundle_image(2, 'B').size()) +
                           "\n--- KC-0200 (controller) ---\n" + GetParam().out(middle) +
                           "\n--- KR-0300 (reader) ---\n" +
                           session_output(2, 'A', bundle_image(2, 'A').size()) +
                           "\n2/3 device(s) updated successfully.\n");
    EXPECT_EQ(record.installer_entries, GetParam().installer_entries);
    EXPECT_EQ(record.resets_us.size(), 4u);
    EXPECT_TRUE(updated(record, first));
    EXPECT_TRUE(untouched(record, middle));
    EXPECT_TRUE(updated(record, last));
    EXPECT_TRUE(untouched(record, config.self));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailingMiddleDevice,
    ::testing::Values(
        middle_case{"ImageRejected",
                    [](sim_config& c) {
                        sim_fault fault = make_fault(sim_fault_kind::finalize_nak);
                        fault.reason = 4;
                        c.peers[1].faults = {fault};
                    },
                    ready_and_sending,
                    "ERROR: target rejected the finalize (reason 4) - firmware NOT updated, "
                    "currently-running bank is untouched\n",
                    4},
        middle_case{
            "NoReadyFrame",
            [](sim_config& c) { c.peers[1].faults = {make_fault(sim_fault_kind::start_silent)}; },
            [](const sim_device_config&) { return std::string(); },
            "ERROR: device did not respond to 'fwupdate relay KC-0200' - is it in "
            "installer mode?\n",
            4},
        middle_case{"InstallerEntryCancelled",
                    [](sim_config& c) {
                        // Resets: 1 before the query, 2 before the first device, 3 the middle.
                        sim_fault fault = make_fault(sim_fault_kind::installer_cancel);
                        fault.session = 3;
                        c.self.faults = {fault};
                    },
                    [](const sim_device_config&) { return std::string(); },
                    "ERROR: installer mode entry was cancelled\n", 3},
        middle_case{
            "KeepsAskingForAnEarlierChunk",
            [](sim_config& c) { c.peers[1].faults = {make_fault(sim_fault_kind::nak_pingpong)}; },
            [](const sim_device_config& middle) {
                // Fifteen chunk frames for three chunks: 0, then 1 and 0 seven times.
                std::string out = ready_and_sending(middle);
                out.erase(out.find('\r'));
                for (int i = 0; i < 8; ++i) {
                    out += "\r  chunk 1/3";
                }
                return out;
            },
            PING_PONG_ERROR.c_str(), 4}),
    [](const ::testing::TestParamInfo<middle_case>& info) { return info.param.name; });

struct chunk_fault_case {
    const char* name;
    sim_fault fault;
    const char* warnings; // standard error of the run
    // The progress line: one step per acknowledged chunk, at the index it moved to.
    const char* progress = "\r  chunk 1/3\r  chunk 2/3\r  chunk 3/3";
};

// Names the case in test listings.
void PrintTo(const chunk_fault_case& c, std::ostream* os) {
    *os << c.name;
}

sim_fault nak_asking_for(std::uint32_t chunk, std::uint32_t expected) {
    sim_fault fault = make_fault(sim_fault_kind::chunk_nak, chunk);
    fault.expected_set = true;
    fault.expected = expected;
    return fault;
}

sim_fault late_by(std::uint32_t chunk, std::uint32_t delay_ms) {
    sim_fault fault = make_fault(sim_fault_kind::chunk_late, chunk);
    fault.delay_ms = delay_ms;
    return fault;
}

sim_fault split_answers_to(std::uint32_t chunk) {
    sim_fault fault = make_fault(sim_fault_kind::chunk_split, chunk);
    fault.chunk_attempt = 0;
    fault.delay_ms = 1985;
    fault.gap_ms = 30;
    return fault;
}

class SurvivedChunkFault : public kvup_e2e,
                           public ::testing::WithParamInterface<chunk_fault_case> {};

// The device ends up with the exact image and kvup reports success; each retry leaves its
// warning.
TEST_P(SurvivedChunkFault, ImageLandsExactly) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {GetParam().fault};
    start_sim(config);

    const process_result run = kvup(kvup_args("self"));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, GetParam().warnings);
    std::string session = session_output(1, 'B', bundle_image(1, 'B').size());
    const std::string steady = "\r  chunk 1/3\r  chunk 2/3\r  chunk 3/3";
    session.replace(session.find(steady), steady.size(), GetParam().progress);
    EXPECT_EQ(run.out, opening_output() + session);
    EXPECT_TRUE(updated(record, config.self));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SurvivedChunkFault,
    ::testing::Values(
        chunk_fault_case{"NakAskingForAnEarlierChunk", nak_asking_for(2, 0),
                         "WARNING: chunk 2 NAK'd (reason 99), device expects 0, retrying (1/5)\n"
                         "WARNING: chunk 0 NAK'd (reason 1), device expects 2, retrying (2/5)\n"},
        chunk_fault_case{"LateAnswerWithinTheTimeOut", late_by(1, 800), ""},
        chunk_fault_case{"NoiseBeforeTheAnswer", make_fault(sim_fault_kind::chunk_noise, 1), ""},
        chunk_fault_case{"OversizeHeaderBeforeTheAnswer",
                         make_fault(sim_fault_kind::chunk_oversize, 1), ""},
        chunk_fault_case{"AnswerWithABadCrc", make_fault(sim_fault_kind::chunk_bad_crc, 1),
                         "WARNING: no response to chunk 1, retrying (1/5)\n"
                         "WARNING: chunk 1 NAK'd (reason 1), device expects 2, retrying (2/5)\n",
                         "\r  chunk 1/3\r  chunk 3/3"},
        chunk_fault_case{"AckOfTheWrongLength", make_fault(sim_fault_kind::ack_length, 0),
                         "WARNING: unexpected response (type 0x82) to chunk 0, retrying (1/5)\n"
                         "WARNING: chunk 0 NAK'd (reason 1), device expects 1, retrying (2/5)\n",
                         "\r  chunk 2/3\r  chunk 3/3"},
        chunk_fault_case{"ChunkLost", make_fault(sim_fault_kind::chunk_silent, 2),
                         "WARNING: no response to chunk 2, retrying (1/5)\n"},
        // Every answer to chunk 1 begins 15 ms before kvup's 2000 ms wait ends and ends 15 ms
        // after it.
        chunk_fault_case{"AnswerAcrossTheEndOfTheWait", split_answers_to(1), ""}),
    [](const ::testing::TestParamInfo<chunk_fault_case>& info) { return info.param.name; });

class EndlessDevice : public kvup_e2e {};

// A device that never lets the transfer past chunk 1 costs a bounded run, ended by one ERROR line
// and an abort, with its bank untouched.
TEST_F(EndlessDevice, ThatKeepsSendingKvupBackIsGivenUp) {
    sim_config config;
    config.self = make_device("KC-0001", "controller", 1);
    config.self.faults = {make_fault(sim_fault_kind::nak_pingpong)};
    start_sim(config);

    std::vector<std::string> argv = {KVUP_BINARY};
    const std::vector<std::string> args = kvup_args("self");
    argv.insert(argv.end(), args.begin(), args.end());
    // The guard against a run without end: a bounded one takes well under a second.
    const process_result run = run_process(argv, "", std::chrono::seconds(20));
    const sim_record record = stop_sim();

    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, PING_PONG_ERROR);
    EXPECT_LT(run.out.size(), 1024u);
    EXPECT_EQ(record.aborts, 1u);
    EXPECT_TRUE(record.finalizes.empty());
    EXPECT_TRUE(untouched(record, config.self));
}

} // namespace
