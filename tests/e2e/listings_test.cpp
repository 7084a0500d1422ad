// kvup against listings that name many peers, long serial numbers and serial numbers and types
// made of terminal escape codes: every listed peer is kept and counted, and the terminal gets
// the device's text only in escaped form.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

sim_device_config connected() {
    return make_device("KC-0001", "controller", 1, 0);
}

std::string header(const std::string& shown_serial, const std::string& shown_type) {
    return "\n--- " + shown_serial + " (" + shown_type + ") ---\n";
}

std::string full_session(const sim_device_config& device) {
    const char bank = static_cast<char>('A' + (device.active_bank ^ 1));
    return session_output(device.variant, bank, bundle_image(device.variant, bank).size());
}

// Bytes that would drive the terminal rather than show on it.
bool has_control_bytes(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte != '\n' && byte != '\r' && (byte < 0x20 || byte > 0x7E)) {
            return true;
        }
    }
    return false;
}

class Listings : public kvup_e2e {};

// An access-control site: one controller with 40 readers on its bus. Every reader is updated
// and counted.
TEST_F(Listings, FortyReadersAreAllUpdated) {
    sim_config config;
    config.self = connected();
    config.peer_chunk_delay_ms = 0;
    for (int i = 0; i < 40; ++i) {
        config.peers.push_back(make_device("KR-" + std::to_string(1000 + i), "reader", 2));
    }
    config.peers.push_back(make_device("KC-0200", "controller", 1));
    start_sim(config);

    const process_result run = kvup(kvup_args("all-readers"));
    const sim_record record = stop_sim();

    std::string out = opening_output() + "Querying known CAN peers...\n";
    for (int i = 0; i < 40; ++i) {
        out += header("KR-" + std::to_string(1000 + i), "reader") + full_session(config.peers[i]);
    }
    out += "\n40/40 device(s) updated successfully.\n";
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out);
    ASSERT_EQ(record.sessions.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(updated(record, config.peers[i])) << config.peers[i].serial;
    }
    EXPECT_TRUE(untouched(record, config.peers[40]));
}

// A serial number of 16 characters is relayed to whole, in a fan-out and alone.
TEST_F(Listings, SixteenCharacterSerialIsUpdated) {
    sim_config config;
    config.self = connected();
    const sim_device_config reader = make_device("KR-0100-ABCDEFGH", "reader", 2);
    const sim_device_config controller = make_device("KC-0200", "controller", 1);
    config.peers = {reader, controller};
    start_sim(config);

    const process_result all = kvup(kvup_args(std::nullopt));
    const sim_record after_all = sim->record();
    EXPECT_EQ(all.exit_status, 0);
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(all.out, opening_output() + "Querying known CAN peers...\n" +
                           header("KR-0100-ABCDEFGH", "reader") + full_session(reader) +
                           header("KC-0200", "controller") + full_session(controller) +
                           "\n--- connected device (self) ---\n" + full_session(config.self) +
                           "\n3/3 device(s) updated successfully.\n");
    ASSERT_EQ(after_all.sessions.size(), 3u);
    EXPECT_EQ(after_all.sessions[0].command, "fwupdate relay KR-0100-ABCDEFGH");
    EXPECT_TRUE(updated(after_all, reader));

    const process_result one = kvup(kvup_args("KR-0100-ABCDEFGH"));
    const sim_record record = stop_sim();
    EXPECT_EQ(one.exit_status, 0) << one.err;
    EXPECT_EQ(one.out.substr(opening_output().size()),
              "Querying known CAN peers...\nRelaying to KR-0100-ABCDEFGH (reader)...\n" +
                  session_output(2, 'A', bundle_image(2, 'A').size()));
    ASSERT_EQ(record.sessions.size(), 4u);
    EXPECT_EQ(record.sessions[3].command, "fwupdate relay KR-0100-ABCDEFGH");
    EXPECT_EQ(record.sessions[3].outcome, sim_outcome::done);
}

// A serial number that clears the screen and hides text, and a type that sets the window
// title: what reaches standard output and standard error is the escaped text, byte for byte.
// The device is still asked for the serial number exactly as it listed it; this simulated
// console drops typed escape codes, so it does not find the peer and that device fails.
TEST_F(Listings, EscapeCodesReachTheTerminalOnlyEscaped) {
    sim_config config;
    config.self = connected();
    const sim_device_config hostile = make_device("\x1b[2J\x1b[H\x1b[8m", "\x1b]0;pwned\x07", 2);
    const sim_device_config controller = make_device("KC-0200", "controller", 1);
    config.peers = {hostile, controller};
    start_sim(config);

    const process_result run = kvup(kvup_args(std::nullopt));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n" +
                           header("\\x1b[2J\\x1b[H\\x1b[8m", "\\x1b]0;pwned\\x07") +
                           header("KC-0200", "controller") + full_session(controller) +
                           "\n--- connected device (self) ---\n" + full_session(config.self) +
                           "\n2/3 device(s) updated successfully.\n");
    EXPECT_EQ(run.err, "ERROR: device did not respond to 'fwupdate relay "
                       "\\x1b[2J\\x1b[H\\x1b[8m' - is it in installer mode?\n");
    EXPECT_FALSE(has_control_bytes(run.out));
    EXPECT_FALSE(has_control_bytes(run.err));
    EXPECT_TRUE(untouched(record, hostile));
}

// The refusal names what the controller listed, escaped, so the technician can choose a device
// without updating the whole bus; the target as typed is escaped too.
TEST_F(Listings, UnknownSerialLineNamesTheListedPeersEscaped) {
    sim_config config;
    config.self = connected();
    config.peers = {make_device("\x1b[8mKR", "reader", 2), make_device("KC-0200", "controller", 1)};
    start_sim(config);

    const process_result run = kvup(kvup_args("\x1b]0;x\x07"));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n");
    EXPECT_EQ(run.err, "ERROR: no known peer with serial '\\x1b]0;x\\x07' (listed peers: "
                       "\\x1b[8mKR, KC-0200)\n");
    EXPECT_TRUE(record.sessions.empty());
}

} // namespace
