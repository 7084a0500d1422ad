// The connected controller's text console: boot markers, the menu, installer mode, the peer
// listing and the refusals, driven through sim_core on a virtual clock.

#include "peer-query.h"
#include "sim-test-helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using simtest::host;

namespace {

sim_config two_peers() {
    sim_config config;
    sim_device_config reader;
    reader.serial = "KR-0100";
    reader.type = "reader";
    reader.variant = 2;
    sim_device_config ctl;
    ctl.serial = "KC-0200";
    ctl.variant = 1;
    config.peers = {reader, ctl};
    return config;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// kvup's own reading of a listing: its parser, fed the device's output up to "END".
std::vector<std::pair<std::string, std::string>> parse_listing(const std::string& text,
                                                               bool* ended) {
    peer_listing_parser parser;
    peer_listing_init(parser);
    peer_listing_result result = peer_listing_result::more;
    for (const char byte : text) {
        result = peer_listing_feed(parser, byte);
        if (result != peer_listing_result::more) {
            break;
        }
    }
    EXPECT_EQ(parser.error, "");
    *ended = result == peer_listing_result::end;
    std::vector<std::pair<std::string, std::string>> peers;
    for (const peer& p : parser.peers) {
        peers.emplace_back(p.serial, p.type);
    }
    return peers;
}

} // namespace

TEST(SimBoot, PowerOnAndResetEndAtThePlainPromptMarker) {
    host h(sim_config{});
    EXPECT_TRUE(ends_with(h.take().text, "\x1b[K"));
    h.reset();
    const std::string boot = h.take().text;
    EXPECT_TRUE(ends_with(boot, SIM_PROMPT));
    EXPECT_NE(boot.find("running bank A"), std::string::npos);
    EXPECT_EQ(h.core.record().resets_us.size(), 1u);
}

TEST(SimBoot, BootDelayHoldsOutputAndInputIsLostMeanwhile) {
    sim_config config;
    config.boot_delay_ms = 1000;
    host h(config);
    h.take();
    h.core.reset(h.now_us);
    h.core.feed(reinterpret_cast<const std::uint8_t*>("help\r"), 5, h.now_us + 10'000);
    EXPECT_TRUE(h.core.drain(h.now_us + 999'000).empty());
    h.advance_ms(1000);
    const std::string out = h.take().text;
    EXPECT_TRUE(ends_with(out, SIM_PROMPT));
    EXPECT_EQ(out.find("commands"), std::string::npos) << "a booting device heard a command";
    EXPECT_TRUE(h.core.record().lines.empty());
}

TEST(SimBoot, MenuEndsInCursorRequestAndEscapeBringsThePromptBack) {
    sim_config config;
    config.boot_menu = true;
    host h(config);
    h.reset();
    EXPECT_TRUE(ends_with(h.take().text, "\x1b[6n"));
    h.send("1");
    EXPECT_TRUE(h.take().text.empty()) << "menu keys other than ESC change nothing";
    h.send(std::string(10, '\x1b'));
    EXPECT_EQ(h.take().text, std::string("\r\n") + SIM_PROMPT)
        << "ten ESC bytes bring exactly one prompt";
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
}

TEST(SimBoot, ResetsCloseTogetherWithoutHostDataCountOnce) {
    host h(sim_config{});
    h.core.reset(1'000'000);
    h.core.reset(1'001'000); // Wine: two flushes for one purge
    EXPECT_EQ(h.core.record().resets_us.size(), 1u);
    h.now_us = 1'001'000;
    h.settle();
    h.send("help\r");
    h.core.reset(h.now_us + 1000);
    EXPECT_EQ(h.core.record().resets_us.size(), 2u) << "host data between them: two resets";
}

TEST(SimInstaller, RightPasswordWrongPasswordAndEndAtReset) {
    host h(sim_config{});
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
    EXPECT_EQ(h.line("wrong"), std::string("ERROR: incorrect password\r\n") + SIM_PROMPT);
    EXPECT_FALSE(h.core.record().installer_mode);
    h.enter_installer();
    EXPECT_TRUE(h.core.record().installer_mode);
    EXPECT_EQ(h.core.record().installer_entries, 1u);
    EXPECT_EQ(h.core.record().password_refusals, 1u);
    h.reset();
    EXPECT_FALSE(h.core.record().installer_mode);
    h.take();
    EXPECT_EQ(h.line("fwupdate start"),
              std::string("ERROR: installer mode is off\r\n") + SIM_PROMPT);
}

TEST(SimInstaller, EmptyPasswordIsAPasswordLine) {
    sim_config config;
    config.password = "";
    host h(config);
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
    EXPECT_EQ(h.line(""), std::string("Installer mode ON\r\n") + SIM_PROMPT);
}

TEST(SimConsole, LinesEndAtCrOrLfAndCrLfIsOneLineEnd) {
    host h(sim_config{});
    h.take();
    h.send("installer on\r\nkelvane\n");
    EXPECT_EQ(h.take().text, std::string("Installer password: Installer mode ON\r\n") + SIM_PROMPT);
    EXPECT_EQ(h.core.record().lines, (std::vector<std::string>{"installer on", "kelvane"}));
}

TEST(SimConsole, EchoRepeatsTypingButNotThePassword) {
    sim_config config;
    config.echo = true;
    host h(config);
    EXPECT_EQ(h.line("installer on"), "installer on\r\nInstaller password: ");
    EXPECT_EQ(h.line("kelvane"), std::string("Installer mode ON\r\n") + SIM_PROMPT);
}

TEST(SimConsole, HostFrameBytesInTheConsoleAreNotACommand) {
    host h(sim_config{});
    h.enter_installer();
    h.take();
    // A frame whose payload spells a command between line ends.
    const std::string text = "\rfwupdate start\r";
    h.send(simtest::host_frame(0x01, simtest::bytes(text.begin(), text.end())));
    h.send("\r");
    const simtest::device_output out = h.take();
    EXPECT_TRUE(out.frames.empty()) << "no READY from bytes inside a frame";
    EXPECT_TRUE(h.core.record().sessions.empty());
    EXPECT_EQ(h.start("fwupdate start").size(), 1u) << "a real command after the frame works";
}

TEST(SimPeers, ListingHasAFirstLineOnePeerPerLineAndEnd) {
    host h(two_peers());
    h.enter_installer();
    const std::string out = h.line("fwupdate peers");
    EXPECT_EQ(out, std::string("peers:\r\nKR-0100 reader\r\nKC-0200 controller\r\nEND\r\n") +
                       SIM_PROMPT);
    // kvup stopped reading at "Installer mode ON\r\n": the prompt after it is still unread
    // when the listing arrives, and belongs to the listing's first line.
    bool ended = false;
    const auto peers = parse_listing(SIM_PROMPT + out, &ended);
    EXPECT_TRUE(ended);
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0], (std::pair<std::string, std::string>{"KR-0100", "reader"}));
}

TEST(SimPeers, WithEchoTheHostStillSeesOnlyThePeers) {
    sim_config config = two_peers();
    config.echo = true;
    host h(config);
    h.line("installer on");
    ASSERT_TRUE(ends_with(h.line("kelvane"), std::string("Installer mode ON\r\n") + SIM_PROMPT));
    bool ended = false;
    const std::string out = h.line("fwupdate peers");
    EXPECT_NE(out.find("fwupdate peers\r\npeers:\r\n"), std::string::npos)
        << "the header follows the echo as without it";
    const auto peers = parse_listing(SIM_PROMPT + out, &ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(peers.size(), 2u) << "the header must not read as a peer after the echo line";
}

TEST(SimRelay, UnknownSerialIsRefusedWithATextLineAndNoReady) {
    host h(two_peers());
    h.enter_installer();
    h.take();
    h.send("fwupdate relay KX-9999\r");
    const simtest::device_output out = h.take();
    EXPECT_TRUE(out.frames.empty());
    EXPECT_EQ(out.text.find('\xF2'), std::string::npos);
    EXPECT_EQ(out.text, std::string("ERROR: no CAN peer with serial 'KX-9999'\r\n") + SIM_PROMPT);
    // Its own serial is not a CAN peer of the connected controller either.
    EXPECT_TRUE(h.start("fwupdate relay KC-0001").empty());
    EXPECT_TRUE(h.core.record().sessions.empty());
}
