// The binary update dialogue of the simulated devices: READY, chunk order, size limit,
// finalize checks, the bank flip, abort, and the timing the record keeps.

#include "sim-test-helpers.h"

#include <gtest/gtest.h>

using simtest::bytes;
using simtest::chunk_frame;
using simtest::finalize_frame;
using simtest::host;
using simtest::make_image;
using simtest::received_frame;

namespace {

sim_config with_reader() {
    sim_config config;
    config.self.bank_limit = 64 * 1024;
    sim_device_config reader;
    reader.serial = "KR-0100";
    reader.type = "reader";
    reader.variant = 0x0203;
    reader.active_bank = 1;
    reader.bank_limit = 40000;
    reader.chunk_delay_ms = 20;
    config.peers = {reader};
    return config;
}

struct SimSession : ::testing::Test {
    host h{with_reader()};
    bytes image = make_image(10000, 1); // three chunks, the last one short

    void SetUp() override {
        h.enter_installer();
        const std::vector<received_frame> ready = h.start("fwupdate start");
        ASSERT_EQ(ready.size(), 1u);
    }

    received_frame one(const bytes& frame) {
        const std::vector<received_frame> answer = h.exchange(frame);
        EXPECT_EQ(answer.size(), 1u);
        return answer.empty() ? received_frame{} : answer[0];
    }
};

} // namespace

TEST(SimReady, CarriesInactiveBankLimitAndOwnVariant) {
    host h(with_reader());
    h.enter_installer();
    std::vector<received_frame> ready = h.start("fwupdate start");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].type, 0x81);
    ASSERT_EQ(ready[0].payload.size(), 7u);
    EXPECT_EQ(ready[0].payload[0], 1); // runs from A, offers B
    EXPECT_EQ(le32_at(ready[0].payload, 1), 64u * 1024);
    EXPECT_EQ(ready[0].payload[5] | ready[0].payload[6] << 8, 1);

    h.reset();
    h.enter_installer();
    ready = h.start("fwupdate relay KR-0100");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].payload[0], 0); // the reader runs from B
    EXPECT_EQ(le32_at(ready[0].payload, 1), 40000u);
    EXPECT_EQ(ready[0].payload[5] | ready[0].payload[6] << 8, 0x0203);
}

TEST_F(SimSession, ChunksInOrderAreAcknowledgedWithTheirIndex) {
    for (std::uint32_t i = 0; i < 3; ++i) {
        const received_frame ack = one(chunk_frame(image, i));
        EXPECT_EQ(ack.type, 0x82);
        ASSERT_EQ(ack.payload.size(), 4u);
        EXPECT_EQ(le32_at(ack.payload, 0), i);
    }
}

TEST_F(SimSession, OutOfOrderAndRepeatedChunksAreNakedWithTheExpectedIndex) {
    EXPECT_EQ(one(chunk_frame(image, 0)).type, 0x82);
    received_frame nak = one(chunk_frame(image, 2));
    EXPECT_EQ(nak.type, 0x83);
    ASSERT_EQ(nak.payload.size(), 5u);
    EXPECT_EQ(nak.payload[0], SIM_NAK_OUT_OF_ORDER);
    EXPECT_EQ(le32_at(nak.payload, 1), 1u);

    EXPECT_EQ(one(chunk_frame(image, 1)).type, 0x82);
    nak = one(chunk_frame(image, 1)); // a repeat after a lost ACK must not be stored twice
    EXPECT_EQ(nak.type, 0x83);
    EXPECT_EQ(le32_at(nak.payload, 1), 2u);
    EXPECT_EQ(one(chunk_frame(image, 2)).type, 0x82);
    EXPECT_EQ(one(finalize_frame(1, 10000, crc_of(image), 1)).type, 0x84);
    EXPECT_EQ(h.core.record().devices[0].banks[1].bytes, image);

    const sim_record& rec = h.core.record();
    ASSERT_EQ(rec.naks.size(), 2u);
    EXPECT_EQ(rec.frames[3].chunk_index, 1u);
    EXPECT_EQ(rec.frames[3].chunk_attempt, 2u);
}

TEST_F(SimSession, FinalizeSuccessFlipsBanksAndRebootsOutOfInstallerMode) {
    ASSERT_TRUE(h.send_image(image));
    h.take();
    h.send(finalize_frame(0xABCD, 10000, crc_of(image), 1));
    const simtest::device_output out = h.take();
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].type, 0x84);
    EXPECT_NE(out.text.find("running bank B"), std::string::npos) << "reboots into bank B";

    const sim_record& rec = h.core.record();
    EXPECT_EQ(rec.devices[0].active_bank, 1);
    EXPECT_EQ(rec.devices[0].banks[1].bytes, image) << "0xFF fill is not part of the image";
    EXPECT_EQ(rec.devices[0].banks[1].crc, crc_of(image));
    EXPECT_EQ(rec.sessions[0].outcome, sim_outcome::done);
    EXPECT_FALSE(rec.installer_mode);
    ASSERT_EQ(rec.finalizes.size(), 1u);
    EXPECT_EQ(rec.finalizes[0].image_tag, 0xABCDu);
    EXPECT_TRUE(rec.finalizes[0].accepted);
}

TEST(SimFlip, SecondUpdateWritesTheOtherBankAndKeepsTheFirst) {
    host h(with_reader());
    const bytes first = make_image(5000, 1);
    const bytes second = make_image(9000, 2);
    h.enter_installer();
    ASSERT_EQ(h.update("fwupdate start", first), 0x84);
    h.reset();
    h.enter_installer();
    const std::vector<received_frame> ready = h.start("fwupdate start");
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].payload[0], 0) << "bank B now runs, so A is offered";
    ASSERT_TRUE(h.send_image(second));
    ASSERT_EQ(h.exchange(finalize_frame(2, 9000, crc_of(second), 0))[0].type, 0x84);

    const sim_device_record& self = h.core.record().devices[0];
    EXPECT_EQ(self.active_bank, 0);
    EXPECT_EQ(self.banks[0].bytes, second);
    EXPECT_EQ(self.banks[1].bytes, first);
}

TEST(SimFlip, RelayedUpdateFlipsThePeerAndLeavesTheControllerInInstallerMode) {
    host h(with_reader());
    const bytes image = make_image(4096, 3);
    h.enter_installer();
    ASSERT_EQ(h.update("fwupdate relay KR-0100", image), 0x84);
    const sim_record& rec = h.core.record();
    EXPECT_EQ(rec.devices[1].active_bank, 0);
    EXPECT_EQ(rec.devices[1].banks[0].bytes, image);
    EXPECT_EQ(rec.devices[0].active_bank, 0) << "the relaying controller is not updated";
    EXPECT_TRUE(rec.devices[0].banks[1].bytes.empty());
    EXPECT_TRUE(rec.installer_mode);
}

struct SimFinalizeRefusal : SimSession {
    void expect_refused(const bytes& finalize, std::uint8_t reason, bool send_image = true) {
        if (send_image) {
            ASSERT_TRUE(h.send_image(image));
        }
        h.take();
        h.send(finalize);
        const simtest::device_output out = h.take();
        ASSERT_EQ(out.frames.size(), 1u);
        EXPECT_EQ(out.frames[0].type, 0x83);
        EXPECT_EQ(out.frames[0].payload[0], reason);
        EXPECT_TRUE(out.text.ends_with(SIM_PROMPT)) << "back at the console";
        const sim_record& rec = h.core.record();
        EXPECT_EQ(rec.devices[0].active_bank, 0);
        EXPECT_TRUE(rec.devices[0].banks[1].bytes.empty()) << "nothing marked as written";
        EXPECT_EQ(rec.devices[0].banks[1].writes, 0u);
        EXPECT_EQ(rec.sessions[0].outcome, sim_outcome::rejected);
        EXPECT_TRUE(rec.installer_mode);
    }
};

TEST_F(SimFinalizeRefusal, CrcMismatch) {
    expect_refused(finalize_frame(1, 10000, crc_of(image) ^ 1, 1), SIM_NAK_CRC_MISMATCH);
}

TEST_F(SimFinalizeRefusal, LengthBeyondWhatArrived) {
    // 12288 bytes arrived (three chunks, fill included), so only a longer length is refused...
    expect_refused(finalize_frame(1, 12289, crc_of(image), 1), SIM_NAK_INCOMPLETE);
}

TEST_F(SimFinalizeRefusal, LengthThatCoversFillHasTheWrongCrc) {
    // ...and a length that takes in fill bytes fails on the CRC of those bytes.
    expect_refused(finalize_frame(1, 10001, crc_of(image), 1), SIM_NAK_CRC_MISMATCH);
}

TEST_F(SimFinalizeRefusal, WrongBank) {
    expect_refused(finalize_frame(1, 10000, crc_of(image), 0), SIM_NAK_WRONG_BANK);
}

// An empty image as a host sends it, the finalize straight after READY, and a length of 0 after
// chunks: either way no bank is marked valid with nothing in it.
TEST_F(SimFinalizeRefusal, LengthZeroWithoutAChunk) {
    expect_refused(finalize_frame(1, 0, 0, 1), SIM_NAK_EMPTY_IMAGE, false);
}

TEST_F(SimFinalizeRefusal, LengthZeroAfterChunks) {
    expect_refused(finalize_frame(1, 0, 0, 1), SIM_NAK_EMPTY_IMAGE);
}

TEST_F(SimSession, ShorterFinalizeLengthTakesOnlyThosePrefixBytes) {
    ASSERT_TRUE(h.send_image(image));
    const bytes prefix(image.begin(), image.begin() + 5000);
    EXPECT_EQ(one(finalize_frame(1, 5000, crc_of(prefix), 1)).type, 0x84);
    EXPECT_EQ(h.core.record().devices[0].banks[1].bytes, prefix);
}

TEST(SimLimit, DataBeyondTheBankLimitIsNakedButFillIsNot) {
    sim_config config;
    config.self.bank_limit = 5000;
    host h(config);
    h.enter_installer();
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);

    const bytes exact = make_image(5000, 4);
    ASSERT_TRUE(h.send_image(exact)) << "fill past the limit in the last chunk is accepted";
    ASSERT_EQ(h.exchange(finalize_frame(1, 5000, crc_of(exact), 1))[0].type, 0x84);

    h.reset();
    h.enter_installer();
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);
    const bytes big = make_image(5001, 5);
    ASSERT_EQ(h.exchange(chunk_frame(big, 0))[0].type, 0x82);
    const std::vector<received_frame> nak = h.exchange(chunk_frame(big, 1));
    ASSERT_EQ(nak.size(), 1u);
    EXPECT_EQ(nak[0].type, 0x83);
    EXPECT_EQ(nak[0].payload[0], SIM_NAK_TOO_LARGE);
    EXPECT_EQ(le32_at(nak[0].payload, 1), 1u);
}

TEST_F(SimSession, AbortIsAnsweredWithOneAckAndEndsTheDialogue) {
    ASSERT_EQ(one(chunk_frame(image, 0)).type, 0x82);
    h.take();
    h.send(simtest::abort_frame());
    const simtest::device_output out = h.take();
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].type, 0x82);
    EXPECT_EQ(le32_at(out.frames[0].payload, 0), 1u);
    EXPECT_EQ(out.text, std::string("\r\n") + SIM_PROMPT);
    EXPECT_EQ(h.core.record().aborts, 1u);
    EXPECT_EQ(h.core.record().sessions[0].outcome, sim_outcome::aborted);
    EXPECT_TRUE(h.core.record().devices[0].banks[1].bytes.empty());
    EXPECT_EQ(h.line("fwupdate peers"),
              std::string("peers:\r\nKR-0100 reader\r\nEND\r\n") + SIM_PROMPT);
}

TEST_F(SimSession, CorruptHostFramesAreIgnored) {
    bytes frame = chunk_frame(image, 0);
    frame.back() ^= 0x01;
    EXPECT_TRUE(h.exchange(frame).empty());
    EXPECT_EQ(h.core.record().dropped_frames, 1u);
    EXPECT_EQ(one(chunk_frame(image, 0)).type, 0x82) << "the retry is the first chunk 0";
    EXPECT_EQ(h.core.record().frames.back().chunk_attempt, 1u);
}

TEST_F(SimSession, WrongPayloadLengthsAndUnknownTypesAreNaked) {
    received_frame nak = one(simtest::host_frame(0x01, bytes(100, 0)));
    EXPECT_EQ(nak.type, 0x83);
    EXPECT_EQ(nak.payload[0], SIM_NAK_BAD_LENGTH);
    nak = one(simtest::host_frame(0x55, {}));
    EXPECT_EQ(nak.payload[0], SIM_NAK_UNKNOWN_TYPE);
    EXPECT_EQ(one(chunk_frame(image, 0)).type, 0x82) << "still in the dialogue";
}

TEST(SimTiming, RelayedPeerAnswersAfterItsChunkDelay) {
    host h(with_reader());
    h.enter_installer();
    h.take();
    h.core.feed(reinterpret_cast<const std::uint8_t*>("fwupdate relay KR-0100\r"), 23, h.now_us);
    EXPECT_TRUE(h.core.drain(h.now_us + 19'999).empty());
    EXPECT_FALSE(h.core.drain(h.now_us + 20'000).empty());
}

TEST(SimTiming, TurnaroundIsFromAckWrittenToTheNextChunksFirstByte) {
    host h(with_reader());
    const bytes image = make_image(3 * 4096, 6);
    h.enter_installer();
    ASSERT_EQ(h.start("fwupdate start").size(), 1u);
    h.now_us = 5'000'000;
    for (std::uint32_t i = 0; i < 3; ++i) {
        const bytes frame = chunk_frame(image, i);
        h.core.feed(frame.data(), 1, h.now_us);
        h.core.feed(frame.data() + 1, frame.size() - 1, h.now_us + 300);
        h.now_us += 300;
        const std::span<const std::uint8_t> ack = h.core.output_peek(h.now_us);
        ASSERT_EQ(ack.size(), 12u);
        h.core.output_commit(6, h.now_us + 100);
        h.core.output_commit(6, h.now_us + 200); // the ACK is written when its last byte is
        h.now_us += 200 + 1000 * (i + 1);
    }
    const bytes finalize = finalize_frame(1, 3 * 4096, crc_of(image), 1);
    h.core.feed(finalize.data(), finalize.size(), h.now_us);
    h.core.output_commit(h.core.output_peek(h.now_us).size(), h.now_us + 50);

    const sim_record& rec = h.core.record();
    EXPECT_EQ(rec.turnaround_us, (std::vector<std::uint64_t>{1000, 2000}))
        << "no sample for the finalize";
    EXPECT_EQ(rec.sessions[0].first_chunk_us, 5'000'000u);
    EXPECT_EQ(rec.sessions[0].done_us, h.now_us + 50);
}
