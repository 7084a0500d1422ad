// run_update_session, the whole binary dialogue, against a device whose every answer comes from
// the fuzz input, through the scripted port and the virtual clock. The target keeps its own model
// of the dialogue, read off the bytes kvup actually took from the port, and checks on every run:
// the exit status is 0 only when a DONE answered the finalize; every host frame is well formed,
// a chunk frame exactly 4108 bytes with the right image bytes and fill; the chunk index sent is 0,
// the next one after an ACK, the same one after a time-out, a failed write or an unexpected
// answer, or the one a NAK named; at most five attempts per chunk, and five chunk frames per chunk
// of the image in all, then an abort; the finalize carries the image's tag, length, CRC-32 and
// the bank offered; the session ends within the sum of the waits it made, each with the grace a
// frame begun by its deadline may take.
//
// Input: flags (bit 0: relayed command), image length (u16), READY fields (bank, limit choice,
// variant), then one answer per host write: an op byte (bits 0-2: what is answered, bit 3: late
// by a u16 of ms, bit 4: sent twice, bit 5: noise bytes from the input first, bit 6: corrupt CRC,
// bit 7: kvup's next write fails) and its operands. Once the input is used up every write gets
// its ordinary answer: READY, ACK, DONE.

#include "bundle.h"
#include "byte-order.h"
#include "crc32.h"
#include "fake-device.h"
#include "fuzz-support.h"
#include "fwupdate-protocol.h"
#include "update-session.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint16_t VARIANT = 1;
constexpr std::uint32_t TAG_A = 0xA1A2A3A4;
constexpr std::uint32_t TAG_B = 0xB1B2B3B4;
constexpr std::size_t MAX_IMAGE = 4 * FWU_CHUNK_SIZE; // enough to go back and ahead
constexpr unsigned ATTEMPTS = 5;
constexpr std::uint64_t READY_WAIT_MS = 3000;
constexpr std::uint64_t FINALIZE_WAIT_MS = 10000;
constexpr std::uint64_t ABORT_WAIT_MS = 2000;
// Each wait may run past its deadline to finish a frame that began by it.
constexpr std::uint64_t GRACE_MS = FWU_MAX_GRACE_MS;

std::string frame(std::uint8_t type, const std::string& payload, bool bad_crc = false) {
    std::string out(payload.size() + FWU_FRAME_OVERHEAD, '\0');
    const std::size_t n = fwu_frame_encode(
        FWU_SOF_DEVICE, type, reinterpret_cast<const std::uint8_t*>(payload.data()),
        static_cast<std::uint16_t>(payload.size()), reinterpret_cast<std::uint8_t*>(out.data()));
    out.resize(n);
    if (bad_crc && !out.empty()) {
        out.back() = static_cast<char>(out.back() ^ 0x5A);
    }
    return out;
}

std::string le32(std::uint32_t v) {
    std::uint8_t b[4];
    put_le32(b, v);
    return {reinterpret_cast<const char*>(b), 4};
}

// The good device frames in `bytes` as fwu_recv_frame calls would take them, each ending where
// the call stopped reading.
struct seen_frame {
    std::uint8_t type;
    std::uint16_t len;
    std::size_t end; // offset after its last byte, within `bytes`
    std::uint8_t payload[8];
};

std::vector<seen_frame> frames_in(std::string_view bytes) {
    static std::uint8_t payload[FWU_MAX_PAYLOAD];
    std::vector<seen_frame> found;
    fwu_parser parser;
    fwu_parser_init(parser, FWU_SOF_DEVICE, payload);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (fwu_parser_feed(parser, static_cast<std::uint8_t>(bytes[i])) ==
            fwu_feed_result::frame) {
            seen_frame f{parser.type, parser.len, i + 1, {}};
            for (std::size_t k = 0; k < sizeof f.payload && k < parser.len; ++k) {
                f.payload[k] = payload[k];
            }
            found.push_back(f);
            fwu_parser_init(parser, FWU_SOF_DEVICE, payload);
        }
    }
    return found;
}

enum class next_write { command, chunk, finalize, abort, none };

// The device and the model of what kvup must write next.
class session_model {
  public:
    session_model(fuzz::input& in, const bundle& b, const std::string& command,
                  std::uint32_t chunk_timeout_ms)
        : in_(in), bundle_(b), command_(command), chunk_timeout_ms_(chunk_timeout_ms) {}

    void on_write(std::string_view data) {
        judge_answer();
        if (failure_scripted_) {
            failure_scripted_ = false;
            failed_write();
        }
        check_write(data);
        answer();
    }

    // After kvup returned: the last answer, and a scripted failure that ended the session.
    void finish(int status) {
        judge_answer();
        const bool failure_consumed =
            failure_scripted_ && (expect_ == next_write::chunk || expect_ == next_write::finalize ||
                                  expect_ == next_write::abort);
        if (failure_consumed) {
            failed_write();
        }
        FUZZ_CHECK(status == 0 || status == 1);
        FUZZ_CHECK(status != 0 || done_answered_finalize_);
        FUZZ_CHECK(status != 0 || !abort_sent_);
        // The session never stops halfway: after a READY it ends with its finalize or its abort,
        // or with the write of one of them failing.
        FUZZ_CHECK(expect_ == next_write::none);
        FUZZ_CHECK(elapsed_ms() <= wait_budget_ms_);
    }

    void start() { start_ms_ = fake::now_ms(); }

  private:
    std::uint64_t elapsed_ms() const { return fake::now_ms() - start_ms_; }

    // The bytes kvup read since its last write: the answer to that write.
    void judge_answer() {
        const std::size_t consumed = stream_.size() - fake::unread();
        const std::string_view region = std::string_view(stream_).substr(mark_, consumed - mark_);
        mark_ = consumed;
        const std::vector<seen_frame> frames = frames_in(region);
        switch (last_) {
        case next_write::command:
            judge_ready(frames, region.size());
            break;
        case next_write::chunk:
            judge_chunk(frames, region.size());
            break;
        case next_write::finalize:
            // kvup stops reading at its verdict, so the verdict is the last frame it read; late
            // chunk answers may come before it.
            done_answered_finalize_ = !frames.empty() && frames.back().type == FWU_RSP_DONE &&
                                      frames.back().end == region.size();
            expect_ = next_write::none;
            break;
        case next_write::abort:
            FUZZ_CHECK(frames.size() <= 1);
            expect_ = next_write::none;
            break;
        case next_write::none:
            break;
        }
        last_ = next_write::none;
    }

    // A wait ends at its first good frame, and nothing after it is read before the next write;
    // only a failed abort write is followed by a wait of its own within the same stretch.
    void check_one_answer(const std::vector<seen_frame>& frames, std::size_t region_len) const {
        if (failure_scripted_) {
            return;
        }
        FUZZ_CHECK(frames.size() <= 1);
        FUZZ_CHECK(frames.empty() || frames[0].end == region_len);
    }

    void judge_ready(const std::vector<seen_frame>& frames, std::size_t region_len) {
        check_one_answer(frames, region_len);
        expect_ = next_write::none;
        if (frames.empty() || frames[0].type != FWU_RSP_READY || frames[0].len != FWU_READY_LEN) {
            return;
        }
        bank_index_ = frames[0].payload[0];
        const std::uint32_t limit = get_le32(frames[0].payload + 1);
        const std::uint16_t variant = get_le16(frames[0].payload + 5);
        entry_ = bundle_find(&bundle_, variant, static_cast<char>('A' + bank_index_));
        if (entry_ == nullptr || entry_->image_len > limit) {
            expect_ = next_write::abort;
            return;
        }
        chunk_count_ = (entry_->image_len + FWU_CHUNK_SIZE - 1) / FWU_CHUNK_SIZE;
        index_ = 0;
        chunk_attempts_ = 0;
        chunk_frames_ = 0;
        expect_ = chunk_count_ == 0 ? next_write::finalize : next_write::chunk;
    }

    void judge_chunk(const std::vector<seen_frame>& frames, std::size_t region_len) {
        check_one_answer(frames, region_len);
        ++chunk_attempts_;
        if (!frames.empty()) {
            const seen_frame& f = frames[0];
            if (f.type == FWU_RSP_ACK && f.len == FWU_ACK_LEN) {
                ++index_;
                chunk_attempts_ = 0;
                expect_ = index_ < chunk_count_ ? chunk_or_bound() : next_write::finalize;
                return;
            }
            if (f.type == FWU_RSP_NAK && f.len == FWU_NAK_LEN) {
                index_ = get_le32(f.payload + 1);
            }
        }
        after_failed_attempt();
    }

    void after_failed_attempt() {
        expect_ = chunk_attempts_ >= ATTEMPTS ? next_write::abort : chunk_or_bound();
    }

    // Another chunk frame, unless the session has sent five per chunk of the image: only a device
    // that sends kvup back to earlier chunks gets there, and kvup gives up on it with an abort.
    next_write chunk_or_bound() const {
        return chunk_frames_ >= ATTEMPTS * chunk_count_ ? next_write::abort : next_write::chunk;
    }

    // A write that failed: a chunk attempt is used up without a wait; a failed abort is still
    // followed by its wait; a failed finalize ends the session.
    void failed_write() {
        if (expect_ == next_write::chunk) {
            ++chunk_attempts_;
            ++chunk_frames_;
            after_failed_attempt();
            return;
        }
        if (expect_ == next_write::abort) {
            abort_sent_ = true;
            wait_budget_ms_ += ABORT_WAIT_MS + GRACE_MS;
        }
        expect_ = next_write::none;
    }

    void check_write(std::string_view data) {
        FUZZ_CHECK(expect_ != next_write::none);
        if (expect_ == next_write::command) {
            FUZZ_CHECK(data == command_ + "\r");
            last_ = next_write::command;
            wait_budget_ms_ += READY_WAIT_MS + GRACE_MS;
            expect_ = next_write::none;
            return;
        }
        // One whole host frame per write, never longer than the largest frame.
        FUZZ_CHECK(data.size() >= FWU_FRAME_OVERHEAD && data.size() <= FWU_MAX_FRAME);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        FUZZ_CHECK(bytes[0] == FWU_SOF_HOST);
        const std::uint8_t type = bytes[1];
        const std::uint16_t len = get_le16(bytes + 2);
        FUZZ_CHECK(data.size() == std::size_t{len} + FWU_FRAME_OVERHEAD);
        FUZZ_CHECK(get_le32(bytes + 4 + len) == crc32(bytes + 1, 3u + len));
        const std::uint8_t* payload = bytes + 4;
        if (expect_ == next_write::chunk) {
            FUZZ_CHECK(type == FWU_CMD_CHUNK && len == FWU_MAX_PAYLOAD);
            FUZZ_CHECK(get_le32(payload) == index_);
            const std::uint64_t offset = std::uint64_t{index_} * FWU_CHUNK_SIZE;
            for (std::size_t k = 0; k < FWU_CHUNK_SIZE; ++k) {
                const std::uint64_t at = offset + k;
                const std::uint8_t want = at < entry_->image_len ? entry_->image[at] : 0xFF;
                FUZZ_CHECK(payload[4 + k] == want);
            }
            sent_index_ = index_;
            ++chunk_frames_;
            last_ = next_write::chunk;
            wait_budget_ms_ += chunk_timeout_ms_ + GRACE_MS;
        } else if (expect_ == next_write::finalize) {
            FUZZ_CHECK(type == FWU_CMD_FINALIZE && len == FWU_FINALIZE_LEN);
            FUZZ_CHECK(get_le32(payload) == entry_->image_tag);
            FUZZ_CHECK(get_le32(payload + 4) == entry_->image_len);
            FUZZ_CHECK(get_le32(payload + 8) == crc32(entry_->image, entry_->image_len));
            FUZZ_CHECK(payload[12] == bank_index_);
            last_ = next_write::finalize;
            wait_budget_ms_ += FINALIZE_WAIT_MS + GRACE_MS;
        } else {
            FUZZ_CHECK(type == FWU_CMD_ABORT && len == 0);
            abort_sent_ = true;
            last_ = next_write::abort;
            wait_budget_ms_ += ABORT_WAIT_MS + GRACE_MS;
        }
        expect_ = next_write::none;
    }

    // The device's answer to what was just written, taken from the input.
    void answer() {
        const std::uint8_t op = in_.byte();
        std::uint8_t kind = op & 7;
        // The ordinary answer is kind 0 for every write.
        if (last_ == next_write::command && (kind == 0 || kind == 4)) {
            kind = kind == 0 ? 4 : 0;
        } else if (last_ == next_write::finalize && (kind == 0 || kind == 3)) {
            kind = kind == 0 ? 3 : 0;
        }
        const std::uint64_t delay_ms = (op & 0x08) != 0 ? in_.u16() : 0;
        std::string noise;
        if ((op & 0x20) != 0) {
            const std::size_t n = in_.byte() % 32;
            for (std::size_t k = 0; k < n; ++k) {
                noise += static_cast<char>(in_.byte());
            }
        }
        const bool bad_crc = (op & 0x40) != 0;
        std::string reply;
        switch (kind) {
        case 0:
            reply = frame(FWU_RSP_ACK, le32(sent_index_), bad_crc);
            break;
        case 1: {
            const std::uint8_t reason = in_.byte();
            const std::uint8_t how = in_.byte();
            std::uint32_t expected = sent_index_;
            switch (how & 3) {
            case 1:
                expected -= how >> 2;
                break;
            case 2:
                expected += how >> 2;
                break;
            case 3:
                expected = static_cast<std::uint32_t>(in_.u16()) |
                           static_cast<std::uint32_t>(in_.u16()) << 16;
                break;
            default:
                break;
            }
            reply = frame(FWU_RSP_NAK, std::string(1, static_cast<char>(reason)) + le32(expected),
                          bad_crc);
            break;
        }
        case 2:
            break; // silent
        case 3:
            reply = frame(FWU_RSP_DONE, std::string(in_.byte() % 8, 'd'), bad_crc);
            break;
        case 4: {
            const std::uint8_t bank = in_.byte() % 3;
            const std::uint8_t choice = in_.byte();
            std::uint32_t limit = 0x40000;
            const std::uint32_t image_len = bundle_.entries[0].image_len;
            if ((choice & 3) == 1) {
                limit = image_len;
            } else if ((choice & 3) == 2) {
                limit = image_len - 1;
            } else if ((choice & 3) == 3) {
                limit = in_.u16();
            }
            const std::uint16_t variant = (choice & 4) != 0 ? in_.u16() : VARIANT;
            std::string payload(1, static_cast<char>(bank));
            payload += le32(limit);
            payload += static_cast<char>(variant & 0xFF);
            payload += static_cast<char>(variant >> 8);
            reply = frame(FWU_RSP_READY, payload, bad_crc);
            break;
        }
        case 5: {
            const std::uint8_t type = in_.byte();
            const std::size_t n = in_.byte() % 16;
            std::string payload;
            for (std::size_t k = 0; k < n; ++k) {
                payload += static_cast<char>(in_.byte());
            }
            reply = frame(type, payload, bad_crc);
            break;
        }
        case 6: {
            // An ACK or NAK of a length other than its own.
            std::size_t n = in_.byte() % 9;
            n = n == FWU_ACK_LEN ? n + 1 : n;
            reply = frame(FWU_RSP_ACK, std::string(n, 'a'), bad_crc);
            break;
        }
        default: {
            std::size_t n = in_.byte() % 9;
            n = n == FWU_NAK_LEN ? n + 1 : n;
            reply = frame(FWU_RSP_NAK, std::string(n, '\x01'), bad_crc);
            break;
        }
        }
        send(noise + reply, delay_ms);
        if ((op & 0x10) != 0 && !reply.empty()) {
            send(reply, delay_ms + in_.byte());
        }
        // Not where an abort may come next (after a fifth attempt, or the session's last chunk
        // frame): a failed abort is still followed by its wait, and an answer read there could not
        // be told from a late answer to the chunk.
        const bool may_abort =
            last_ == next_write::chunk &&
            (chunk_attempts_ == ATTEMPTS - 1 || chunk_frames_ >= ATTEMPTS * chunk_count_);
        if ((op & 0x80) != 0 && !may_abort) {
            fake::script_write_results({-1});
            failure_scripted_ = true;
        }
    }

    void send(const std::string& bytes, std::uint64_t delay_ms) {
        stream_ += bytes;
        fake::device_sends(bytes, delay_ms);
    }

    fuzz::input& in_;
    const bundle& bundle_;
    std::string command_;
    std::uint32_t chunk_timeout_ms_;
    std::string stream_; // every device byte queued, in order
    std::size_t mark_ = 0;
    next_write expect_ = next_write::command;
    next_write last_ = next_write::none;
    const bundle_entry* entry_ = nullptr;
    std::uint8_t bank_index_ = 0;
    std::uint64_t chunk_count_ = 0;
    std::uint32_t index_ = 0;
    std::uint32_t sent_index_ = 0;
    unsigned chunk_attempts_ = 0;
    std::uint64_t chunk_frames_ = 0; // in the whole session, failed writes included
    bool failure_scripted_ = false;
    bool done_answered_finalize_ = false;
    bool abort_sent_ = false;
    std::uint64_t start_ms_ = 0;
    std::uint64_t wait_budget_ms_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    // The progress lines, one set per input, would slow the run as much as the error lines.
    if (std::getenv("KVUP_FUZZ_STDERR") == nullptr) {
        (void)std::freopen("/dev/null", "w", stdout);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const bool relayed = (in.byte() & 1) != 0;
    const std::size_t image_len = in.u16() % (MAX_IMAGE + 1);

    static std::uint8_t image[MAX_IMAGE];
    for (std::size_t i = 0; i < image_len; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13 + 1);
    }
    bundle_entry entries[2] = {
        {VARIANT, 'A', TAG_A, static_cast<std::uint32_t>(image_len), image},
        {VARIANT, 'B', TAG_B, static_cast<std::uint32_t>(image_len), image},
    };
    const bundle b{nullptr, 2, entries};
    const std::string command = relayed ? "fwupdate relay KR-0100" : "fwupdate start";

    fake::reset();
    session_model model(in, b, command, relayed ? 10000 : 2000);
    fake::on_write([&model](std::string_view written) { model.on_write(written); });
    model.start();
    const int status = run_update_session(fake::port(), command.c_str(), &b);
    fake::on_write(nullptr);
    model.finish(status);
    return 0;
}
