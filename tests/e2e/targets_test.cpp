// kvup against the simulated controller and its CAN peers, one course per target: which devices
// are updated, in which order, with what output, and what every device holds afterwards.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

sim_device_config connected() {
    return make_device("KC-0001", "controller", 1, 0);
}

// A reader, a controller of another variant running bank B, and a device whose type is spelled
// "Reader", which is not "reader" and so counts as a controller.
sim_device_config reader() {
    return make_device("KR-0100", "reader", 2, 0);
}
sim_device_config controller() {
    return make_device("KC-0200", "controller", 3, 1);
}
sim_device_config capital_reader() {
    return make_device("KR-0300", "Reader", 2, 0);
}

std::string fan_out_header(const sim_device_config& device, bool is_self) {
    return is_self ? "\n--- connected device (self) ---\n"
                   : "\n--- " + device.serial + " (" + device.type + ") ---\n";
}

std::string session_for(const sim_device_config& device) {
    const char bank = static_cast<char>('A' + (device.active_bank ^ 1));
    return session_output(device.variant, bank, bundle_image(device.variant, bank).size());
}

enum class course { fan_out, single, self };

struct target_case {
    const char* name;
    std::optional<std::string> target;
    std::vector<sim_device_config> peers;
    std::vector<std::string> expected; // serials in update order; the connected one as KC-0001
    course kind;
};

// Names the case in test listings.
void PrintTo(const target_case& c, std::ostream* os) {
    *os << c.name;
}

class TargetCourse : public kvup_e2e, public ::testing::WithParamInterface<target_case> {};

TEST_P(TargetCourse, UpdatesTheSelectedDevicesInOrderAndNoOthers) {
    const target_case& c = GetParam();
    sim_config config;
    config.self = connected();
    config.peers = c.peers;
    start_sim(config);

    const process_result run = kvup(kvup_args(c.target));
    const sim_record record = stop_sim();

    std::vector<sim_device_config> all = c.peers;
    all.insert(all.begin(), config.self);
    auto find = [&](const std::string& serial) {
        return *std::find_if(all.begin(), all.end(),
                             [&](const sim_device_config& d) { return d.serial == serial; });
    };

    std::string out = opening_output();
    if (c.kind != course::self) {
        out += "Querying known CAN peers...\n";
    }
    for (const std::string& serial : c.expected) {
        const sim_device_config device = find(serial);
        if (c.kind == course::fan_out) {
            out += fan_out_header(device, serial == config.self.serial);
        } else if (c.kind == course::single) {
            out += "Relaying to " + device.serial + " (" + device.type + ")...\n";
        }
        out += session_for(device);
    }
    if (c.kind == course::fan_out) {
        out += "\n" + std::to_string(c.expected.size()) + "/" + std::to_string(c.expected.size()) +
               " device(s) updated successfully.\n";
    }
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, out);

    // The peers are asked for once, and only when the target is not the connected controller.
    EXPECT_EQ(std::count(record.lines.begin(), record.lines.end(), "fwupdate peers"),
              c.kind == course::self ? 0 : 1);

    // One entry before the query, and in a fan-out one more before every device.
    const std::size_t entries = c.kind == course::fan_out ? 1 + c.expected.size() : 1;
    EXPECT_EQ(record.installer_entries, entries);
    EXPECT_EQ(record.resets_us.size(), entries);

    ASSERT_EQ(record.sessions.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        const bool is_self = c.expected[i] == config.self.serial;
        EXPECT_EQ(record.sessions[i].device, c.expected[i]);
        EXPECT_EQ(record.sessions[i].command,
                  is_self ? "fwupdate start" : "fwupdate relay " + c.expected[i]);
        EXPECT_EQ(record.sessions[i].outcome, sim_outcome::done) << c.expected[i];
    }
    for (const sim_device_config& device : all) {
        const bool chosen = std::count(c.expected.begin(), c.expected.end(), device.serial) > 0;
        if (chosen) {
            EXPECT_TRUE(updated(record, device));
        } else {
            EXPECT_TRUE(untouched(record, device));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, TargetCourse,
    ::testing::Values(
        target_case{"Self", "self", {reader()}, {"KC-0001"}, course::self},
        target_case{"OnePeerBySerial",
                    "KC-0200",
                    {reader(), controller(), capital_reader()},
                    {"KC-0200"},
                    course::single},
        target_case{"All",
                    "all",
                    {reader(), controller(), capital_reader()},
                    {"KR-0100", "KC-0200", "KR-0300"},
                    course::fan_out},
        target_case{"AllControllers",
                    "all-controllers",
                    {reader(), controller(), capital_reader()},
                    {"KC-0200", "KR-0300"},
                    course::fan_out},
        target_case{"AllReaders",
                    "all-readers",
                    {reader(), controller(), capital_reader()},
                    {"KR-0100"},
                    course::fan_out},
        target_case{"OmittedEveryPeerThenTheConnectedOne",
                    std::nullopt,
                    {reader(), controller()},
                    {"KR-0100", "KC-0200", "KC-0001"},
                    course::fan_out},
        target_case{"AllWithoutPeers", "all", {}, {}, course::fan_out},
        target_case{"AllControllersWithoutPeers", "all-controllers", {}, {}, course::fan_out},
        target_case{"AllReadersWithoutPeers", "all-readers", {}, {}, course::fan_out}),
    [](const ::testing::TestParamInfo<target_case>& info) { return info.param.name; });

// A target that is no keyword and no listed serial, letter case included, is refused after the
// query and nothing is updated.
class UnknownTarget : public kvup_e2e, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnknownTarget, IsRefusedWithoutASession) {
    const std::string target = GetParam();
    sim_config config;
    config.self = connected();
    config.peers = {reader(), controller()};
    start_sim(config);

    const process_result run = kvup(kvup_args(target));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, opening_output() + "Querying known CAN peers...\n");
    EXPECT_EQ(run.err, "ERROR: no known peer with serial '" + target +
                           "' (listed peers: KR-0100, KC-0200)\n");
    EXPECT_TRUE(record.sessions.empty());
    EXPECT_EQ(record.installer_entries, 1u);
    EXPECT_TRUE(untouched(record, config.self));
    EXPECT_TRUE(untouched(record, reader()));
    EXPECT_TRUE(untouched(record, controller()));
}

INSTANTIATE_TEST_SUITE_P(Targets, UnknownTarget, ::testing::Values("kr-0100", "SELF"));

class Banks : public kvup_e2e {};

// The device boots into what it took, so the next update goes to the bank it ran from before.
TEST_F(Banks, ASecondRunWritesTheOtherBank) {
    sim_config config;
    config.self = connected();
    start_sim(config);

    const process_result first = kvup(kvup_args("self"));
    const sim_record after_first = sim->record();
    const process_result second = kvup(kvup_args("self"));
    const sim_record record = stop_sim();

    EXPECT_EQ(first.exit_status, 0) << first.err;
    EXPECT_TRUE(updated(after_first, config.self));

    sim_device_config now = config.self;
    now.active_bank = 1;
    now.bank_bytes[1] = bundle_image(1, 'B');
    EXPECT_EQ(second.exit_status, 0) << second.err;
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, opening_output() + session_output(1, 'A', bundle_image(1, 'A').size()));
    EXPECT_TRUE(updated(record, now));
    EXPECT_EQ(record.devices[0].banks[1].writes, 1u);
}

} // namespace
