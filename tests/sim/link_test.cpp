// How the shell reads the pty master in packet mode, and the pacing of an emulated line.

#include "sim-link.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

TEST(SimPacket, LeadingZeroIsData) {
    const std::uint8_t read[] = {0x00, 'o', 'k'};
    EXPECT_EQ(sim_packet_classify(read, sizeof read), sim_packet_kind::data);
}

TEST(SimPacket, EitherFlushBitIsAReset) {
    for (std::uint8_t status : {std::uint8_t{TIOCPKT_FLUSHREAD}, std::uint8_t{TIOCPKT_FLUSHWRITE},
                                std::uint8_t{TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE},
                                std::uint8_t{TIOCPKT_FLUSHREAD | TIOCPKT_DOSTOP}}) {
        EXPECT_EQ(sim_packet_classify(&status, 1), sim_packet_kind::reset) << int{status};
    }
}

TEST(SimPacket, SettingsChangesAreNotResets) {
    for (std::uint8_t status :
         {std::uint8_t{TIOCPKT_NOSTOP}, std::uint8_t{TIOCPKT_DOSTOP}, std::uint8_t{TIOCPKT_STOP},
          std::uint8_t{TIOCPKT_START}, std::uint8_t{TIOCPKT_NOSTOP | TIOCPKT_STOP}}) {
        EXPECT_EQ(sim_packet_classify(&status, 1), sim_packet_kind::status) << int{status};
    }
    EXPECT_EQ(sim_packet_classify(nullptr, 0), sim_packet_kind::empty);
}

TEST(SimPacing, ByteTimeIsTenBits) {
    EXPECT_EQ(sim_byte_time_us(0), 0u);
    EXPECT_EQ(sim_byte_time_us(115200), 87u);
    EXPECT_EQ(sim_byte_time_us(9600), 1042u);
    EXPECT_EQ(sim_byte_time_us(10'000'000), 1u);
    EXPECT_EQ(sim_byte_time_ns(0), 0u);
    EXPECT_EQ(sim_byte_time_ns(115200), 86'806u);
    EXPECT_EQ(sim_byte_time_ns(9600), 1'041'667u);
}

TEST(SimPacing, BytesQueueBehindEachOther) {
    sim_pacer in{100'000, 0};
    EXPECT_EQ(sim_pacer_pass(in, 1000), 1100u);
    EXPECT_EQ(sim_pacer_pass(in, 1000), 1200u) << "arrived together, through one after another";
    EXPECT_EQ(sim_pacer_pass(in, 5000), 5100u) << "an idle line starts at once";
    sim_pacer off{};
    EXPECT_EQ(sim_pacer_pass(off, 7), 7u);
}

TEST(SimPacing, ByteTimesOfNoWholeMicrosecondAddUpWithoutDrift) {
    sim_pacer in{sim_byte_time_ns(115200), 0};
    std::uint64_t through_us = 0;
    for (int i = 0; i < 11'520; ++i) {
        through_us = sim_pacer_pass(in, 0);
    }
    EXPECT_NEAR(static_cast<double>(through_us), 1'000'000.0, 10.0) << "11520 bytes: one second";
}

TEST(SimPacing, DeviceBytesAreHandedOverOnlyOnceThroughTheLine) {
    sim_pacer out{100'000, 0}; // 100 us a byte
    EXPECT_EQ(sim_pacer_through(out, 10'000, 10'099, 5), 0u) << "the first stop bit is not through";
    EXPECT_EQ(sim_pacer_through(out, 10'000, 10'100, 5), 1u);
    EXPECT_EQ(sim_pacer_through(out, 10'000, 10'350, 5), 3u);
    EXPECT_EQ(sim_pacer_through(out, 10'000, 99'000, 5), 5u) << "never more than wanted";
    EXPECT_EQ(sim_pacer_next_us(out, 10'000), 10'100u);

    sim_pacer_take(out, 10'000, 3);
    EXPECT_EQ(out.free_ns, 10'300'000u);
    EXPECT_EQ(sim_pacer_through(out, 10'000, 10'350, 2), 0u) << "the fourth byte follows the third";
    EXPECT_EQ(sim_pacer_next_us(out, 10'000), 10'400u);
    EXPECT_EQ(sim_pacer_next_us(out, 20'000), 20'100u) << "bytes ready later start when ready";

    sim_pacer off{};
    EXPECT_EQ(sim_pacer_through(off, 5, 0, 7), 7u);
    EXPECT_EQ(sim_pacer_next_us(off, 5), 5u);
}

TEST(SimPacing, ALateHandOverDoesNotSlowTheLine) {
    // The loop looks only every 500 us, yet 10 000 bytes of 100 us each are through in one second.
    sim_pacer run{100'000, 0};
    std::size_t sent = 0;
    std::uint64_t now = 0;
    while (sent < 10'000) {
        const std::size_t n = sim_pacer_through(run, 0, now, 10'000 - sent);
        sim_pacer_take(run, 0, n);
        sent += n;
        now += 500;
    }
    EXPECT_GE(now, 1'000'000u);
    EXPECT_LE(now, 1'000'500u);
}

TEST(SimSummary, PercentilesAreNearestRank) {
    std::vector<std::uint64_t> samples;
    for (std::uint64_t i = 100; i >= 1; --i) {
        samples.push_back(i);
    }
    EXPECT_EQ(sim_percentile(samples, 50), 50u);
    EXPECT_EQ(sim_percentile(samples, 99), 99u);
    EXPECT_EQ(sim_percentile(samples, 100), 100u);
    EXPECT_EQ(sim_percentile({7}, 99), 7u);
    EXPECT_EQ(sim_percentile({}, 50), 0u);
}

TEST(SimSummary, MasksThePasswordLine) {
    sim_record rec;
    rec.lines = {"installer on", "s3cret", "fwupdate start"};
    const std::string text = sim_record_summary(rec);
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    EXPECT_NE(text.find("fwupdate start"), std::string::npos);
}
