// The update session against a scripted device that parses every host frame and answers it:
// handshake, image choice, chunk transfer with its retry and NAK rules, finalize and abort.

#include "update-session.h"

#include "builders.h"
#include "bundle.h"
#include "crc32.h"
#include "fake-device.h"
#include "fwupdate-protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::string;

bytes ready_frame(std::uint8_t bank, std::uint32_t max_len, std::uint16_t variant) {
    bytes p(1, static_cast<char>(bank));
    put_le(p, max_len, 4);
    put_le(p, variant, 2);
    return device_frame(FWU_RSP_READY, p);
}

bytes ack_frame(std::uint32_t index = 0) {
    bytes p;
    put_le(p, index, 4);
    return device_frame(FWU_RSP_ACK, p);
}

bytes nak_frame(std::uint8_t reason, std::uint32_t expected) {
    bytes p(1, static_cast<char>(reason));
    put_le(p, expected, 4);
    return device_frame(FWU_RSP_NAK, p);
}

struct host_frame {
    std::uint8_t type;
    bytes payload;
    std::uint64_t at_ms;
    std::uint32_t chunk_index() const { return le32_at(payload, 0); }
    bytes chunk_data() const { return payload.substr(4); }
};

struct reply {
    bytes data; // nothing when empty
    std::uint64_t delay_ms = 0;
};

constexpr std::uint16_t VARIANT = 7;
constexpr std::uint8_t BANK_B = 1;
constexpr std::uint32_t TAG = 0xA1B2C3D4;

// A device that answers the start command, every chunk, the finalize and the abort as scripted,
// and records every frame the host sent. Chunks are acknowledged by default.
class scripted_device {
  public:
    reply ready{ready_frame(BANK_B, 1u << 20, VARIANT)};
    // Called with the chunk frame and how many chunk frames came before it.
    std::function<reply(const host_frame&, std::size_t)> on_chunk =
        [](const host_frame& f, std::size_t) { return reply{ack_frame(f.chunk_index())}; };
    reply on_finalize{device_frame(FWU_RSP_DONE, "")};
    reply on_abort{device_frame(FWU_RSP_DONE, "")};

    std::vector<std::string> lines;
    std::vector<host_frame> frames;

    scripted_device() {
        fake::on_write([this](std::string_view w) { handle(bytes(w)); });
    }

    std::vector<host_frame> of_type(std::uint8_t type) const {
        std::vector<host_frame> out;
        for (const auto& f : frames) {
            if (f.type == type) {
                out.push_back(f);
            }
        }
        return out;
    }

  private:
    std::size_t chunks_seen_ = 0;

    static void send(const reply& r) {
        if (!r.data.empty()) {
            fake::device_sends(r.data, r.delay_ms);
        }
    }

    void handle(const bytes& w) {
        if (w.empty() || static_cast<std::uint8_t>(w[0]) != FWU_SOF_HOST) {
            lines.push_back(w);
            send(ready);
            return;
        }
        if (w.size() < FWU_FRAME_OVERHEAD) {
            return; // a cut-off frame: the device never sees it whole
        }
        const std::size_t len = static_cast<std::uint8_t>(w[2]) |
                                (static_cast<std::size_t>(static_cast<std::uint8_t>(w[3])) << 8);
        if (w.size() != len + FWU_FRAME_OVERHEAD) {
            return;
        }
        ASSERT_EQ(le32_at(w, 4 + len), crc_of(w.substr(1, len + 3))) << "bad host frame CRC";
        host_frame f{static_cast<std::uint8_t>(w[1]), w.substr(4, len), fake::now_ms()};
        frames.push_back(f);
        switch (f.type) {
        case FWU_CMD_CHUNK:
            ASSERT_EQ(len, FWU_MAX_PAYLOAD);
            send(on_chunk(f, chunks_seen_++));
            break;
        case FWU_CMD_FINALIZE:
            send(on_finalize);
            break;
        case FWU_CMD_ABORT:
            send(on_abort);
            break;
        default:
            FAIL() << "unknown host frame type " << int(f.type);
        }
    }
};

bytes pattern_image(std::size_t len) {
    bytes image(len, '\0');
    for (std::size_t i = 0; i < len; ++i) {
        // Differs between chunks as well as within one, so a chunk sent from the wrong offset
        // shows.
        image[i] = static_cast<char>((i * 7 + i / 4096 * 13 + 1) & 0xFF);
    }
    return image;
}

// The chunk data the device must receive for `index` of `image`.
bytes expected_chunk(const bytes& image, std::uint64_t index) {
    const std::uint64_t offset = index * FWU_CHUNK_SIZE;
    bytes data;
    if (offset < image.size()) {
        data = image.substr(offset, FWU_CHUNK_SIZE);
    }
    data.resize(FWU_CHUNK_SIZE, static_cast<char>(0xFF));
    return data;
}

struct session_result {
    int status;
    std::string out;
    std::string err;
};

// Resets the fakes before the scripted device installs its responder, and after the test.
struct fresh_fakes {
    fresh_fakes() { fake::reset(); }
    ~fresh_fakes() { fake::reset(); }
    fresh_fakes(const fresh_fakes&) = delete;
    fresh_fakes& operator=(const fresh_fakes&) = delete;
};

class UpdateSession : public ::testing::Test {
  protected:
    void use_image(bytes image, std::uint16_t variant = VARIANT, char bank = 'B') {
        image_ = std::move(image);
        entries_[0] = {variant, bank, TAG, static_cast<std::uint32_t>(image_.size()),
                       reinterpret_cast<const std::uint8_t*>(image_.data())};
        // A decoy for the other bank, so a wrong lookup is visible.
        decoy_ = bytes(64, 'x');
        entries_[1] = {variant, bank == 'A' ? 'B' : 'A', 1, static_cast<std::uint32_t>(64),
                       reinterpret_cast<const std::uint8_t*>(decoy_.data())};
        bundle_ = {nullptr, 2, entries_};
    }

    session_result run(const char* command = "fwupdate start") {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = run_update_session(fake::port(), command, &bundle_);
        std::string out = ::testing::internal::GetCapturedStdout();
        std::string err = ::testing::internal::GetCapturedStderr();
        return {status, out, err};
    }

    std::vector<std::uint32_t> sent_indices() const {
        std::vector<std::uint32_t> out;
        for (const auto& f : device_.of_type(FWU_CMD_CHUNK)) {
            out.push_back(f.chunk_index());
        }
        return out;
    }

    fresh_fakes fresh_;
    bytes image_;
    bytes decoy_;
    bundle_entry entries_[2]{};
    bundle bundle_{};
    scripted_device device_;
};

std::string warning_lines(const char* format, unsigned index, unsigned from, unsigned to) {
    std::string out;
    for (unsigned attempt = from; attempt <= to; ++attempt) {
        char line[128];
        std::snprintf(line, sizeof line, format, index, attempt);
        out += line;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// A whole successful update

TEST_F(UpdateSession, SuccessfulUpdatePrintsEveryLineAndFinalizesWithTagLengthCrcAndBank) {
    use_image(pattern_image(5000));
    const auto r = run();

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Device is ready - variant 7, target bank B (max image size 1048576 bytes)\n"
                     "Sending variant 7 bank B (5000 bytes, 2 chunks)...\n"
                     "\r  chunk 1/2\r  chunk 2/2\n"
                     "Finalizing...\n"
                     "Update complete - target is rebooting into the new firmware.\n");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(device_.lines.size(), 1u);
    EXPECT_EQ(device_.lines[0], "fwupdate start\r");

    const auto finals = device_.of_type(FWU_CMD_FINALIZE);
    ASSERT_EQ(finals.size(), 1u);
    const bytes& p = finals[0].payload;
    ASSERT_EQ(p.size(), FWU_FINALIZE_LEN);
    EXPECT_EQ(le32_at(p, 0), TAG);
    EXPECT_EQ(le32_at(p, 4), 5000u);
    EXPECT_EQ(le32_at(p, 8), crc_of(image_));
    EXPECT_EQ(static_cast<std::uint8_t>(p[12]), BANK_B);
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_FINALIZE) << "nothing may follow the finalize";
}

struct chunking_case {
    std::size_t image_len;
    std::uint32_t chunk_count;
};
void PrintTo(const chunking_case& c, std::ostream* os) {
    *os << "image of " << c.image_len << " bytes";
}

class UpdateSessionChunking : public UpdateSession,
                              public ::testing::WithParamInterface<chunking_case> {};

TEST_P(UpdateSessionChunking, SendsEveryChunkWithImageBytesThenFillAndFinalizesTheTrueLength) {
    const auto c = GetParam();
    use_image(pattern_image(c.image_len));
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.err;

    const auto chunks = device_.of_type(FWU_CMD_CHUNK);
    ASSERT_EQ(chunks.size(), c.chunk_count);
    for (std::uint32_t i = 0; i < c.chunk_count; ++i) {
        EXPECT_EQ(chunks[i].chunk_index(), i);
        EXPECT_EQ(chunks[i].chunk_data(), expected_chunk(image_, i)) << "chunk " << i;
    }
    const bytes fin = device_.of_type(FWU_CMD_FINALIZE).at(0).payload;
    EXPECT_EQ(le32_at(fin, 4), c.image_len);
    EXPECT_EQ(le32_at(fin, 8), crc_of(image_));

    char sending[96];
    std::snprintf(sending, sizeof sending, "Sending variant 7 bank B (%u bytes, %u chunks)...\n",
                  static_cast<unsigned>(c.image_len), static_cast<unsigned>(c.chunk_count));
    EXPECT_NE(r.out.find(sending), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(ImageLengths, UpdateSessionChunking,
                         ::testing::Values(chunking_case{1, 1}, chunking_case{4095, 1},
                                           chunking_case{4096, 1}, chunking_case{4097, 2},
                                           chunking_case{3 * 4096, 3},
                                           chunking_case{3 * 4096 + 100, 4}));

TEST_F(UpdateSession, EmptyImageSendsNoChunkAndFinalizesLengthZeroCrcZero) {
    use_image("");
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Device is ready - variant 7, target bank B (max image size 1048576 bytes)\n"
                     "Sending variant 7 bank B (0 bytes, 0 chunks)...\n"
                     "\n"
                     "Finalizing...\n"
                     "Update complete - target is rebooting into the new firmware.\n");
    EXPECT_TRUE(device_.of_type(FWU_CMD_CHUNK).empty());
    const bytes fin = device_.of_type(FWU_CMD_FINALIZE).at(0).payload;
    EXPECT_EQ(le32_at(fin, 4), 0u);
    EXPECT_EQ(le32_at(fin, 8), 0u);
}

TEST_F(UpdateSession, SecondChunkOfA4097ByteImageIsOneByteAnd4095FillBytes) {
    use_image(pattern_image(4097));
    ASSERT_EQ(run().status, 0);
    const bytes data = device_.of_type(FWU_CMD_CHUNK).at(1).chunk_data();
    EXPECT_EQ(data[0], image_[4096]);
    EXPECT_EQ(data.substr(1), bytes(4095, static_cast<char>(0xFF)));
}

TEST_F(UpdateSession, BankAImageIsChosenForBankIndexZero) {
    use_image(pattern_image(10), VARIANT, 'A');
    device_.ready = {ready_frame(0, 100, VARIANT)};
    const auto r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(device_.of_type(FWU_CMD_CHUNK).at(0).chunk_data(), expected_chunk(image_, 0));
    EXPECT_EQ(device_.of_type(FWU_CMD_FINALIZE).at(0).payload[12], '\0');
}

// ---------------------------------------------------------------------------------------------
// Image choice and size limit

TEST_F(UpdateSession, ImageExactlyAtTheBankLimitIsSent) {
    use_image(pattern_image(5000));
    device_.ready = {ready_frame(BANK_B, 5000, VARIANT)};
    EXPECT_EQ(run().status, 0);
}

TEST_F(UpdateSession, ImageOneByteOverTheBankLimitIsRefusedAndAborted) {
    use_image(pattern_image(5001));
    device_.ready = {ready_frame(BANK_B, 5000, VARIANT)};
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Device is ready - variant 7, target bank B (max image size 5000 bytes)\n");
    EXPECT_EQ(r.err, "ERROR: bundle image for variant 7 bank B is 5001 bytes, exceeds this bank's "
                     "5000 byte limit\n");
    ASSERT_EQ(device_.frames.size(), 1u);
    EXPECT_EQ(device_.frames[0].type, FWU_CMD_ABORT);
    EXPECT_TRUE(device_.frames[0].payload.empty());
}

struct missing_image_case {
    const char* name;
    std::uint8_t bank;
    std::uint16_t variant;
    const char* ready_line;
    const char* error;
};
void PrintTo(const missing_image_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateSessionMissingImage : public UpdateSession,
                                  public ::testing::WithParamInterface<missing_image_case> {};

TEST_P(UpdateSessionMissingImage, ReportsTheMissingImageAndAborts) {
    const auto c = GetParam();
    use_image(pattern_image(100));
    device_.ready = {ready_frame(c.bank, 9999, c.variant)};
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.ready_line);
    EXPECT_EQ(r.err, c.error);
    ASSERT_EQ(device_.frames.size(), 1u);
    EXPECT_EQ(device_.frames[0].type, FWU_CMD_ABORT);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateSessionMissingImage,
    ::testing::Values(
        missing_image_case{"OtherVariant", BANK_B, 8,
                           "Device is ready - variant 8, target bank B (max image size 9999 "
                           "bytes)\n",
                           "ERROR: bundle has no image for variant 8 bank B - is it up to date?\n"},
        missing_image_case{"BankIndexTwo", 2, VARIANT,
                           "Device is ready - variant 7, target bank C (max image size 9999 "
                           "bytes)\n",
                           "ERROR: bundle has no image for variant 7 bank C - is it up to date?\n"},
        // The letter is 'A' plus whatever index the device sent: shown escaped, never as a
        // control byte for the terminal.
        missing_image_case{
            "BankIndexGivingEscape", 0xDA, VARIANT,
            "Device is ready - variant 7, target bank \\x1b (max image size 9999 bytes)\n",
            "ERROR: bundle has no image for variant 7 bank \\x1b - is it up to date?\n"},
        missing_image_case{
            "BankIndexGivingNul", 0xBF, VARIANT,
            "Device is ready - variant 7, target bank \\x00 (max image size 9999 bytes)\n",
            "ERROR: bundle has no image for variant 7 bank \\x00 - is it up to date?\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Handshake

struct bad_ready_case {
    const char* name;
    bytes answer;
    std::uint64_t delay_ms;
};
void PrintTo(const bad_ready_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateSessionBadReady : public UpdateSession,
                              public ::testing::WithParamInterface<bad_ready_case> {};

TEST_P(UpdateSessionBadReady, EndsWithoutAbortAndWithoutTheReadyLine) {
    const auto c = GetParam();
    use_image(pattern_image(100));
    device_.ready = {c.answer, c.delay_ms};
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ERROR: device did not respond to 'fwupdate start' - is it in installer mode?\n");
    EXPECT_TRUE(device_.frames.empty()) << "no frame, abort included, may follow a bad READY";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UpdateSessionBadReady,
    ::testing::Values(
        bad_ready_case{"Silence", "", 0},
        bad_ready_case{"ReadySixBytes", device_frame(FWU_RSP_READY, bytes(6, '\1')), 0},
        bad_ready_case{"ReadyEightBytes", device_frame(FWU_RSP_READY, bytes(8, '\1')), 0},
        bad_ready_case{"Nak", nak_frame(1, 0), 0}, bad_ready_case{"Ack", ack_frame(), 0},
        bad_ready_case{"ReadyAfter3000ms", ready_frame(BANK_B, 1000, VARIANT), 3001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSession, ReadyJustInsideTheHandshakeWaitIsAccepted) {
    use_image(pattern_image(100));
    device_.ready = {ready_frame(BANK_B, 1000, VARIANT), 2999};
    EXPECT_EQ(run().status, 0);
}

TEST_F(UpdateSession, StartCommandThatCannotBeWrittenFailsBeforeAnyFrame) {
    use_image(pattern_image(100));
    fake::script_write_results({-1});
    const auto r = run("fwupdate relay ABC");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: failed to send 'fwupdate relay ABC'\n");
    EXPECT_TRUE(device_.frames.empty());
}

// ---------------------------------------------------------------------------------------------
// Chunk attempts: NAKs, unexpected answers, time-outs and failed writes

TEST_F(UpdateSession, NakNamingAnEarlierChunkResendsFromThere) {
    use_image(pattern_image(3 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        return reply{n == 2 ? nak_frame(9, 1) : ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1, 2, 1, 2}));
    EXPECT_EQ(r.err, "WARNING: chunk 2 NAK'd (reason 9), device expects 1, retrying (1/5)\n");
    EXPECT_NE(r.out.find("\r  chunk 1/3\r  chunk 2/3\r  chunk 2/3\r  chunk 3/3\n"),
              std::string::npos)
        << r.out;
    const auto chunks = device_.of_type(FWU_CMD_CHUNK);
    EXPECT_EQ(chunks[3].chunk_data(), expected_chunk(image_, 1));
}

TEST_F(UpdateSession, NakNamingTheSameChunkResendsIt) {
    use_image(pattern_image(4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        return reply{n == 0 ? nak_frame(3, 0) : ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 0}));
    EXPECT_EQ(r.err, "WARNING: chunk 0 NAK'd (reason 3), device expects 0, retrying (1/5)\n");
}

TEST_F(UpdateSession, NakOnePastTheEndSendsAFillChunkAndEndsTheLoop) {
    use_image(pattern_image(4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        return reply{n == 0 ? nak_frame(1, 1) : ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(device_.of_type(FWU_CMD_CHUNK)[1].chunk_data(),
              bytes(FWU_CHUNK_SIZE, static_cast<char>(0xFF)));
    EXPECT_NE(r.out.find("(4096 bytes, 1 chunks)...\n\r  chunk 2/1\nFinalizing...\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(le32_at(device_.of_type(FWU_CMD_FINALIZE).at(0).payload, 4), 4096u);
}

// 0x00100001 × 4096 wraps to 4096 in 32 bits: a wrapped offset would send the image's second
// chunk under an index the device asked for far beyond the image.
TEST_F(UpdateSession, AbsurdNakIndexGetsFillBytesNeverWrappedImageBytes) {
    use_image(pattern_image(2 * 4096));
    constexpr std::uint32_t absurd = 0x00100001;
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        return reply{n == 0 ? nak_frame(2, absurd) : ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    const auto chunks = device_.of_type(FWU_CMD_CHUNK);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].chunk_index(), absurd);
    EXPECT_EQ(chunks[1].chunk_data(), bytes(FWU_CHUNK_SIZE, static_cast<char>(0xFF)));
    EXPECT_NE(chunks[1].chunk_data(), expected_chunk(image_, 1));
    EXPECT_EQ(r.err, "WARNING: chunk 0 NAK'd (reason 2), device expects 1048577, retrying (1/5)\n");
    EXPECT_NE(r.out.find("\r  chunk 1048578/2\n"), std::string::npos) << r.out;
}

struct unexpected_answer_case {
    const char* name;
    bytes answer;
    const char* warning;
};
void PrintTo(const unexpected_answer_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateSessionUnexpectedChunkAnswer
    : public UpdateSession,
      public ::testing::WithParamInterface<unexpected_answer_case> {};

TEST_P(UpdateSessionUnexpectedChunkAnswer, UsesUpAnAttemptAndResendsTheSameChunk) {
    const auto c = GetParam();
    use_image(pattern_image(4096));
    device_.on_chunk = [&c](const host_frame& f, std::size_t n) {
        return reply{n == 0 ? c.answer : ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.warning);
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UpdateSessionUnexpectedChunkAnswer,
    ::testing::Values(
        unexpected_answer_case{"AckOfThreeBytes", device_frame(FWU_RSP_ACK, "abc"),
                               "WARNING: unexpected response (type 0x82) to chunk 0, retrying "
                               "(1/5)\n"},
        unexpected_answer_case{"NakOfFourBytes", device_frame(FWU_RSP_NAK, "abcd"),
                               "WARNING: unexpected response (type 0x83) to chunk 0, retrying "
                               "(1/5)\n"},
        unexpected_answer_case{"Done", device_frame(FWU_RSP_DONE, ""),
                               "WARNING: unexpected response (type 0x84) to chunk 0, retrying "
                               "(1/5)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSession, LateAckToAnEarlierAttemptAnswersTheLaterOne) {
    use_image(pattern_image(2 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        if (n == 0) {
            return reply{ack_frame(0), 2500}; // after the 2000 ms wait has given up
        }
        if (n == 1) {
            return reply{};
        }
        return reply{ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: no response to chunk 0, retrying (1/5)\n");
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 0, 1}));
}

// A device that stores chunks in order and answers any other index, a repeat of the last one
// included, with a NAK naming the index it expects; the answer to chunk 0's first attempt is
// late by `late_ms`, or lost when `late_ms` is 0.
std::function<reply(const host_frame&, std::size_t)> in_order_device(std::uint64_t late_ms) {
    auto expected = std::make_shared<std::uint32_t>(0);
    return [expected, late_ms](const host_frame& f, std::size_t n) {
        if (f.chunk_index() != *expected) {
            return reply{nak_frame(1, *expected)};
        }
        ++*expected;
        if (n == 0) {
            return late_ms == 0 ? reply{} : reply{ack_frame(0), late_ms};
        }
        return reply{ack_frame(f.chunk_index())};
    };
}

TEST_F(UpdateSession, LateChunkAnswerAheadOfTheFinalizesOwnIsNotTakenForTheVerdict) {
    use_image(pattern_image(2 * 4096));
    device_.on_chunk = in_order_device(2500);
    // From the late ACK on, every answer is read one attempt late: the NAK to the repeat of the
    // last chunk comes before the DONE.
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: no response to chunk 0, retrying (1/5)\n"
                     "WARNING: chunk 1 NAK'd (reason 1), device expects 1, retrying (1/5)\n");
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 0, 1, 1}));
    EXPECT_NE(r.out.find("Update complete"), std::string::npos);
}

TEST_F(UpdateSession, NakToTheFinalizeAfterAChunkWaitGaveUpMayBeLateSoTheOutcomeIsUnknown) {
    use_image(pattern_image(2 * 4096));
    device_.on_chunk = in_order_device(0);
    device_.on_finalize = {nak_frame(200, 2)};
    const std::uint64_t start = fake::now_ms();
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "WARNING: no response to chunk 0, retrying (1/5)\n"
                     "WARNING: chunk 0 NAK'd (reason 1), device expects 1, retrying (2/5)\n"
                     "ERROR: no response to finalize - update state on the target is unknown, "
                     "retry with a fresh session\n");
    EXPECT_EQ(fake::now_ms() - start, 2000u + 10000u) << "one finalize wait in all";
}

TEST_F(UpdateSession, FiveTimeoutsGiveUpOnTheRightChunkAndAbort) {
    use_image(pattern_image(3 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t) {
        return f.chunk_index() == 1 ? reply{} : reply{ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, warning_lines("WARNING: no response to chunk %u, retrying (%u/5)\n", 1, 1, 5) +
                         "ERROR: giving up on chunk 1 after 5 attempts\n");
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_ABORT);
    EXPECT_TRUE(device_.of_type(FWU_CMD_FINALIZE).empty());
    EXPECT_EQ(r.out.find("\n", r.out.find("chunk 1/3")), std::string::npos)
        << "no newline after the progress of a failed transfer";
}

TEST_F(UpdateSession, NakOnTheFifthAttemptMovesTheIndexNamedWhenGivingUp) {
    use_image(pattern_image(4 * 4096));
    device_.on_chunk = [](const host_frame&, std::size_t n) {
        return n == 4 ? reply{nak_frame(4, 3)} : reply{};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, warning_lines("WARNING: no response to chunk %u, retrying (%u/5)\n", 0, 1, 4) +
                         "WARNING: chunk 0 NAK'd (reason 4), device expects 3, retrying (5/5)\n"
                         "ERROR: giving up on chunk 3 after 5 attempts\n");
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_ABORT);
}

TEST_F(UpdateSession, FiveFailedWritesGiveUpAndAbort) {
    use_image(pattern_image(100));
    // The start command goes through; the five chunk frames do not; the abort does.
    fake::script_write_results({1000, -1, -1, -1, -1, -1});
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              warning_lines("WARNING: write failed sending chunk %u, retrying (%u/5)\n", 0, 1, 5) +
                  "ERROR: giving up on chunk 0 after 5 attempts\n");
    ASSERT_EQ(device_.frames.size(), 1u);
    EXPECT_EQ(device_.frames[0].type, FWU_CMD_ABORT);
}

// ---------------------------------------------------------------------------------------------
// The session's bound on chunk frames: five per chunk of the image

// ACKs chunk `keep` and answers every later chunk with a NAK naming it, so the transfer never
// gets past it. Falls silent after 100 chunk frames, so a session without a bound of its own
// gives up on a chunk instead of running for ever.
std::function<reply(const host_frame&, std::size_t)> ping_pong_device(std::uint32_t keep) {
    return [keep](const host_frame& f, std::size_t n) {
        if (n >= 100) {
            return reply{};
        }
        return f.chunk_index() > keep ? reply{nak_frame(1, keep)} : reply{ack_frame(keep)};
    };
}

TEST_F(UpdateSession, DeviceThatKeepsSendingKvupBackIsGivenUpOnAfterFiveFramesPerChunk) {
    use_image(pattern_image(3 * 4096));
    device_.on_chunk = ping_pong_device(0);
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(sent_indices(),
              (std::vector<std::uint32_t>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
    std::string warnings;
    for (int i = 0; i < 7; ++i) {
        warnings += "WARNING: chunk 1 NAK'd (reason 1), device expects 0, retrying (1/5)\n";
    }
    EXPECT_EQ(r.err, warnings + "ERROR: device keeps asking for earlier chunks - giving up after "
                                "15 chunk frames for 3 chunks\n");
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_ABORT);
    EXPECT_TRUE(device_.of_type(FWU_CMD_FINALIZE).empty());
}

TEST_F(UpdateSession, FailedWritesCountTowardsTheBound) {
    use_image(pattern_image(2 * 4096));
    // The start command goes through, then four chunk frames fail to go out.
    fake::script_write_results({1000, -1, -1, -1, -1});
    device_.on_chunk = ping_pong_device(0);
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    // Five frames for chunk 0, then 1, 0, 1, 0, 1 by the device's NAKs: ten in all.
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1, 0, 1, 0, 1}));
    EXPECT_NE(r.err.find("ERROR: device keeps asking for earlier chunks - giving up after 10 chunk "
                         "frames for 2 chunks\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_ABORT);
}

// The most a device that never sends kvup back can take: every chunk on its fifth attempt, the
// attempts before it NAK'd for the same chunk. The last chunk frame is the bound's last one.
TEST_F(UpdateSession, DeviceThatNeverSendsKvupBackNeverMeetsTheBound) {
    use_image(pattern_image(3 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        return n % 5 == 4 ? reply{ack_frame(f.chunk_index())}
                          : reply{nak_frame(7, f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sent_indices().size(), 15u);
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Update complete"), std::string::npos);
}

// The last index there is: its ACK wraps the index to 0, which sends kvup back to the start.
TEST_F(UpdateSession, NakToTheLastIndexThereIsWrapsBackAndIsBoundToo) {
    use_image(pattern_image(2 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t n) {
        if (n >= 100) {
            return reply{};
        }
        return f.chunk_index() == 1 ? reply{nak_frame(1, 0xFFFFFFFF)}
                                    : reply{ack_frame(f.chunk_index())};
    };
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1, 0xFFFFFFFF, 0, 1, 0xFFFFFFFF, 0, 1,
                                                          0xFFFFFFFF, 0}));
    EXPECT_NE(r.err.find("ERROR: device keeps asking for earlier chunks - giving up after 10 chunk "
                         "frames for 2 chunks\n"),
              std::string::npos)
        << r.err;
}

struct chunk_wait_case {
    const char* name;
    const char* command;
    std::uint64_t chunk_wait_ms;
};
void PrintTo(const chunk_wait_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateSessionChunkWait : public UpdateSession,
                               public ::testing::WithParamInterface<chunk_wait_case> {};

TEST_P(UpdateSessionChunkWait, EachUnansweredAttemptWaitsThePerChunkTimeout) {
    const auto c = GetParam();
    use_image(pattern_image(100));
    device_.on_chunk = [](const host_frame&, std::size_t) { return reply{}; };
    const auto r = run(c.command);
    EXPECT_EQ(r.status, 1);
    const auto chunks = device_.of_type(FWU_CMD_CHUNK);
    ASSERT_EQ(chunks.size(), 5u);
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].at_ms - chunks[i - 1].at_ms, c.chunk_wait_ms);
    }
    const auto aborts = device_.of_type(FWU_CMD_ABORT);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].at_ms - chunks[4].at_ms, c.chunk_wait_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, UpdateSessionChunkWait,
    ::testing::Values(chunk_wait_case{"Start", "fwupdate start", 2000},
                      chunk_wait_case{"Relay", "fwupdate relay K100234", 10000},
                      chunk_wait_case{"BareRelay", "fwupdate relay", 10000},
                      chunk_wait_case{"ShorterThanThePrefix", "fwupdate rela", 2000},
                      chunk_wait_case{"OtherCase", "fwupdate Relay X", 2000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSession, RelayedChunkAnsweredAfterTwoSecondsIsStillAccepted) {
    use_image(pattern_image(100));
    device_.on_chunk = [](const host_frame& f, std::size_t) {
        return reply{ack_frame(f.chunk_index()), 9999};
    };
    const auto r = run("fwupdate relay K1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// Every answer begins 15 ms before the 2000 ms wait ends and ends 15 ms after it.
TEST_F(UpdateSession, AnswersThatStraddleTheChunkWaitAreTakenWithoutAWarning) {
    use_image(pattern_image(3 * 4096));
    device_.on_chunk = [](const host_frame& f, std::size_t) {
        const bytes ack = ack_frame(f.chunk_index());
        fake::device_sends(ack.substr(0, 4), 1985);
        return reply{ack.substr(4), 2015};
    };
    const std::uint64_t start = fake::now_ms();
    const auto r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_indices(), (std::vector<std::uint32_t>{0, 1, 2}));
    const auto chunks = device_.of_type(FWU_CMD_CHUNK);
    EXPECT_EQ(chunks[1].at_ms - chunks[0].at_ms, 2015u);
    EXPECT_EQ(fake::now_ms() - start, 3 * 2015u);
}

// ---------------------------------------------------------------------------------------------
// Finalize

struct finalize_case {
    const char* name;
    reply answer;
    int status;
    const char* out_tail;
    const char* err;
};
void PrintTo(const finalize_case& c, std::ostream* os) {
    *os << c.name;
}

class UpdateSessionFinalize : public UpdateSession,
                              public ::testing::WithParamInterface<finalize_case> {};

TEST_P(UpdateSessionFinalize, JudgesTheAnswerAndNeverAborts) {
    const auto c = GetParam();
    use_image(pattern_image(100));
    device_.on_finalize = c.answer;
    const auto r = run();
    EXPECT_EQ(r.status, c.status);
    const std::string tail = c.out_tail;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(device_.frames.back().type, FWU_CMD_FINALIZE);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UpdateSessionFinalize,
    ::testing::Values(
        finalize_case{"DoneEmpty",
                      {device_frame(FWU_RSP_DONE, "")},
                      0,
                      "Finalizing...\nUpdate complete - target is rebooting into the new "
                      "firmware.\n",
                      ""},
        finalize_case{"DoneWithPayload",
                      {device_frame(FWU_RSP_DONE, "anything at all")},
                      0,
                      "Update complete - target is rebooting into the new firmware.\n",
                      ""},
        finalize_case{"DoneJustInTime",
                      {device_frame(FWU_RSP_DONE, ""), 9999},
                      0,
                      "Update complete - target is rebooting into the new firmware.\n",
                      ""},
        finalize_case{"Nak",
                      {nak_frame(200, 0)},
                      1,
                      "Finalizing...\n",
                      "ERROR: target rejected the finalize (reason 200) - firmware NOT updated, "
                      "currently-running bank is untouched\n"},
        finalize_case{"NakOfFourBytes",
                      {device_frame(FWU_RSP_NAK, "\x01\x02\x03\x04")},
                      1,
                      "Finalizing...\n",
                      "ERROR: unexpected response (type 0x83) to finalize\n"},
        finalize_case{"Ack",
                      {ack_frame()},
                      1,
                      "Finalizing...\n",
                      "ERROR: unexpected response (type 0x82) to finalize\n"},
        finalize_case{"Silence",
                      {},
                      1,
                      "Finalizing...\n",
                      "ERROR: no response to finalize - update state on the target is unknown, "
                      "retry with a fresh session\n"},
        finalize_case{"DoneTooLate",
                      {device_frame(FWU_RSP_DONE, ""), 10001},
                      1,
                      "Finalizing...\n",
                      "ERROR: no response to finalize - update state on the target is unknown, "
                      "retry with a fresh session\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSession, FinalizeThatCannotBeWrittenFailsWithoutAbort) {
    use_image("");
    fake::script_write_results({1000, -1});
    const auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: failed to send finalize command\n");
    EXPECT_TRUE(device_.frames.empty());
}

// ---------------------------------------------------------------------------------------------
// Abort

TEST_F(UpdateSession, AbortWithoutAnswerWaitsTwoSecondsAndPrintsNothing) {
    device_.on_abort = {};
    const std::uint64_t start = fake::now_ms();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    send_abort(fake::port());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fake::now_ms() - start, 2000u);
    EXPECT_EQ(fake::written(), bytes("\xF1\x03\x00\x00\x4B\x67\x07\xFD", 8));
}

TEST_F(UpdateSession, AbortEndsAtTheFirstFrameOfAnyTypeAndLeavesTheRestUnread) {
    device_.on_abort = {nak_frame(1, 1) + "tail", 300};
    const std::uint64_t start = fake::now_ms();
    send_abort(fake::port());
    EXPECT_EQ(fake::now_ms() - start, 300u);
    EXPECT_EQ(fake::unread(), 4u);
}

} // namespace
