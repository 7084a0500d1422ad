// Injected faults: each one changes exactly the answer it names, on the attempt and session it
// names, and leaves the device able to finish the update afterwards.

#include "sim-test-helpers.h"

#include <gtest/gtest.h>

using simtest::bytes;
using simtest::chunk_frame;
using simtest::finalize_frame;
using simtest::host;
using simtest::make_image;
using simtest::received_frame;

namespace {

sim_fault make_fault(sim_fault_kind kind, std::uint32_t chunk = 0, std::uint32_t attempt = 1) {
    sim_fault f;
    f.kind = kind;
    f.chunk = chunk;
    f.chunk_attempt = attempt;
    return f;
}

sim_config self_with(std::vector<sim_fault> faults) {
    sim_config config;
    config.self.faults = std::move(faults);
    return config;
}

struct SimChunkFaults : ::testing::Test {
    bytes image = make_image(3 * 4096, 9);
    std::unique_ptr<host> h;

    void start(std::vector<sim_fault> faults) {
        h = std::make_unique<host>(self_with(std::move(faults)));
        h->enter_installer();
        ASSERT_EQ(h->start("fwupdate start").size(), 1u);
    }
};

} // namespace

TEST_F(SimChunkFaults, SilentChunkIsLostOnItsAttemptOnlyAndTheRetryIsStored) {
    start({make_fault(sim_fault_kind::chunk_silent, 1)});
    EXPECT_EQ(h->exchange(chunk_frame(image, 0))[0].type, 0x82);
    EXPECT_TRUE(h->exchange(chunk_frame(image, 1)).empty());
    EXPECT_EQ(h->exchange(chunk_frame(image, 1))[0].type, 0x82) << "attempt 2 is answered";
    EXPECT_EQ(h->exchange(chunk_frame(image, 2))[0].type, 0x82);
    EXPECT_EQ(h->exchange(finalize_frame(1, 3 * 4096, crc_of(image), 1))[0].type, 0x84);
}

TEST_F(SimChunkFaults, AttemptZeroSilencesEveryAttempt) {
    start({make_fault(sim_fault_kind::chunk_silent, 0, 0)});
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(h->exchange(chunk_frame(image, 0)).empty());
    }
}

TEST_F(SimChunkFaults, LateAnswerComesAfterTheDelay) {
    sim_fault late = make_fault(sim_fault_kind::chunk_late, 0);
    late.delay_ms = 2500;
    start({late});
    h->take();
    const bytes frame = chunk_frame(image, 0);
    h->core.feed(frame.data(), frame.size(), h->now_us);
    EXPECT_TRUE(h->core.drain(h->now_us + 2'499'999).empty());
    EXPECT_FALSE(h->core.drain(h->now_us + 2'500'000).empty());
}

TEST_F(SimChunkFaults, InjectedNakCarriesReasonAndExpectedIndexAndStoresNothing) {
    sim_fault nak = make_fault(sim_fault_kind::chunk_nak, 1);
    nak.reason = 42;
    nak.expected_set = true;
    nak.expected = 0;
    start({nak});
    EXPECT_EQ(h->exchange(chunk_frame(image, 0))[0].type, 0x82);
    const std::vector<received_frame> answer = h->exchange(chunk_frame(image, 1));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type, 0x83);
    EXPECT_EQ(answer[0].payload[0], 42);
    EXPECT_EQ(le32_at(answer[0].payload, 1), 0u);
    // Chunk 1 was not stored: the device still expects 1, so a host obeying the NAK and
    // re-sending 0 is told so.
    const std::vector<received_frame> again = h->exchange(chunk_frame(image, 0));
    EXPECT_EQ(again[0].payload[0], SIM_NAK_OUT_OF_ORDER);
    EXPECT_EQ(le32_at(again[0].payload, 1), 1u);
}

TEST_F(SimChunkFaults, CorruptCrcNoiseAndOversizeHeaderSurroundAnIntactAnswer) {
    start({make_fault(sim_fault_kind::chunk_bad_crc, 0), make_fault(sim_fault_kind::chunk_noise, 1),
           make_fault(sim_fault_kind::chunk_oversize, 2)});
    h->take();
    h->send(chunk_frame(image, 0));
    simtest::device_output out = h->take();
    EXPECT_TRUE(out.frames.empty());
    EXPECT_EQ(out.bad_frames, 1u);

    h->send(chunk_frame(image, 1));
    out = h->take();
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].type, 0x82);
    EXPECT_EQ(out.text.size(), 16u);
    EXPECT_EQ(out.text.find('\xF2'), std::string::npos) << "noise must not start a frame";

    h->send(chunk_frame(image, 2));
    out = h->take();
    EXPECT_EQ(out.bad_frames, 1u);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(le32_at(out.frames[0].payload, 0), 2u);
}

TEST_F(SimChunkFaults, AckAndReadyOfWrongLength) {
    sim_fault ack = make_fault(sim_fault_kind::ack_length, 0);
    ack.length = 3;
    start({ack});
    const std::vector<received_frame> answer = h->exchange(chunk_frame(image, 0));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type, 0x82);
    EXPECT_EQ(answer[0].payload.size(), 3u);

    for (std::uint16_t len : {6, 8}) {
        sim_fault ready = make_fault(sim_fault_kind::ready_length);
        ready.length = len;
        host other(self_with({ready}));
        other.enter_installer();
        const std::vector<received_frame> r = other.start("fwupdate start");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].type, 0x81);
        EXPECT_EQ(r[0].payload.size(), len);
    }
}

TEST(SimFaults, StartSilentSendsNoReadyButTheDialogueIsOpen) {
    host h(self_with({make_fault(sim_fault_kind::start_silent)}));
    h.enter_installer();
    const simtest::bytes image = make_image(100, 1);
    EXPECT_TRUE(h.start("fwupdate start").empty());
    EXPECT_EQ(h.exchange(chunk_frame(image, 0))[0].type, 0x82);
}

TEST(SimFaults, FinalizeRejectedOrIgnoredLeavesTheOldBank) {
    for (sim_fault_kind kind : {sim_fault_kind::finalize_nak, sim_fault_kind::finalize_silent}) {
        sim_fault f = make_fault(kind);
        f.reason = 77;
        host h(self_with({f}));
        h.enter_installer();
        const std::uint8_t answer = h.update("fwupdate start", make_image(5000, 2));
        EXPECT_EQ(answer, kind == sim_fault_kind::finalize_nak ? 0x83 : 0);
        const sim_record& rec = h.core.record();
        EXPECT_EQ(rec.devices[0].active_bank, 0);
        EXPECT_TRUE(rec.devices[0].banks[1].bytes.empty());
        ASSERT_EQ(rec.finalizes.size(), 1u);
        EXPECT_FALSE(rec.finalizes[0].accepted);
    }
}

TEST(SimFaults, SessionNumberLimitsAFaultToThatSession) {
    sim_fault f = make_fault(sim_fault_kind::finalize_nak);
    f.session = 1;
    host h(self_with({f}));
    h.enter_installer();
    EXPECT_EQ(h.update("fwupdate start", make_image(5000, 2)), 0x83);
    h.reset();
    h.enter_installer();
    EXPECT_EQ(h.update("fwupdate start", make_image(5000, 2)), 0x84);
    EXPECT_EQ(h.core.record().devices[0].active_bank, 1);
}

TEST(SimFaults, FaultsOfAPeerDoNotTouchTheController) {
    sim_config config;
    sim_device_config peer;
    peer.serial = "KR-1";
    peer.faults = {make_fault(sim_fault_kind::chunk_silent, 0, 0)};
    config.peers = {peer};
    host h(config);
    h.enter_installer();
    EXPECT_EQ(h.update("fwupdate start", make_image(5000, 2)), 0x84);
}

TEST(SimFaults, DisconnectAtAChunkStopsEverything) {
    host h(self_with({make_fault(sim_fault_kind::disconnect, 1)}));
    h.enter_installer();
    const bytes image = make_image(3 * 4096, 3);
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);
    EXPECT_EQ(h.exchange(chunk_frame(image, 0))[0].type, 0x82);
    EXPECT_FALSE(h.core.disconnect_requested());
    EXPECT_TRUE(h.exchange(chunk_frame(image, 1)).empty());
    EXPECT_TRUE(h.core.disconnect_requested());
    EXPECT_EQ(h.core.record().sessions[0].outcome, sim_outcome::interrupted);
    h.reset();
    EXPECT_TRUE(h.take().text.empty()) << "a closed link boots nothing";
}

// The device stops reading at its chunk, answered first or not: nothing the host sends is heard
// until the controller's next reset, which cures it. A peer's hang takes the controller's link.
TEST(SimFaults, DeafDeviceHearsNothingUntilTheNextReset) {
    const bytes image = make_image(3 * 4096, 7);
    sim_fault answered = make_fault(sim_fault_kind::deaf, 1);
    answered.answered = true;
    host h(self_with({answered}));
    h.enter_installer();
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);
    EXPECT_EQ(h.exchange(chunk_frame(image, 0))[0].type, 0x82);
    EXPECT_FALSE(h.core.deaf());
    EXPECT_EQ(h.exchange(chunk_frame(image, 1))[0].type, 0x82) << "answered before the hang";
    EXPECT_TRUE(h.core.deaf());
    const std::size_t heard = h.core.record().frames.size();
    EXPECT_TRUE(h.exchange(chunk_frame(image, 2)).empty());
    EXPECT_EQ(h.core.record().frames.size(), heard);
    h.reset();
    h.take();
    EXPECT_FALSE(h.core.deaf());
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
    EXPECT_EQ(h.core.record().deaf_spells, 1u);

    sim_config config;
    sim_device_config peer;
    peer.serial = "KR-1";
    peer.faults = {make_fault(sim_fault_kind::deaf, 0)};
    config.peers = {peer};
    host p(config);
    p.enter_installer();
    ASSERT_EQ(p.start("fwupdate relay KR-1").size(), 1u);
    EXPECT_TRUE(p.exchange(chunk_frame(image, 0)).empty()) << "lost with the hang";
    EXPECT_TRUE(p.core.deaf());
    EXPECT_EQ(p.core.record().devices[0].banks[1].writes, 0u);
}

TEST(SimFaults, BootSilentHasNoMarkerButTheConsoleWorks) {
    host h(self_with({make_fault(sim_fault_kind::boot_silent)}));
    h.reset();
    const std::string boot = h.take().text;
    EXPECT_FALSE(boot.empty());
    EXPECT_EQ(boot.find("\x1b["), std::string::npos);
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
}

TEST(SimFaults, BootSlowAddsToTheBootDelayOnTheNamedReset) {
    sim_fault f = make_fault(sim_fault_kind::boot_slow);
    f.delay_ms = 6000;
    f.session = 2;
    host h(self_with({f}));
    h.reset();
    h.take();
    h.core.reset(h.now_us + 200'000); // the second reset
    h.now_us += 200'000;
    EXPECT_TRUE(h.core.drain(h.now_us + 5'999'000).empty());
    EXPECT_FALSE(h.core.drain(h.now_us + 6'000'000).empty());
}

TEST(SimFaults, NoPasswordPromptAndCancelledEntry) {
    host h(self_with({make_fault(sim_fault_kind::no_password_prompt)}));
    EXPECT_EQ(h.line("installer on"), SIM_PROMPT);

    host c(self_with({make_fault(sim_fault_kind::installer_cancel)}));
    EXPECT_EQ(c.line("installer on"), "Installer password: ");
    EXPECT_EQ(c.line("kelvane"), std::string("Cancelled\r\n") + SIM_PROMPT);
    EXPECT_FALSE(c.core.record().installer_mode);
}

namespace {

// The device resets itself in the middle of the dialogue: nothing is written, it comes up again
// from the bank it ran, and its boot text and prompt arrive where the host expects frames. A
// chunk sent afterwards is swallowed by the console, never taken for a command.
TEST(SimFaults, WatchdogAtAChunkRebootsTheControllerIntoItsOldBank) {
    host h(self_with({make_fault(sim_fault_kind::watchdog, 1)}));
    h.enter_installer();
    const bytes image = make_image(3 * 4096, 4);
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);
    EXPECT_EQ(h.exchange(chunk_frame(image, 0))[0].type, 0x82);
    h.send(chunk_frame(image, 1));
    h.settle();
    const simtest::device_output out = h.take();
    EXPECT_TRUE(out.frames.empty());
    EXPECT_NE(out.text.find("Kelvane controller KC-0001\r\nvariant 1, running bank A\r\n"),
              std::string::npos)
        << out.text;
    EXPECT_EQ(out.text.substr(out.text.size() - std::string(SIM_PROMPT).size()), SIM_PROMPT);
    EXPECT_EQ(h.core.record().watchdog_resets, 1u);
    EXPECT_EQ(h.core.record().sessions[0].outcome, sim_outcome::interrupted);
    EXPECT_FALSE(h.core.record().installer_mode);
    EXPECT_TRUE(h.exchange(chunk_frame(image, 2)).empty());
    EXPECT_EQ(h.core.record().lines.size(), 3u) << "a chunk frame became a console line";
    EXPECT_EQ(h.core.record().devices[0].active_bank, 0);
    EXPECT_EQ(h.core.record().devices[0].banks[1].writes, 0u);
}

TEST(SimFaults, WatchdogAtTheFinalizeOfAPeerLeavesTheControllerInInstallerMode) {
    sim_config config;
    sim_device_config peer;
    peer.serial = "KR-1";
    peer.type = "reader";
    peer.variant = 2;
    sim_fault f;
    f.kind = sim_fault_kind::watchdog_finalize;
    peer.faults = {f};
    config.peers = {peer};
    host h(config);
    h.enter_installer();
    const bytes image = make_image(5000, 5);
    const std::vector<simtest::received_frame> ready = h.start("fwupdate relay KR-1");
    ASSERT_EQ(ready.size(), 1u);
    ASSERT_TRUE(h.send_image(image));
    h.send(finalize_frame(7, 5000, crc_of(image), ready[0].payload[0]));
    h.settle();
    const simtest::device_output out = h.take();
    EXPECT_TRUE(out.frames.empty());
    EXPECT_NE(out.text.find("Kelvane reader KR-1\r\nvariant 2, running bank A\r\n"),
              std::string::npos)
        << out.text;
    const sim_record& record = h.core.record();
    EXPECT_TRUE(record.installer_mode);
    ASSERT_EQ(record.finalizes.size(), 1u);
    EXPECT_FALSE(record.finalizes[0].accepted);
    EXPECT_EQ(record.sessions[0].outcome, sim_outcome::interrupted);
    EXPECT_EQ(record.devices[1].banks[1].writes, 0u);
    EXPECT_EQ(record.devices[1].active_bank, 0);
}

} // namespace

// The header goes out when the fault says, the rest after the gap, and together they are the
// ordinary answer.
TEST_F(SimChunkFaults, SplitAnswerSendsTheHeaderThenTheRestAfterTheGap) {
    sim_fault split = make_fault(sim_fault_kind::chunk_split, 0);
    split.delay_ms = 1985;
    split.gap_ms = 30;
    start({split});
    h->take();
    const bytes frame = chunk_frame(image, 0);
    h->core.feed(frame.data(), frame.size(), h->now_us);
    EXPECT_TRUE(h->core.drain(h->now_us + 1'984'999).empty());
    const bytes head = h->core.drain(h->now_us + 1'985'000);
    ASSERT_EQ(head.size(), 4u);
    EXPECT_EQ(head[0], FWU_SOF_DEVICE);
    EXPECT_EQ(head[1], FWU_RSP_ACK);
    EXPECT_TRUE(h->core.drain(h->now_us + 2'014'999).empty());
    bytes whole = head;
    const bytes rest = h->core.drain(h->now_us + 2'015'000);
    whole.insert(whole.end(), rest.begin(), rest.end());
    const simtest::device_output out = simtest::split_output(whole);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].type, FWU_RSP_ACK);
    EXPECT_EQ(le32_at(out.frames[0].payload, 0), 0u);
    EXPECT_EQ(h->core.record().sessions.back().chunks_acked, 1u);
}

// Chunk 1 is taken again and again; chunk 2 never is, and the device keeps nothing past chunk 1.
TEST_F(SimChunkFaults, PingPongTakesItsChunkAndSendsEveryLaterOneBackToIt) {
    start({make_fault(sim_fault_kind::nak_pingpong, 1)});
    EXPECT_EQ(h->exchange(chunk_frame(image, 0))[0].type, FWU_RSP_ACK);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::vector<received_frame> ack = h->exchange(chunk_frame(image, 1));
        ASSERT_EQ(ack.size(), 1u);
        EXPECT_EQ(ack[0].type, FWU_RSP_ACK);
        const std::vector<received_frame> nak = h->exchange(chunk_frame(image, 2));
        ASSERT_EQ(nak.size(), 1u);
        ASSERT_EQ(nak[0].type, FWU_RSP_NAK);
        EXPECT_EQ(nak[0].payload[0], SIM_NAK_OUT_OF_ORDER);
        EXPECT_EQ(le32_at(nak[0].payload, 1), 1u);
    }
    // Only two chunks' worth arrived for good: the finalize of the whole image is incomplete.
    const std::vector<received_frame> verdict =
        h->exchange(finalize_frame(1, 3 * 4096, crc_of(image), 1));
    ASSERT_EQ(verdict.size(), 1u);
    EXPECT_EQ(verdict[0].type, FWU_RSP_NAK);
    EXPECT_EQ(verdict[0].payload[0], SIM_NAK_INCOMPLETE);
}
