// The connected controller's "fwupdate peers" listing: the parser fed bytes directly (line
// assembly, the first line and the END marker, word rules, capacity), and the query over the fake
// port (the command, reading up to END and no further, the deadline, the three ways it fails).

#include "peer-query.h"

#include "fake-device.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using peer_list = std::vector<std::pair<std::string, std::string>>;

struct query_result {
    int count;
    peer_list peers;
    std::string err;
};

class PeerQuery : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }

    // The device answers the command with `listing`, `delay_ms` after it was written.
    static void device_lists(std::string listing, std::uint64_t delay_ms = 0) {
        fake::on_write([listing = std::move(listing), delay_ms](std::string_view) {
            fake::device_sends(listing, delay_ms);
        });
    }

    static query_result query(int capacity = 32) {
        peer table[40];
        for (auto& p : table) {
            p.serial[0] = '?';
            p.serial[1] = '\0';
            p.type[0] = '?';
            p.type[1] = '\0';
        }
        ::testing::internal::CaptureStderr();
        const int count = query_peers(fake::port(), table, capacity);
        query_result r{count, {}, ::testing::internal::GetCapturedStderr()};
        for (int i = 0; i < count; ++i) {
            r.peers.emplace_back(table[i].serial, table[i].type);
        }
        return r;
    }
};

TEST_F(PeerQuery, SendsTheCommandAsOneCarriageReturnTerminatedLine) {
    device_lists("x\nEND\n");
    query();
    ASSERT_EQ(fake::writes().size(), 1u);
    EXPECT_EQ(fake::writes()[0], "fwupdate peers\r");
}

struct listing_case {
    const char* name;
    std::string listing;
    int capacity;
    int count;
    peer_list peers;
};

// Keeps test listings readable: the case's name instead of a dump of its bytes.
void PrintTo(const listing_case& c, std::ostream* os) {
    *os << c.name;
}

// The records a whole listing fills, fed to the parser byte by byte: -1 when it never ends.
std::pair<int, peer_list> parse_listing(const std::string& listing, int capacity) {
    peer table[40];
    peer_listing_parser parser;
    peer_listing_init(parser, table, capacity);
    for (const char byte : listing) {
        if (peer_listing_feed(parser, byte) == peer_listing_result::end) {
            peer_list filled;
            for (int i = 0; i < parser.filled; ++i) {
                filled.emplace_back(table[i].serial, table[i].type);
            }
            return {parser.filled, filled};
        }
    }
    return {-1, {}};
}

class PeerListing : public ::testing::TestWithParam<listing_case> {};

TEST_P(PeerListing, FillsTheRecordsInListingOrder) {
    const auto& c = GetParam();
    const auto [count, peers] = parse_listing(c.listing, c.capacity);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(peers, c.peers);
}

const peer_list TWO = {{"K100234", "controller"}, {"R55", "reader"}};

INSTANTIATE_TEST_SUITE_P(
    Listings, PeerListing,
    ::testing::Values(
        listing_case{"CrLf", "fwupdate peers\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", 32, 2,
                     TWO},
        listing_case{"Lf", "fwupdate peers\nK100234 controller\nR55 reader\nEND\n", 32, 2, TWO},
        listing_case{"Empty", "peers:\r\nEND\r\n", 32, 0, {}},
        listing_case{"FirstLineEndIsNotTheMarker",
                     "END\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", 32, 2, TWO},
        listing_case{"EndWithTrailingBlankIsSkipped",
                     "x\r\nK100234 controller\r\nEND \r\nR55 reader\r\nEND\r\n", 32, 2, TWO},
        listing_case{"LowerCaseEndIsSkipped", "x\nend\nK100234 controller\nR55 reader\nEND\n", 32,
                     2, TWO},
        listing_case{"LeadingAndMixedWhiteSpace",
                     "x\n \t K100234\t\v\fcontroller  \nR55 reader\nEND\n", 32, 2, TWO},
        listing_case{"ThirdWordIgnored", "x\nK100234 controller extra words\nR55 reader\nEND\n", 32,
                     2, TWO},
        listing_case{"OneWordAndBlankLinesSkipped",
                     "x\n\nK100234\n   \nK100234 controller\nR55 reader\nEND\n", 32, 2, TWO},
        listing_case{"BareCrWipesTheLineBeforeIt",
                     "x\r\njunk junk\rK100234 controller\r\nR55 reader\r\nEND\r\n", 32, 2, TWO},
        listing_case{"TwoCrsThenLfCompleteAnEmptyLine",
                     "x\r\nA1 junk\r\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", 32, 2, TWO},
        listing_case{"FifteenCharacterWordsKept",
                     "x\nABCDEFGHIJKLMNO reader-and-more\nEND\n",
                     32,
                     1,
                     {{"ABCDEFGHIJKLMNO", "reader-and-more"}}},
        // A cut serial number could name another device; such lines are not used at all.
        listing_case{"SixteenCharacterSerialSkipped",
                     "x\nABCDEFGHIJKLMNOP controller\nR55 reader\nEND\n",
                     32,
                     1,
                     {{"R55", "reader"}}},
        listing_case{"SeventeenCharacterSerialNotSplit",
                     "x\nK10023400000000XY\nK100234000000000XY ctl\nR55 reader\nEND\n",
                     32,
                     1,
                     {{"R55", "reader"}}},
        listing_case{"SixteenCharacterTypeSkipped",
                     "x\nK100234 controllerABCDEFG\nR55 reader\nEND\n",
                     32,
                     1,
                     {{"R55", "reader"}}},
        listing_case{"LongLineIsParsedFromItsFirst63Characters",
                     "x\nK100234" + std::string(40, ' ') + "controller " + std::string(30, 'z') +
                         "\nEND\n",
                     32,
                     1,
                     {{"K100234", "controller"}}},
        listing_case{"SecondWordBeyond63CharactersIsLost",
                     "x\nK100234" + std::string(56, ' ') + "controller\nR55 reader\nEND\n",
                     32,
                     1,
                     {{"R55", "reader"}}},
        // "readers" cut to "reader" would turn a controller into a reader.
        listing_case{"TypeCutByThe63CharacterLimitIsSkipped",
                     "x\nK1" + std::string(55, ' ') + "readers\nR55 reader\nEND\n",
                     32,
                     1,
                     {{"R55", "reader"}}},
        listing_case{"TypeEndingExactlyAtThe63CharacterLimitIsKept",
                     "x\nK1" + std::string(55, ' ') + "reader  more\nEND\n",
                     32,
                     1,
                     {{"K1", "reader"}}},
        listing_case{"BareCrForgetsAnEarlierOverflow",
                     "x\nK1" + std::string(55, ' ') + "readers\rK2 reader\nEND\n",
                     32,
                     1,
                     {{"K2", "reader"}}},
        listing_case{"MoreLinesThanTheCapacity",
                     "x\nA1 t\nA2 t\nA3 t\nA4 t\nEND\n",
                     2,
                     2,
                     {{"A1", "t"}, {"A2", "t"}}},
        listing_case{"CapacityZero", "x\nA1 t\nEND\n", 0, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PeerListingEnd, LaterBytesChangeNothing) {
    peer table[2];
    peer_listing_parser parser;
    peer_listing_init(parser, table, 2);
    for (const char byte : std::string("x\nA1 t\nEND\n")) {
        peer_listing_feed(parser, byte);
    }
    for (const char byte : std::string("A2 t\nEND\n")) {
        EXPECT_EQ(peer_listing_feed(parser, byte), peer_listing_result::end);
    }
    EXPECT_EQ(parser.filled, 1);
}

TEST_F(PeerQuery, FillsTheRecordsFromTheListingOnThePort) {
    device_lists("fwupdate peers\r\nK100234 controller\r\nR55 reader\r\nEND\r\n");
    const auto r = query();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.peers, TWO);
}

TEST_F(PeerQuery, ReadsNothingAfterTheEndLine) {
    device_lists("x\nA1 t\nEND\nA2 t\n");
    EXPECT_EQ(query().count, 1);
    EXPECT_EQ(fake::unread(), 5u);
}

TEST_F(PeerQuery, LinesBeyondTheCapacityAreStillReadUpToTheEnd) {
    device_lists("x\nA1 t\nA2 t\nEND\n");
    EXPECT_EQ(query(1).count, 1);
    EXPECT_EQ(fake::unread(), 0u);
}

TEST_F(PeerQuery, EndLineWhoseCarriageReturnIsFollowedByOtherTextIsNeverTheMarker) {
    device_lists("x\r\nA1 t\r\nEND\rA2 t\r\n");
    const std::uint64_t start = fake::now_ms();
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.err, "ERROR: timed out waiting for 'fwupdate peers' to finish\n");
    EXPECT_GE(fake::now_ms() - start, 3000u);
}

TEST_F(PeerQuery, SilentDeviceTimesOutBetweenThreeAndThreeAndAHalfSeconds) {
    device_lists("x\r\nA1 t\r\n");
    const std::uint64_t start = fake::now_ms();
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.err, "ERROR: timed out waiting for 'fwupdate peers' to finish\n");
    const std::uint64_t elapsed = fake::now_ms() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LE(elapsed, 3500u);
}

TEST_F(PeerQuery, DeadlineCountsFromTheCommandNotFromTheLastByte) {
    // A steady trickle of bytes never moves the deadline.
    fake::on_write([](std::string_view) {
        fake::device_sends("x\n");
        for (int i = 1; i <= 40; ++i) {
            fake::device_sends("A1 t\n", static_cast<std::uint64_t>(i) * 100);
        }
        fake::device_sends("END\n", 4100);
    });
    const std::uint64_t start = fake::now_ms();
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_LE(fake::now_ms() - start, 3500u);
}

TEST_F(PeerQuery, EndArrivingJustBeforeTheDeadlineIsAccepted) {
    device_lists("x\nA1 t\nEND\n", 2999);
    const auto r = query();
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(PeerQuery, ReadFailureIsReported) {
    fake::on_write([](std::string_view) {
        fake::device_sends("x\r\nA1 t\r\n");
        fake::device_hangs_up(10);
    });
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.err, "ERROR: read failed while querying peers\n");
}

TEST_F(PeerQuery, CommandThatCannotBeWrittenIsReported) {
    fake::script_write_results({5});
    const std::uint64_t start = fake::now_ms();
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.err, "ERROR: failed to send 'fwupdate peers'\n");
    EXPECT_EQ(fake::now_ms(), start) << "no wait after a failed command";
}

} // namespace
