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

TEST(SimPacing, ByteTimeIsTenBitsRoundedUp) {
    EXPECT_EQ(sim_byte_time_us(0), 0u);
    EXPECT_EQ(sim_byte_time_us(115200), 87u);
    EXPECT_EQ(sim_byte_time_us(9600), 1042u);
    EXPECT_EQ(sim_byte_time_us(10'000'000), 1u);
}

TEST(SimPacing, BytesQueueBehindEachOther) {
    sim_pacer in{100, 0};
    EXPECT_EQ(sim_pacer_pass(in, 1000), 1100u);
    EXPECT_EQ(sim_pacer_pass(in, 1000), 1200u) << "arrived together, through one after another";
    EXPECT_EQ(sim_pacer_pass(in, 5000), 5100u) << "an idle line starts at once";
    sim_pacer off{};
    EXPECT_EQ(sim_pacer_pass(off, 7), 7u);
}

TEST(SimPacing, AllowHandsOverOnlyWhatTheLineCanCarryBySlack) {
    sim_pacer out{100, 0};
    EXPECT_EQ(sim_pacer_allow(out, 10'000, 1000, 5000), 11u); // starts now, 1 ms ahead allowed
    EXPECT_EQ(out.free_us, 11'100u);
    EXPECT_EQ(sim_pacer_allow(out, 10'000, 1000, 5000), 0u) << "the line is taken";
    EXPECT_EQ(sim_pacer_allow(out, 10'200, 1000, 5000), 2u) << "starting at 11.1 and 11.2 ms";
    EXPECT_EQ(sim_pacer_allow(out, 20'000, 1000, 3), 3u) << "never more than wanted";

    sim_pacer slow{33'334, 0};
    EXPECT_EQ(sim_pacer_allow(slow, 0, 1000, 10), 1u) << "a free line always takes a byte";

    // Over a long run the rate holds: 10 000 bytes at 100 us each take one second.
    sim_pacer run{100, 0};
    std::size_t sent = 0;
    std::uint64_t now = 0;
    while (sent < 10'000) {
        sent += sim_pacer_allow(run, now, 1000, 10'000 - sent);
        now += 500;
    }
    EXPECT_GE(now, 999'000u);
    EXPECT_LE(now, 1'001'000u);
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
