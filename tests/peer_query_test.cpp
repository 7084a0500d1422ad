// The connected controller's "fwupdate peers" listing: the parser fed bytes directly (line
// assembly, the first line and the END marker, word rules, the bounds and the lines it refuses),
// and the query over the fake port (the command, reading up to END and no further, the deadline,
// the ways it fails).

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

    static query_result query() {
        std::vector<peer> table = {{"?", "?"}};
        ::testing::internal::CaptureStderr();
        const int count = query_peers(fake::port(), table);
        query_result r{count, {}, ::testing::internal::GetCapturedStderr()};
        if (count >= 0) {
            EXPECT_EQ(table.size(), static_cast<std::size_t>(count));
            for (const peer& p : table) {
                r.peers.emplace_back(p.serial, p.type);
            }
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
    peer_list peers;
    std::string error; // the ERROR line when the listing fails, else empty
};

// Keeps test listings readable: the case's name instead of a dump of its bytes.
void PrintTo(const listing_case& c, std::ostream* os) {
    *os << c.name;
}

struct parsed_listing {
    peer_listing_result result; // `more` when the listing never ended
    peer_list peers;
    std::string error;
};

// A whole listing fed to the parser byte by byte, up to the byte that ends or fails it.
parsed_listing parse_listing(const std::string& listing) {
    peer_listing_parser parser;
    peer_listing_init(parser);
    parsed_listing out{peer_listing_result::more, {}, {}};
    for (const char byte : listing) {
        out.result = peer_listing_feed(parser, byte);
        if (out.result != peer_listing_result::more) {
            break;
        }
    }
    for (const peer& p : parser.peers) {
        out.peers.emplace_back(p.serial, p.type);
    }
    out.error = parser.error;
    return out;
}

class PeerListing : public ::testing::TestWithParam<listing_case> {};

TEST_P(PeerListing, KeepsEveryPeerOrFailsWithOneErrorLine) {
    const auto& c = GetParam();
    const parsed_listing r = parse_listing(c.listing);
    if (c.error.empty()) {
        EXPECT_EQ(r.result, peer_listing_result::end);
        EXPECT_EQ(r.peers, c.peers);
    } else {
        EXPECT_EQ(r.result, peer_listing_result::failed);
    }
    EXPECT_EQ(r.error, c.error);
}

const peer_list TWO = {{"K100234", "controller"}, {"R55", "reader"}};

std::string line_too_long(const std::string& quoted) {
    return "ERROR: peer listing line is longer than 4096 characters, so kvup cannot tell which "
           "device it names: '" +
           quoted + "'\n";
}

INSTANTIATE_TEST_SUITE_P(
    Listings, PeerListing,
    ::testing::Values(
        listing_case{"CrLf", "fwupdate peers\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", TWO,
                     ""},
        listing_case{"Lf", "fwupdate peers\nK100234 controller\nR55 reader\nEND\n", TWO, ""},
        listing_case{"Empty", "peers:\r\nEND\r\n", {}, ""},
        listing_case{"FirstLineEndIsNotTheMarker",
                     "END\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", TWO, ""},
        // The first line is never examined, so however long it runs it is neither kept nor
        // refused.
        listing_case{"LongFirstLinePassedOver",
                     std::string(10000, 'p') + "\nR55 reader\nEND\n",
                     {{"R55", "reader"}},
                     ""},
        listing_case{"LeadingAndMixedWhiteSpace",
                     "x\n \t K100234\t\v\fcontroller  \nR55 reader\nEND\n", TWO, ""},
        listing_case{"ThirdWordIgnored", "x\nK100234 controller extra words\nR55 reader\nEND\n",
                     TWO, ""},
        listing_case{"BlankLinesSkipped",
                     "x\n\n   \n\t\v\f\r\nK100234 controller\nR55 reader\nEND\n", TWO, ""},
        listing_case{"BareCrWipesTheLineBeforeIt",
                     "x\r\njunk\rK100234 controller\r\nR55 reader\r\nEND\r\n", TWO, ""},
        listing_case{"TwoCrsThenLfCompleteAnEmptyLine",
                     "x\r\nA1\r\r\nK100234 controller\r\nR55 reader\r\nEND\r\n", TWO, ""},
        // A cut serial number could name another device: every word is kept whole.
        listing_case{"LongWordsKeptWhole",
                     "x\nABCDEFGHIJKLMNOP controller\nK10023400000000XY ctl\nR55 "
                     "controllerABCDEFG\n" +
                         std::string(200, 'S') + " reader\nEND\n",
                     {{"ABCDEFGHIJKLMNOP", "controller"},
                      {"K10023400000000XY", "ctl"},
                      {"R55", "controllerABCDEFG"},
                      {std::string(200, 'S'), "reader"}},
                     ""},
        // "readers" cut to "reader" would turn a controller into a reader.
        listing_case{"TypeFarIntoALongLineKeptWhole",
                     "x\nK1" + std::string(55, ' ') + "readers\nK2" + std::string(4000, '\t') +
                         "reader\nEND\n",
                     {{"K1", "readers"}, {"K2", "reader"}},
                     ""},
        listing_case{"LineOfTheLongestLengthKept",
                     "x\nK1 " + std::string(PEER_LINE_MAX - 3, 't') + "\nEND\n",
                     {{"K1", std::string(PEER_LINE_MAX - 3, 't')}},
                     ""},
        listing_case{"LongerLineFails",
                     "x\nR55 reader\nK1 " + std::string(PEER_LINE_MAX - 2, 't') + "\nEND\n",
                     {{"R55", "reader"}},
                     line_too_long("K1 " + std::string(77, 't') + "...")},
        listing_case{"BareCrForgetsAnEarlierOverflow",
                     "x\nK1 " + std::string(PEER_LINE_MAX, 't') + "\rK2 reader\nEND\n",
                     {{"K2", "reader"}},
                     ""},
        // A peer line is a serial number and a type: a one-word line (a header after the
        // echo, an echo) names no peer, and the peers after it are still listed.
        listing_case{"OneWordLinesSkipped",
                     "fwupdate peers\r\npeers:\r\nK100234 controller\r\n  R99 \r\nR55 "
                     "reader\r\nEND\r\n",
                     TWO, ""},
        listing_case{"EndWithTrailingBlankOrInLowerCaseIsNotTheMarker",
                     "x\r\nK100234 controller\r\nEND \r\nend\r\nR55 reader\r\nEND\r\n", TWO, ""},
        listing_case{
            "QuotedLineIsEscaped",
            "x\n\x1b[2J\x1b]0;pwned\x07\x9b " + std::string(PEER_LINE_MAX, 't') + "\nEND\n",
            {},
            line_too_long("\\x1b[2J\\x1b]0;pwned\\x07\\x9b " + std::string(52, 't') + "...")}),
    [](const auto& info) { return std::string(info.param.name); });

// Every peer up to the bound is kept; one more fails the whole listing rather than being cut.
TEST(PeerListingBound, KeepsTheMostPeersAndFailsOnOneMore) {
    std::string listing = "x\n";
    for (std::size_t i = 0; i < PEER_LISTING_MAX_PEERS; ++i) {
        listing += "KR-" + std::to_string(i) + " reader\n";
    }
    const parsed_listing full = parse_listing(listing + "END\n");
    EXPECT_EQ(full.result, peer_listing_result::end);
    ASSERT_EQ(full.peers.size(), PEER_LISTING_MAX_PEERS);
    EXPECT_EQ(full.peers.back().first, "KR-4095");

    const parsed_listing over = parse_listing(listing + "KR-x reader\nEND\n");
    EXPECT_EQ(over.result, peer_listing_result::failed);
    EXPECT_EQ(over.error, "ERROR: peer listing names more than 4096 peers, more than kvup keeps - "
                          "no device was updated\n");
}

TEST(PeerListingEnd, LaterBytesChangeNothing) {
    peer_listing_parser parser;
    peer_listing_init(parser);
    for (const char byte : std::string("x\nA1 t\nEND\n")) {
        peer_listing_feed(parser, byte);
    }
    for (const char byte : std::string("A2 t\nEND\nA3\n")) {
        EXPECT_EQ(peer_listing_feed(parser, byte), peer_listing_result::end);
    }
    EXPECT_EQ(parser.peers.size(), 1u);
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

TEST_F(PeerQuery, ListingThatCannotBeUsedFailsAtItsLineWithOneErrorLine) {
    device_lists("x\nA1 t\nA2 " + std::string(PEER_LINE_MAX, 't') + "\nA3 t\nEND\n");
    const auto r = query();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.err, line_too_long("A2 " + std::string(77, 't') + "..."));
    EXPECT_EQ(fake::unread(), 9u) << "nothing read past the line that failed";
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
