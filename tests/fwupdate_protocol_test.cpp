#include "fwupdate-protocol.h"

#include "crc32.h"
#include "fake-device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bytes = std::string;

// Built independently of the encoder under test: header, payload, CRC-32 low byte first.
bytes frame(std::uint8_t sof, std::uint8_t type, const bytes& payload) {
    bytes covered;
    covered += static_cast<char>(type);
    covered += static_cast<char>(payload.size() & 0xFF);
    covered += static_cast<char>(payload.size() >> 8);
    covered += payload;
    const std::uint32_t crc = crc32(reinterpret_cast<const std::uint8_t*>(covered.data()),
                                    static_cast<std::uint32_t>(covered.size()));
    bytes out(1, static_cast<char>(sof));
    out += covered;
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((crc >> (8 * i)) & 0xFF);
    }
    return out;
}

bytes device_frame(std::uint8_t type, const bytes& payload) {
    return frame(FWU_SOF_DEVICE, type, payload);
}

// The same frame with one CRC byte flipped.
bytes corrupt_crc(bytes f) {
    f.back() = static_cast<char>(f.back() ^ 0x01);
    return f;
}

bytes pattern(std::size_t n, unsigned seed = 0) {
    bytes out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    }
    return out;
}

// Line noise without a device start byte; echoed host start bytes included.
bytes noise(std::size_t n) {
    bytes out = pattern(n, 1);
    for (char& c : out) {
        if (static_cast<std::uint8_t>(c) == FWU_SOF_DEVICE) {
            c = static_cast<char>(FWU_SOF_HOST);
        }
    }
    return out;
}

bytes hex(std::initializer_list<int> values) {
    bytes out;
    for (int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

const bytes ABORT_FRAME = hex({0xF1, 0x03, 0x00, 0x00, 0x4B, 0x67, 0x07, 0xFD});

class FwuFrames : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        payload.fill(0xEE);
    }

    bool recv(std::uint32_t timeout_ms) {
        return fwu_recv_frame(fake::port(), &type, payload.data(), &len, timeout_ms);
    }

    bytes received_payload() const {
        return bytes(reinterpret_cast<const char*>(payload.data()), len);
    }

    std::array<std::uint8_t, FWU_MAX_PAYLOAD> payload{};
    // Sentinels: a failed receive must leave them as they are.
    std::uint8_t type = 0xA5;
    std::uint16_t len = 0xBEEF;
};

// ---- encoding and sending -------------------------------------------------------------------

TEST_F(FwuFrames, AbortGoesOutAsTheKnownEightBytesWithoutReadingThePayload) {
    // A pointer that must never be dereferenced; ASan and a crash would both show a read.
    const auto* never_read = reinterpret_cast<const std::uint8_t*>(std::uintptr_t{1});
    ASSERT_TRUE(fwu_send_frame(fake::port(), FWU_CMD_ABORT, never_read, 0));
    ASSERT_EQ(fake::writes().size(), 1u);
    EXPECT_EQ(fake::writes()[0], ABORT_FRAME);
}

TEST_F(FwuFrames, EncoderUsesTheGivenStartByteAndLeavesItOutOfTheCrc) {
    std::array<std::uint8_t, FWU_MAX_FRAME> out{};
    ASSERT_EQ(fwu_frame_encode(FWU_SOF_DEVICE, FWU_CMD_ABORT, nullptr, 0, out.data()), 8u);
    bytes expected = ABORT_FRAME;
    expected[0] = static_cast<char>(FWU_SOF_DEVICE);
    EXPECT_EQ(bytes(reinterpret_cast<const char*>(out.data()), 8), expected);
}

TEST_F(FwuFrames, SendWritesEachPayloadSizeAsOneWholeFrame) {
    for (std::size_t n : {std::size_t{1}, FWU_FINALIZE_LEN, std::size_t{256}, FWU_MAX_PAYLOAD}) {
        SCOPED_TRACE(n);
        fake::clear_written();
        const bytes data = pattern(n, static_cast<unsigned>(n));
        ASSERT_TRUE(fwu_send_frame(fake::port(), FWU_CMD_CHUNK,
                                   reinterpret_cast<const std::uint8_t*>(data.data()),
                                   static_cast<std::uint16_t>(n)));
        ASSERT_EQ(fake::writes().size(), 1u);
        EXPECT_EQ(fake::writes()[0], frame(FWU_SOF_HOST, FWU_CMD_CHUNK, data));
    }
}

TEST_F(FwuFrames, OversizePayloadIsRefusedWithNothingWritten) {
    // Only FWU_MAX_PAYLOAD bytes exist behind the pointer: an attempt to copy more would be
    // caught by ASan.
    std::vector<std::uint8_t> data(FWU_MAX_PAYLOAD, 0x5A);
    for (std::uint16_t n : {std::uint16_t{FWU_MAX_PAYLOAD + 1}, std::uint16_t{0xFFFF}}) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(fwu_send_frame(fake::port(), FWU_CMD_CHUNK, data.data(), n));
        std::array<std::uint8_t, FWU_MAX_FRAME> out{};
        EXPECT_EQ(fwu_frame_encode(FWU_SOF_HOST, FWU_CMD_CHUNK, data.data(), n, out.data()), 0u);
    }
    EXPECT_TRUE(fake::writes().empty());
}

TEST_F(FwuFrames, ShortOrFailedWriteIsAFailure) {
    for (int result : {-1, 0, 1, 7}) {
        SCOPED_TRACE(result);
        fake::clear_written();
        fake::script_write_results({result});
        EXPECT_FALSE(fwu_send_frame(fake::port(), FWU_CMD_ABORT, nullptr, 0));
        // Nothing is resent: the caller decides.
        EXPECT_LE(fake::writes().size(), 1u);
    }
}

// ---- receiving: framing -------------------------------------------------------------------

struct framing_case {
    const char* name;
    bytes stream;
    std::uint8_t type;
    bytes payload;
    std::size_t left_unread;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const framing_case& c, std::ostream* os) {
    *os << c.name;
}

const bytes READY_PAYLOAD = hex({0x01, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00});
const bytes READY = device_frame(FWU_RSP_READY, READY_PAYLOAD);
const bytes FULL_PAYLOAD = pattern(FWU_MAX_PAYLOAD, 3);

// 4101 announced; its would-be payload carries a complete good frame.
bytes oversize_hiding_a_frame() {
    return hex({0xF2, 0x01, 0x05, 0x10}) + pattern(20, 9) + READY;
}

std::vector<framing_case> framing_cases() {
    return {
        {"PlainFrame", READY, FWU_RSP_READY, READY_PAYLOAD, 0},
        {"LongNoiseBefore", noise(5000) + READY, FWU_RSP_READY, READY_PAYLOAD, 0},
        {"EchoedHostFramesAreNotFrames",
         ABORT_FRAME + frame(FWU_SOF_HOST, FWU_RSP_ACK, "abcd") + READY, FWU_RSP_READY,
         READY_PAYLOAD, 0},
        {"StrayStartWithOversizeLength", hex({0xF2, 0x00, 0xFF, 0xFF}) + READY, FWU_RSP_READY,
         READY_PAYLOAD, 0},
        {"StrayStartWithBadCrc", hex({0xF2, 0x82, 0x01, 0x00, 0x00, 1, 2, 3, 4}) + READY,
         FWU_RSP_READY, READY_PAYLOAD, 0},
        {"EmptyPayload", device_frame(FWU_RSP_DONE, ""), FWU_RSP_DONE, "", 0},
        {"UnknownType", device_frame(0x5A, "xyz"), 0x5A, "xyz", 0},
        {"StartBytesInsidePayloadAndCrc", device_frame(FWU_RSP_ACK, hex({0xF2, 0xF2, 0xF1, 0xF2})),
         FWU_RSP_ACK, hex({0xF2, 0xF2, 0xF1, 0xF2}), 0},
        {"LargestPayloadAccepted", device_frame(0x84, FULL_PAYLOAD), 0x84, FULL_PAYLOAD, 0},
        {"OversizeDroppedAndHuntResumesInItsPayload", oversize_hiding_a_frame(), FWU_RSP_READY,
         READY_PAYLOAD, 0},
        {"BadCrcThenGoodFrame", corrupt_crc(device_frame(FWU_RSP_ACK, "1234")) + READY,
         FWU_RSP_READY, READY_PAYLOAD, 0},
        {"OnlyTheFirstOfBackToBackFrames", READY + device_frame(FWU_RSP_ACK, "1234"), FWU_RSP_READY,
         READY_PAYLOAD, 12},
    };
}

class FwuFraming : public FwuFrames, public ::testing::WithParamInterface<framing_case> {};

TEST_P(FwuFraming, FindsTheFirstGoodFrameAndReadsNoFurther) {
    const framing_case& c = GetParam();
    fake::device_sends(c.stream);
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(received_payload(), c.payload);
    EXPECT_EQ(fake::unread(), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(Streams, FwuFraming, ::testing::ValuesIn(framing_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FwuFrames, LengthFieldIsLittleEndian) {
    // 04 10 is 4100; read the other way round it would be 1040 and the frame would be lost.
    const bytes f = device_frame(0x84, FULL_PAYLOAD);
    ASSERT_EQ(static_cast<std::uint8_t>(f[2]), 0x04);
    ASSERT_EQ(static_cast<std::uint8_t>(f[3]), 0x10);
    fake::device_sends(f);
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(len, FWU_MAX_PAYLOAD);
}

TEST_F(FwuFrames, BackToBackFramesComeOneCallEach) {
    fake::device_sends(READY + device_frame(FWU_RSP_ACK, "1234") + device_frame(FWU_RSP_DONE, ""));
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(type, FWU_RSP_READY);
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(type, FWU_RSP_ACK);
    EXPECT_EQ(received_payload(), "1234");
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(type, FWU_RSP_DONE);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(fake::unread(), 0u);
}

TEST_F(FwuFrames, FrameArrivingInPiecesOverTimeIsAssembled) {
    const std::uint64_t start_ms = fake::now_ms();
    const bytes f = device_frame(FWU_RSP_NAK, hex({0x02, 0x07, 0x00, 0x00, 0x00}));
    fake::device_sends(f.substr(0, 1), 300);
    fake::device_sends(f.substr(1, 3), 600);
    fake::device_sends(f.substr(4, 5), 900);
    fake::device_sends(f.substr(9), 1500);
    ASSERT_TRUE(recv(2000));
    EXPECT_EQ(type, FWU_RSP_NAK);
    EXPECT_EQ(len, FWU_NAK_LEN);
    // Returned as soon as the last byte came in, not at the deadline.
    EXPECT_EQ(fake::now_ms(), start_ms + 1500);
}

// ---- receiving: the deadline ----------------------------------------------------------------

struct deadline_case {
    const char* name;
    std::uint64_t head_at_ms; // when all but the last byte arrive, after the call starts
    std::uint64_t last_at_ms; // when the last byte arrives
    bool received;
    std::uint64_t ends_at_ms; // when the call returns
};

void PrintTo(const deadline_case& c, std::ostream* os) {
    *os << c.name;
}

class FwuDeadline : public FwuFrames, public ::testing::WithParamInterface<deadline_case> {};

// A wait of 2000 ms for an ACK of 12 bytes. A frame whose start byte was read by the deadline is
// read on; with one byte left at the deadline its grace is 1 ms on the line plus the margin.
TEST_P(FwuDeadline, CutsOnlyFramesThatBeganAfterItOrOutranTheirGrace) {
    const deadline_case& c = GetParam();
    const std::uint64_t start_ms = fake::now_ms();
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    fake::device_sends_at(start_ms + c.head_at_ms, f.substr(0, f.size() - 1));
    fake::device_sends_at(start_ms + c.last_at_ms, f.substr(f.size() - 1));
    EXPECT_EQ(recv(2000), c.received);
    EXPECT_EQ(fake::now_ms(), start_ms + c.ends_at_ms);
    if (c.received) {
        EXPECT_EQ(type, FWU_RSP_ACK);
        EXPECT_EQ(received_payload(), "abcd");
    } else {
        EXPECT_EQ(type, 0xA5);
        EXPECT_EQ(len, 0xBEEF);
    }
}

// One byte at 11520 bytes a second, rounded up to 1 ms, and the 100 ms margin.
constexpr std::uint64_t ONE_BYTE_GRACE_END_MS = 2101;

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FwuDeadline,
    ::testing::Values(deadline_case{"LastByteJustBefore", 100, 1999, true, 1999},
                      deadline_case{"LastByteAtTheDeadline", 100, 2000, true, 2000},
                      deadline_case{"LastByteJustAfter", 100, 2001, true, 2001},
                      deadline_case{"LastByteAtTheEndOfTheGrace", 100, ONE_BYTE_GRACE_END_MS, true,
                                    ONE_BYTE_GRACE_END_MS},
                      deadline_case{"LastByteAfterTheGrace", 100, ONE_BYTE_GRACE_END_MS + 1, false,
                                    ONE_BYTE_GRACE_END_MS},
                      deadline_case{"WholeFrameAtTheDeadline", 2000, 2000, true, 2000},
                      deadline_case{"WholeFrameJustAfter", 2001, 2001, false, 2000}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- receiving: a frame that straddles the deadline -----------------------------------------

// 4107 bytes take 357 ms at 11520 bytes a second; with the margin, 457.
constexpr std::uint64_t LARGEST_GRACE_MS = 457;

class FwuGrace : public FwuFrames {
  protected:
    // Queues `head` to arrive 1 ms before the deadline of a 2000 ms wait, then starts the wait.
    void head_before_deadline(const bytes& head) {
        start_ms = fake::now_ms();
        fake::device_sends_at(start_ms + 1999, head);
    }
    std::uint64_t deadline() const { return start_ms + 2000; }

    std::uint64_t start_ms = 0;
};

// As at the deadline, the end of the grace is tested before each read: a read may end at it with
// a byte, but none starts there.
TEST_F(FwuGrace, UnknownLengthIsGivenTheLargestFrameTime) {
    // Only the start byte by the deadline: 4107 bytes may follow.
    const bytes f = device_frame(0x84, FULL_PAYLOAD);
    head_before_deadline(f.substr(0, 1));
    fake::device_sends_at(deadline() + LARGEST_GRACE_MS - 1, f.substr(1));
    ASSERT_TRUE(recv(2000));
    EXPECT_EQ(len, FWU_MAX_PAYLOAD);
    EXPECT_EQ(received_payload(), FULL_PAYLOAD);
    EXPECT_EQ(fake::now_ms(), deadline() + LARGEST_GRACE_MS - 1);
}

TEST_F(FwuGrace, LargestFrameWhoseRestStartsAtTheEndOfTheGraceIsLost) {
    const bytes f = device_frame(0x84, FULL_PAYLOAD);
    head_before_deadline(f.substr(0, 1));
    fake::device_sends_at(deadline() + LARGEST_GRACE_MS, f.substr(1));
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), deadline() + LARGEST_GRACE_MS);
    EXPECT_EQ(len, 0xBEEF);
    EXPECT_EQ(fake::unread(), f.size() - 2);
}

TEST_F(FwuGrace, ShrinksToTheFrameOnceItsLengthIsRead) {
    // The start byte alone by the deadline; its length, read in the grace, leaves 11 bytes that
    // were still to come at the deadline: 1 ms on the line plus the margin.
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    head_before_deadline(f.substr(0, 1));
    fake::device_sends_at(deadline() + 50, f.substr(1, 3));
    fake::device_sends_at(deadline() + 101 + 1, f.substr(4));
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), deadline() + 101);
}

TEST_F(FwuGrace, LengthReadPastTheShorterGraceEndsTheWaitAtOnce) {
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    head_before_deadline(f.substr(0, 1));
    fake::device_sends_at(deadline() + 300, f.substr(1));
    EXPECT_FALSE(recv(2000));
    // The length came inside the assumed 457 ms, but 11 bytes needed only 101 of them.
    EXPECT_EQ(fake::now_ms(), deadline() + 300);
    EXPECT_EQ(fake::unread(), f.size() - 4);
}

TEST_F(FwuGrace, NothingIsReadPastTheFrame) {
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    head_before_deadline(f.substr(0, 4));
    fake::device_sends_at(deadline() + 30, f.substr(4) + READY);
    ASSERT_TRUE(recv(2000));
    EXPECT_EQ(type, FWU_RSP_ACK);
    EXPECT_EQ(fake::now_ms(), deadline() + 30);
    EXPECT_EQ(fake::unread(), READY.size());
}

TEST_F(FwuGrace, BadCrcEndsTheWaitWithoutANewHunt) {
    const bytes f = corrupt_crc(device_frame(FWU_RSP_ACK, "abcd"));
    head_before_deadline(f.substr(0, 4));
    fake::device_sends_at(deadline() + 30, f.substr(4) + READY);
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), deadline() + 30);
    EXPECT_EQ(type, 0xA5);
    EXPECT_EQ(fake::unread(), READY.size());
}

TEST_F(FwuGrace, OversizeLengthEndsTheWaitWithoutANewHunt) {
    head_before_deadline(hex({0xF2, 0x01}));
    fake::device_sends_at(deadline() + 30, hex({0x05, 0x10}) + READY);
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), deadline() + 30);
    EXPECT_EQ(fake::unread(), READY.size());
}

TEST_F(FwuGrace, HangUpInTheGraceEndsItAtOnce) {
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    head_before_deadline(f.substr(0, 4));
    fake::device_hangs_up(2000 + 20);
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), deadline() + 20);
}

TEST_F(FwuFrames, DeadlineIsFixedAtEntryNotRenewedByNoise) {
    const std::uint64_t start_ms = fake::now_ms();
    // Noise keeps arriving; each read must wait only for what is left of the one deadline.
    for (std::uint64_t t = 100; t < 1000; t += 100) {
        fake::device_sends_at(start_ms + t, "\x11");
    }
    EXPECT_FALSE(recv(1000));
    EXPECT_EQ(fake::now_ms(), start_ms + 1000);
}

TEST_F(FwuFrames, BadCrcThenSilenceFailsAtTheDeadlineLeavingTypeAndLength) {
    const std::uint64_t start_ms = fake::now_ms();
    fake::device_sends(corrupt_crc(device_frame(FWU_RSP_ACK, "1234")), 10);
    EXPECT_FALSE(recv(2000));
    EXPECT_EQ(fake::now_ms(), start_ms + 2000);
    EXPECT_EQ(type, 0xA5);
    EXPECT_EQ(len, 0xBEEF);
}

TEST_F(FwuFrames, IncompleteFrameIsLostAfterItsGraceAndItsRestHuntedNextTime) {
    const std::uint64_t start_ms = fake::now_ms();
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    // 7 bytes left at the deadline: their grace ends 101 ms after it, long before the rest.
    // The rest must not hold a start byte of its own for the hunt to reach READY.
    ASSERT_EQ(f.find(static_cast<char>(FWU_SOF_DEVICE), 5), bytes::npos);
    fake::device_sends(f.substr(0, 5), 10);
    fake::device_sends_at(start_ms + 1500, f.substr(5) + READY);
    EXPECT_FALSE(recv(1000));
    ASSERT_TRUE(recv(1000));
    EXPECT_EQ(type, FWU_RSP_READY);
}

TEST_F(FwuFrames, ReadFailureEndsTheWaitAtOnce) {
    const std::uint64_t start_ms = fake::now_ms();
    const bytes f = device_frame(FWU_RSP_ACK, "abcd");
    fake::device_sends(f.substr(0, 6), 100);
    fake::device_hangs_up(100);
    EXPECT_FALSE(recv(5000));
    EXPECT_EQ(fake::now_ms(), start_ms + 100);
    EXPECT_EQ(type, 0xA5);
    EXPECT_EQ(len, 0xBEEF);
}

TEST_F(FwuFrames, ZeroTimeOutFailsWithoutReading) {
    fake::device_sends(READY);
    const std::uint64_t start_ms = fake::now_ms();
    EXPECT_FALSE(recv(0));
    EXPECT_EQ(fake::unread(), READY.size());
    EXPECT_EQ(fake::now_ms(), start_ms);
}

// ---- the parser on its own, as the device uses it -------------------------------------------

class FwuParser : public ::testing::Test {
  protected:
    void SetUp() override { fwu_parser_init(parser, FWU_SOF_HOST, buffer.data()); }

    // Feeds every byte; returns the result of each.
    std::vector<fwu_feed_result> feed(const bytes& stream) {
        std::vector<fwu_feed_result> results;
        for (char c : stream) {
            results.push_back(fwu_parser_feed(parser, static_cast<std::uint8_t>(c)));
        }
        return results;
    }

    static std::vector<fwu_feed_result> more_then(std::size_t n, fwu_feed_result last) {
        std::vector<fwu_feed_result> out(n - 1, fwu_feed_result::more);
        out.push_back(last);
        return out;
    }

    std::array<std::uint8_t, FWU_MAX_PAYLOAD> buffer{};
    fwu_parser parser{};
};

TEST_F(FwuParser, ReportsAHostFrameOnItsLastCrcByteOnly) {
    const bytes chunk = frame(FWU_SOF_HOST, FWU_CMD_CHUNK, FULL_PAYLOAD);
    EXPECT_EQ(feed(chunk), more_then(chunk.size(), fwu_feed_result::frame));
    EXPECT_EQ(parser.type, FWU_CMD_CHUNK);
    EXPECT_EQ(parser.len, FWU_MAX_PAYLOAD);
    EXPECT_EQ(bytes(reinterpret_cast<const char*>(buffer.data()), FWU_MAX_PAYLOAD), FULL_PAYLOAD);
    // And hunts again straight after.
    EXPECT_EQ(feed(ABORT_FRAME), more_then(ABORT_FRAME.size(), fwu_feed_result::frame));
    EXPECT_EQ(parser.type, FWU_CMD_ABORT);
    EXPECT_EQ(parser.len, 0);
}

TEST_F(FwuParser, IgnoresDeviceFramesWhenHuntingForHostFrames) {
    const bytes stream = READY + device_frame(FWU_RSP_DONE, "") + ABORT_FRAME;
    EXPECT_EQ(feed(stream), more_then(stream.size(), fwu_feed_result::frame));
    EXPECT_EQ(parser.type, FWU_CMD_ABORT);
}

TEST_F(FwuParser, DropsAnOversizeLengthAtItsHighByte) {
    EXPECT_EQ(feed(hex({0xF1, 0x01, 0x05, 0x10})), more_then(4, fwu_feed_result::dropped));
    // The byte after the length is hunted, so a frame can start right there.
    EXPECT_EQ(feed(ABORT_FRAME), more_then(ABORT_FRAME.size(), fwu_feed_result::frame));
}

TEST_F(FwuParser, DropsABadCrcAtItsFourthByteAndResumesAfterIt) {
    const bytes bad = corrupt_crc(frame(FWU_SOF_HOST, FWU_CMD_FINALIZE, pattern(13)));
    EXPECT_EQ(feed(bad), more_then(bad.size(), fwu_feed_result::dropped));
    EXPECT_EQ(feed(ABORT_FRAME), more_then(ABORT_FRAME.size(), fwu_feed_result::frame));
}

TEST_F(FwuParser, EncoderOutputRoundTripsForEveryStartByte) {
    for (std::uint8_t sof : {FWU_SOF_HOST, FWU_SOF_DEVICE}) {
        SCOPED_TRACE(static_cast<int>(sof));
        fwu_parser_init(parser, sof, buffer.data());
        const bytes data = pattern(777, sof);
        std::array<std::uint8_t, FWU_MAX_FRAME> out{};
        const std::size_t n =
            fwu_frame_encode(sof, 0x42, reinterpret_cast<const std::uint8_t*>(data.data()),
                             static_cast<std::uint16_t>(data.size()), out.data());
        ASSERT_EQ(n, data.size() + FWU_FRAME_OVERHEAD);
        EXPECT_EQ(feed(bytes(reinterpret_cast<const char*>(out.data()), n)),
                  more_then(n, fwu_feed_result::frame));
        EXPECT_EQ(parser.type, 0x42);
        EXPECT_EQ(bytes(reinterpret_cast<const char*>(buffer.data()), parser.len), data);
    }
}

} // namespace
