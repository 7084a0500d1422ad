#include "update-session.h"

#include "bundle.h"
#include "byte-order.h"
#include "cli-drive.h"
#include "crc32.h"
#include "fwupdate-protocol.h"
#include "text-escape.h"
#include "timer.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::uint32_t READY_TIMEOUT_MS = 3000;
constexpr std::uint32_t CHUNK_TIMEOUT_MS = 2000;
// A relayed chunk crosses the CAN bus and is acknowledged by the far device, hence the margin.
constexpr std::uint32_t RELAYED_CHUNK_TIMEOUT_MS = 10000;
constexpr std::uint32_t FINALIZE_TIMEOUT_MS = 10000;
constexpr std::uint32_t ABORT_TIMEOUT_MS = 2000;
constexpr unsigned CHUNK_ATTEMPTS = 5;
// Chunk frames a session sends in all, per chunk of the image, failed writes included. A device
// that never sends kvup back to an earlier chunk cannot need more: each chunk it moves on from
// started one call of at most five attempts. Only one that keeps asking for earlier chunks, and
// would otherwise hold kvup for ever, reaches it.
constexpr std::uint32_t CHUNK_FRAMES_PER_CHUNK = CHUNK_ATTEMPTS;
constexpr std::uint8_t FILL_BYTE = 0xFF;

constexpr char RELAY_PREFIX[] = "fwupdate relay";

// Every device frame of a session lands here; only the length of the last good receive is valid.
std::uint8_t recv_payload[FWU_MAX_PAYLOAD];

// The state of one session, from its start command to its end.
struct update_session {
    serial_port* port;
    const char* command;
    std::uint32_t chunk_timeout_ms;
    // Chunk waits that gave up without an answer. The device may still send those answers, and
    // it answers in order, so each can come ahead of the finalize's own answer.
    unsigned unanswered_chunk_waits;
    // Chunk frames sent (or tried) so far, and how many the image allows. At most 5 x 2^20 for
    // the largest image a 32-bit length can give, so both fit in 32 bits.
    std::uint32_t chunk_frames;
    std::uint32_t chunk_frame_limit;
    // What the device's READY offered.
    std::uint8_t bank_index;
    std::uint32_t max_image_len;
    std::uint16_t variant;
    char bank;             // the letter the bundle is searched with: 'A' + any index
    std::string bank_text; // the same letter as shown: the index is the device's, any byte
};

// The data of chunk `chunk_index` after the index itself. The offset is computed in 64 bits:
// the device may name any index, and a wrapped 32-bit offset would put early image bytes under a
// late index.
void build_chunk_payload(std::uint8_t* payload, const std::uint8_t* image, std::uint32_t image_len,
                         std::uint32_t chunk_index) {
    put_le32(payload, chunk_index);
    const std::uint64_t offset = std::uint64_t{chunk_index} * FWU_CHUNK_SIZE;
    const std::uint64_t remaining = offset < image_len ? image_len - offset : 0;
    const std::size_t n =
        remaining < FWU_CHUNK_SIZE ? static_cast<std::size_t>(remaining) : FWU_CHUNK_SIZE;
    if (n > 0) {
        std::memcpy(payload + 4, image + offset, n);
    }
    std::memset(payload + 4 + n, FILL_BYTE, FWU_CHUNK_SIZE - n);
}

// The first frame within the finalize's time-out that can be its answer. An ACK or a NAK may
// instead be the late answer to a chunk wait that gave up, one for each such wait: those are
// passed over, since a late chunk NAK taken for the verdict would report a device that took the
// image as not updated. A DONE answers nothing but the finalize.
bool recv_finalize_answer(const update_session& session, std::uint8_t* type, std::uint16_t* len) {
    const std::uint64_t deadline_ms = timer_now_ms() + FINALIZE_TIMEOUT_MS;
    unsigned maybe_late = session.unanswered_chunk_waits;
    for (;;) {
        const std::uint64_t now_ms = timer_now_ms();
        const std::uint64_t left_ms = deadline_ms > now_ms ? deadline_ms - now_ms : 0;
        if (!fwu_recv_frame(session.port, type, recv_payload, len,
                            static_cast<std::uint32_t>(left_ms))) {
            return false;
        }
        if (maybe_late == 0 || (*type != FWU_RSP_ACK && *type != FWU_RSP_NAK)) {
            return true;
        }
        --maybe_late;
    }
}

enum class chunk_result {
    acked,         // the index has advanced by one
    gave_up,       // five attempts failed
    session_bound, // the session's chunk frames are used up before the next attempt
};

// Sends chunk `chunk_index` with up to five attempts, following the device's NAKs, while the
// session's chunk frames last. The index is the one the last attempt left. One WARNING line per
// failed attempt.
chunk_result send_chunk_with_retry(update_session& session, const std::uint8_t* image,
                                   std::uint32_t image_len, std::uint32_t& chunk_index) {
    std::uint8_t payload[FWU_MAX_PAYLOAD];
    for (unsigned attempt = 1; attempt <= CHUNK_ATTEMPTS; ++attempt) {
        if (session.chunk_frames >= session.chunk_frame_limit) {
            return chunk_result::session_bound;
        }
        ++session.chunk_frames;
        const std::uint32_t sent_index = chunk_index;
        build_chunk_payload(payload, image, image_len, sent_index);
        if (!fwu_send_frame(session.port, FWU_CMD_CHUNK, payload, FWU_MAX_PAYLOAD)) {
            std::fprintf(stderr, "WARNING: write failed sending chunk %u, retrying (%u/%u)\n",
                         static_cast<unsigned>(sent_index), attempt, CHUNK_ATTEMPTS);
            continue;
        }
        std::uint8_t type = 0;
        std::uint16_t len = 0;
        if (!fwu_recv_frame(session.port, &type, recv_payload, &len, session.chunk_timeout_ms)) {
            ++session.unanswered_chunk_waits;
            std::fprintf(stderr, "WARNING: no response to chunk %u, retrying (%u/%u)\n",
                         static_cast<unsigned>(sent_index), attempt, CHUNK_ATTEMPTS);
            continue;
        }
        // Whatever good ACK arrives first answers this attempt, even a late one to an earlier
        // attempt: the device acknowledges in order, so it has the chunk either way.
        if (type == FWU_RSP_ACK && len == FWU_ACK_LEN) {
            ++chunk_index;
            return chunk_result::acked;
        }
        if (type == FWU_RSP_NAK && len == FWU_NAK_LEN) {
            const unsigned reason = recv_payload[0];
            const std::uint32_t expected = get_le32(recv_payload + 1);
            std::fprintf(stderr,
                         "WARNING: chunk %u NAK'd (reason %u), device expects %u, retrying "
                         "(%u/%u)\n",
                         static_cast<unsigned>(sent_index), reason, static_cast<unsigned>(expected),
                         attempt, CHUNK_ATTEMPTS);
            chunk_index = expected;
            continue;
        }
        std::fprintf(stderr,
                     "WARNING: unexpected response (type 0x%02x) to chunk %u, retrying "
                     "(%u/%u)\n",
                     static_cast<unsigned>(type), static_cast<unsigned>(sent_index), attempt,
                     CHUNK_ATTEMPTS);
    }
    return chunk_result::gave_up;
}

} // namespace

void send_abort(serial_port* port) {
    // Best effort on a session that is already failing: neither outcome changes the result.
    (void)fwu_send_frame(port, FWU_CMD_ABORT, nullptr, 0);
    std::uint8_t type = 0;
    std::uint16_t len = 0;
    (void)fwu_recv_frame(port, &type, recv_payload, &len, ABORT_TIMEOUT_MS);
}

namespace {

// Sends the start command and waits for the device's READY. No abort without a good READY: the
// device has not shown that it left its console.
bool start_and_await_ready(update_session& session) {
    if (!cli_drive_send_line(session.port, session.command)) {
        std::fprintf(stderr, "ERROR: failed to send '%s'\n", escape_text(session.command).c_str());
        return false;
    }
    std::uint8_t type = 0;
    std::uint16_t len = 0;
    if (!fwu_recv_frame(session.port, &type, recv_payload, &len, READY_TIMEOUT_MS) ||
        type != FWU_RSP_READY || len != FWU_READY_LEN) {
        std::fprintf(stderr, "ERROR: device did not respond to '%s' - is it in installer mode?\n",
                     escape_text(session.command).c_str());
        return false;
    }
    session.bank_index = recv_payload[0];
    session.max_image_len = get_le32(recv_payload + 1);
    session.variant = get_le16(recv_payload + 5);
    session.bank = static_cast<char>('A' + session.bank_index);
    session.bank_text = escape_text(std::string_view(&session.bank, 1));
    std::printf("Device is ready - variant %u, target bank %s (max image size %u bytes)\n",
                static_cast<unsigned>(session.variant), session.bank_text.c_str(),
                static_cast<unsigned>(session.max_image_len));
    return true;
}

// The bundle's image for the variant and bank the device offered, or null (after the ERROR line
// and an abort) when there is none or it exceeds the bank.
const bundle_entry* choose_image(update_session& session, const bundle* b) {
    const bundle_entry* entry = bundle_find(b, session.variant, session.bank);
    if (entry == nullptr) {
        std::fprintf(stderr,
                     "ERROR: bundle has no image for variant %u bank %s - is it up to date?\n",
                     static_cast<unsigned>(session.variant), session.bank_text.c_str());
        send_abort(session.port);
        return nullptr;
    }
    if (entry->image_len > session.max_image_len) {
        std::fprintf(stderr,
                     "ERROR: bundle image for variant %u bank %s is %u bytes, exceeds this bank's "
                     "%u byte limit\n",
                     static_cast<unsigned>(session.variant), session.bank_text.c_str(),
                     static_cast<unsigned>(entry->image_len),
                     static_cast<unsigned>(session.max_image_len));
        send_abort(session.port);
        return nullptr;
    }
    return entry;
}

// Streams every chunk of the image; false (after the ERROR line and an abort) when one is given
// up on. The device steers the index with its NAKs; the loop follows it back and forth.
bool stream_image(update_session& session, const bundle_entry& entry) {
    const std::uint32_t chunk_count = static_cast<std::uint32_t>(
        (std::uint64_t{entry.image_len} + FWU_CHUNK_SIZE - 1) / FWU_CHUNK_SIZE);
    std::printf("Sending variant %u bank %s (%u bytes, %u chunks)...\n",
                static_cast<unsigned>(session.variant), session.bank_text.c_str(),
                static_cast<unsigned>(entry.image_len), static_cast<unsigned>(chunk_count));

    session.chunk_frames = 0;
    session.chunk_frame_limit = CHUNK_FRAMES_PER_CHUNK * chunk_count;
    std::uint32_t chunk_index = 0;
    while (chunk_index < chunk_count) {
        const chunk_result result =
            send_chunk_with_retry(session, entry.image, entry.image_len, chunk_index);
        if (result == chunk_result::gave_up) {
            std::fprintf(stderr, "ERROR: giving up on chunk %u after %u attempts\n",
                         static_cast<unsigned>(chunk_index), CHUNK_ATTEMPTS);
            send_abort(session.port);
            return false;
        }
        if (result == chunk_result::session_bound) {
            std::fprintf(stderr,
                         "ERROR: device keeps asking for earlier chunks - giving up after %u "
                         "chunk frames for %u chunks\n",
                         static_cast<unsigned>(session.chunk_frames),
                         static_cast<unsigned>(chunk_count));
            send_abort(session.port);
            return false;
        }
        std::printf("\r  chunk %u/%u", static_cast<unsigned>(chunk_index),
                    static_cast<unsigned>(chunk_count));
        std::fflush(stdout);
    }
    std::fputs("\n", stdout);
    return true;
}

// Sends the finalize and reads the device's verdict: 0 on DONE, else 1 after one ERROR line.
// Past this point the device may already be committing the image, so no abort is sent.
int finalize_image(update_session& session, const bundle_entry& entry) {
    const std::uint32_t image_crc = crc32(entry.image, entry.image_len);
    std::uint8_t finalize[FWU_FINALIZE_LEN];
    put_le32(finalize, entry.image_tag);
    put_le32(finalize + 4, entry.image_len);
    put_le32(finalize + 8, image_crc);
    finalize[12] = session.bank_index;
    std::fputs("Finalizing...\n", stdout);
    if (!fwu_send_frame(session.port, FWU_CMD_FINALIZE, finalize, FWU_FINALIZE_LEN)) {
        std::fputs("ERROR: failed to send finalize command\n", stderr);
        return 1;
    }
    std::uint8_t type = 0;
    std::uint16_t len = 0;
    if (!recv_finalize_answer(session, &type, &len)) {
        std::fputs("ERROR: no response to finalize - update state on the target is unknown, "
                   "retry with a fresh session\n",
                   stderr);
        return 1;
    }
    if (type == FWU_RSP_DONE) {
        std::fputs("Update complete - target is rebooting into the new firmware.\n", stdout);
        return 0;
    }
    if (type == FWU_RSP_NAK && len == FWU_NAK_LEN) {
        std::fprintf(stderr,
                     "ERROR: target rejected the finalize (reason %u) - firmware NOT updated, "
                     "currently-running bank is untouched\n",
                     static_cast<unsigned>(recv_payload[0]));
        return 1;
    }
    std::fprintf(stderr, "ERROR: unexpected response (type 0x%02x) to finalize\n",
                 static_cast<unsigned>(type));
    return 1;
}

} // namespace

int run_update_session(serial_port* port, const char* command, const bundle* b) {
    update_session session{};
    session.port = port;
    session.command = command;
    session.chunk_timeout_ms = std::strncmp(command, RELAY_PREFIX, sizeof RELAY_PREFIX - 1) == 0
                                   ? RELAYED_CHUNK_TIMEOUT_MS
                                   : CHUNK_TIMEOUT_MS;
    if (!start_and_await_ready(session)) {
        return 1;
    }
    const bundle_entry* entry = choose_image(session, b);
    if (entry == nullptr || !stream_image(session, *entry)) {
        return 1;
    }
    return finalize_image(session, *entry);
}
