// kvup-sim's command line: devices, faults and the mistakes it refuses.

#include "sim-options.h"

#include <gtest/gtest.h>

namespace {

bool parse(std::vector<const char*> args, sim_cli& cli, std::string& error) {
    args.insert(args.begin(), "kvup-sim");
    return sim_options_parse(static_cast<int>(args.size()), args.data(), cli, error);
}

std::string refusal(std::vector<const char*> args) {
    sim_cli cli;
    std::string error;
    EXPECT_FALSE(parse(std::move(args), cli, error));
    return error;
}

} // namespace

TEST(SimOptions, DefaultsDescribeOneControllerAtItsPrompt) {
    sim_cli cli;
    std::string error;
    ASSERT_TRUE(parse({}, cli, error)) << error;
    EXPECT_EQ(cli.config.self.serial, "KC-0001");
    EXPECT_EQ(cli.config.password, "kelvane");
    EXPECT_TRUE(cli.config.peers.empty());
    EXPECT_FALSE(cli.config.boot_menu);
    EXPECT_EQ(cli.config.baud, 0u);
}

TEST(SimOptions, ControllerPeersAndConsoleSettings) {
    sim_cli cli;
    std::string error;
    ASSERT_TRUE(parse({"--link",
                       "/tmp/kv0",
                       "--serial",
                       "KC-9",
                       "--variant",
                       "0x102",
                       "--active-bank",
                       "B",
                       "--bank-limit=100000",
                       "--peer",
                       "KR-1:reader:2",
                       "--peer",
                       "KC-2:controller:1:b:50000:40",
                       "--menu",
                       "--echo",
                       "--boot-delay",
                       "700",
                       "--baud",
                       "115200",
                       "--password",
                       "",
                       "--quiet"},
                      cli, error))
        << error;
    const sim_config& c = cli.config;
    EXPECT_EQ(c.link_path, "/tmp/kv0");
    EXPECT_EQ(c.self.serial, "KC-9");
    EXPECT_EQ(c.self.variant, 0x102);
    EXPECT_EQ(c.self.active_bank, 1);
    EXPECT_EQ(c.self.bank_limit, 100000u);
    ASSERT_EQ(c.peers.size(), 2u);
    EXPECT_EQ(c.peers[0].serial, "KR-1");
    EXPECT_EQ(c.peers[0].type, "reader");
    EXPECT_EQ(c.peers[0].variant, 2);
    EXPECT_EQ(c.peers[0].chunk_delay_ms, -1) << "unset: the peer default applies";
    EXPECT_EQ(c.peers[1].active_bank, 1);
    EXPECT_EQ(c.peers[1].bank_limit, 50000u);
    EXPECT_EQ(c.peers[1].chunk_delay_ms, 40);
    EXPECT_TRUE(c.boot_menu);
    EXPECT_TRUE(c.echo);
    EXPECT_EQ(c.boot_delay_ms, 700u);
    EXPECT_EQ(c.baud, 115200u);
    EXPECT_EQ(c.password, "");
    EXPECT_TRUE(cli.quiet);
}

TEST(SimOptions, FaultsGoToTheirDeviceWhereverThePeerIsDeclared) {
    sim_cli cli;
    std::string error;
    ASSERT_TRUE(parse({"--fault", "KR-1:chunk-nak:chunk=3,attempt=2,reason=9,expect=1", "--fault",
                       "self:installer-cancel", "--fault",
                       "KC-0001:chunk-late:chunk=1,ms=2500,session=2", "--peer", "KR-1:reader:2"},
                      cli, error))
        << error;
    ASSERT_EQ(cli.config.peers[0].faults.size(), 1u);
    const sim_fault& nak = cli.config.peers[0].faults[0];
    EXPECT_EQ(nak.kind, sim_fault_kind::chunk_nak);
    EXPECT_EQ(nak.chunk, 3u);
    EXPECT_EQ(nak.chunk_attempt, 2u);
    EXPECT_EQ(nak.reason, 9);
    EXPECT_TRUE(nak.expected_set);
    EXPECT_EQ(nak.expected, 1u);
    ASSERT_EQ(cli.config.self.faults.size(), 2u);
    EXPECT_EQ(cli.config.self.faults[0].kind, sim_fault_kind::installer_cancel);
    EXPECT_EQ(cli.config.self.faults[1].delay_ms, 2500u);
    EXPECT_EQ(cli.config.self.faults[1].session, 2u);
    EXPECT_EQ(cli.config.self.faults[1].chunk_attempt, 1u) << "first attempt unless told";
}

TEST(SimOptions, SplitAnswerStraddlesTheChunkWaitUnlessToldOtherwise) {
    sim_fault f;
    std::string error;
    ASSERT_TRUE(sim_fault_parse("chunk-split:chunk=2", f, error)) << error;
    EXPECT_EQ(f.delay_ms, 1985u);
    EXPECT_EQ(f.gap_ms, 30u);
    ASSERT_TRUE(sim_fault_parse("chunk-split:chunk=2,attempt=0,ms=9990,gap=25", f, error)) << error;
    EXPECT_EQ(f.delay_ms, 9990u);
    EXPECT_EQ(f.gap_ms, 25u);
    EXPECT_EQ(f.chunk_attempt, 0u);
}

// Peers that show how kvup copes with long serial numbers and with escape codes in a listing.
TEST(SimOptions, PeerWordsMayBeLongAndHoldEscapeCodes) {
    sim_cli cli;
    std::string error;
    const std::string long_serial(200, 'S');
    const std::string long_peer = long_serial + ":reader:2";
    ASSERT_TRUE(
        parse({"--peer", long_peer.c_str(), "--peer", "\x1b[2J\x1b[8m:\x1b]0;t\x07:1"}, cli, error))
        << error;
    ASSERT_EQ(cli.config.peers.size(), 2u);
    EXPECT_EQ(cli.config.peers[0].serial, long_serial);
    EXPECT_EQ(cli.config.peers[1].serial, "\x1b[2J\x1b[8m");
    EXPECT_EQ(cli.config.peers[1].type, "\x1b]0;t\x07");
}

TEST(SimOptions, MistakesAreRefusedWithAReason) {
    EXPECT_NE(refusal({"--peer", "KR-1:reader"}).find("peer"), std::string::npos);
    EXPECT_NE(refusal({"--peer", "KR-1:reader:70000"}).find("variant"), std::string::npos);
    const std::string too_long = std::string(SIM_WORD_MAX + 1, 'S') + ":reader:1";
    EXPECT_NE(refusal({"--peer", too_long.c_str()}).find("serial"), std::string::npos);
    EXPECT_NE(refusal({"--peer", "KR\t1:reader:1"}).find("serial"), std::string::npos);
    EXPECT_NE(refusal({"--peer", "KR-1:reader:1:C"}).find("bank"), std::string::npos);
    EXPECT_NE(refusal({"--peer", "KR-1:reader:1", "--peer", "KR-1:reader:2"}).find("twice"),
              std::string::npos);
    EXPECT_NE(refusal({"--peer", "KC-0001:reader:1"}).find("connected"), std::string::npos);
    EXPECT_NE(refusal({"--fault", "KX:chunk-silent"}).find("unknown device"), std::string::npos);
    EXPECT_NE(refusal({"--fault", "self:explode"}).find("unknown fault kind"), std::string::npos);
    EXPECT_NE(refusal({"--fault", "self:chunk-silent:chunk"}).find("KEY=VALUE"), std::string::npos);
    EXPECT_NE(refusal({"--fault", "self:chunk-silent:colour=red"}).find("colour"),
              std::string::npos);
    EXPECT_NE(refusal({"--fault", "self:ready-length:len=9"}).find("len"), std::string::npos);
    EXPECT_NE(refusal({"--peer", "KR-1:reader:1", "--fault", "KR-1:boot-silent"}).find("console"),
              std::string::npos);
    EXPECT_NE(refusal({"--baud"}).find("needs a value"), std::string::npos);
    EXPECT_NE(refusal({"--baud", "fast"}).find("baud"), std::string::npos);
    EXPECT_NE(refusal({"--menu=yes"}).find("no value"), std::string::npos);
    EXPECT_NE(refusal({"--frobnicate"}).find("unknown option"), std::string::npos);
}

TEST(SimOptions, UsageNamesEveryFaultKind) {
    const std::string usage = sim_options_usage();
    for (const char* kind :
         {"chunk-silent",     "chunk-late",     "chunk-nak",   "chunk-bad-crc",
          "chunk-noise",      "chunk-oversize", "ack-length",  "disconnect",
          "start-silent",     "ready-length",   "ready-noise", "finalize-nak",
          "finalize-silent",  "boot-slow",      "boot-silent", "no-password-prompt",
          "installer-cancel", "unplug",         "watchdog",    "chunk-split",
          "nak-pingpong"}) {
        sim_fault f;
        std::string error;
        EXPECT_TRUE(sim_fault_parse(kind, f, error)) << kind;
        EXPECT_NE(usage.find(kind), std::string::npos) << kind;
    }
}

TEST(SimOptions, UsbFrontEndAndItsUnplugFault) {
    sim_cli cli;
    std::string error;
    ASSERT_FALSE(cli.usb);
    ASSERT_TRUE(
        parse({"--usb", "--usb-speed", "high", "--replug-after", "500", "--vhci",
               "/sys/devices/platform/vhci_hcd.1", "--fault", "self:unplug:chunk=3,session=1"},
              cli, error))
        << error;
    EXPECT_TRUE(cli.usb);
    EXPECT_TRUE(cli.usb_high_speed);
    EXPECT_EQ(cli.replug_after_ms, 500u);
    EXPECT_EQ(cli.vhci_dir, "/sys/devices/platform/vhci_hcd.1");
    ASSERT_EQ(cli.config.self.faults.size(), 1u);
    EXPECT_EQ(cli.config.self.faults[0].kind, sim_fault_kind::unplug);
    EXPECT_EQ(cli.config.self.faults[0].chunk, 3u);

    ASSERT_TRUE(parse({"--usb-stall-out", "--usb-unplug-on-dtr", "2"}, cli, error)) << error;
    EXPECT_TRUE(cli.usb_stall_out);
    EXPECT_EQ(cli.usb_unplug_on_dtr, 2u);
    EXPECT_NE(refusal({"--usb", "--baud", "115200"}).find("no line rate"), std::string::npos);
    EXPECT_NE(refusal({"--usb-speed", "super"}).find("USB speed"), std::string::npos);
    EXPECT_NE(refusal({"--usb=yes"}).find("no value"), std::string::npos);
}

TEST(SimOptions, UsbBridgeIsCdcAcmUnlessToldAndTheFt232rIsFullSpeedOnly) {
    sim_cli cli;
    std::string error;
    EXPECT_EQ(cli.usb_bridge, sim_usb_bridge::cdc_acm);
    ASSERT_TRUE(parse({"--usb", "--usb-bridge", "ft232r"}, cli, error)) << error;
    EXPECT_EQ(cli.usb_bridge, sim_usb_bridge::ft232r);
    ASSERT_TRUE(parse({"--usb-bridge=cdc-acm"}, cli, error)) << error;
    EXPECT_EQ(cli.usb_bridge, sim_usb_bridge::cdc_acm);
    EXPECT_NE(refusal({"--usb-bridge", "pl2303"}).find("cdc-acm or ft232r"), std::string::npos);
    EXPECT_NE(
        refusal({"--usb", "--usb-bridge", "ft232r", "--usb-speed", "high"}).find("full-speed"),
        std::string::npos);
    EXPECT_NE(std::string(sim_options_usage()).find("--usb-bridge cdc-acm|ft232r"),
              std::string::npos);
}

// The watchdog fires at a chunk unless told at=finalize; no other fault takes `at`.
TEST(SimOptions, WatchdogAtAChunkOrAtTheFinalize) {
    sim_fault f;
    std::string error;
    ASSERT_TRUE(sim_fault_parse("watchdog:chunk=3,session=2", f, error)) << error;
    EXPECT_EQ(f.kind, sim_fault_kind::watchdog);
    EXPECT_EQ(f.chunk, 3u);
    EXPECT_EQ(f.session, 2u);
    f = {};
    ASSERT_TRUE(sim_fault_parse("watchdog:at=finalize", f, error)) << error;
    EXPECT_EQ(f.kind, sim_fault_kind::watchdog_finalize);
    f = {};
    EXPECT_FALSE(sim_fault_parse("watchdog:at=start", f, error));
    EXPECT_NE(error.find("at=finalize"), std::string::npos) << error;
    EXPECT_FALSE(sim_fault_parse("finalize-silent:at=finalize", f, error));
}

// A deaf device answers its chunk first only when told answer=1; no other fault takes `answer`.
TEST(SimOptions, DeafAnsweredOrNot) {
    sim_fault f;
    std::string error;
    ASSERT_TRUE(sim_fault_parse("deaf:chunk=2,answer=1", f, error)) << error;
    EXPECT_EQ(f.kind, sim_fault_kind::deaf);
    EXPECT_EQ(f.chunk, 2u);
    EXPECT_TRUE(f.answered);
    f = {};
    ASSERT_TRUE(sim_fault_parse("deaf:chunk=0", f, error)) << error;
    EXPECT_FALSE(f.answered);
    EXPECT_FALSE(sim_fault_parse("deaf:answer=2", f, error));
    EXPECT_FALSE(sim_fault_parse("chunk-silent:answer=1", f, error));
}
