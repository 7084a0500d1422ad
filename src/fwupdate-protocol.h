#pragma once
// The binary frame envelope of the update dialogue: start byte, type, 16-bit length, payload,
// CRC-32 over type, length and payload. Knows nothing of what the types and payloads mean.
// The encoder and the incremental parser are shared with the simulated device.

#include <cstddef>
#include <cstdint>

struct serial_port;

inline constexpr std::uint8_t FWU_SOF_HOST = 0xF1;   // starts every host-to-device frame
inline constexpr std::uint8_t FWU_SOF_DEVICE = 0xF2; // starts every device-to-host frame

inline constexpr std::size_t FWU_CHUNK_SIZE = 4096;                // image bytes per chunk
inline constexpr std::size_t FWU_MAX_PAYLOAD = 4 + FWU_CHUNK_SIZE; // chunk index + data
inline constexpr std::size_t FWU_FRAME_OVERHEAD = 8;               // SOF, type, length, CRC
inline constexpr std::size_t FWU_MAX_FRAME = FWU_MAX_PAYLOAD + FWU_FRAME_OVERHEAD;

// Frame types: commands from the host, responses from the device.
inline constexpr std::uint8_t FWU_CMD_CHUNK = 0x01;    // payload 4100: u32 index + 4096 data
inline constexpr std::uint8_t FWU_CMD_FINALIZE = 0x02; // payload 13: tag, length, CRC, bank
inline constexpr std::uint8_t FWU_CMD_ABORT = 0x03;    // no payload
inline constexpr std::uint8_t FWU_RSP_READY = 0x81;    // payload 7: bank, u32 limit, u16 variant
inline constexpr std::uint8_t FWU_RSP_ACK = 0x82;      // payload 4
inline constexpr std::uint8_t FWU_RSP_NAK = 0x83;      // payload 5: reason, u32 expected index
inline constexpr std::uint8_t FWU_RSP_DONE = 0x84;     // any payload

inline constexpr std::size_t FWU_READY_LEN = 7;
inline constexpr std::size_t FWU_ACK_LEN = 4;
inline constexpr std::size_t FWU_NAK_LEN = 5;
inline constexpr std::size_t FWU_FINALIZE_LEN = 13;

// Lays out one frame in `out` (room for len + 8 bytes) and returns its size, or 0 when `len`
// exceeds FWU_MAX_PAYLOAD. `payload` is not read when `len` is 0.
std::size_t fwu_frame_encode(std::uint8_t sof, std::uint8_t type, const std::uint8_t* payload,
                             std::uint16_t len, std::uint8_t* out);

// Incremental frame parser: fed one byte at a time, it hunts for `sof`, drops frames that
// announce more than FWU_MAX_PAYLOAD bytes or fail their CRC, and stores payload bytes straight
// into the caller's buffer of at least FWU_MAX_PAYLOAD bytes.
struct fwu_parser {
    std::uint8_t sof;
    std::uint8_t* payload; // caller's buffer
    int state;
    std::uint8_t type;
    std::uint16_t len;
    std::uint16_t index;
    std::uint8_t crc_bytes[4];
};

enum class fwu_feed_result {
    more,    // the byte was consumed; no frame is complete
    frame,   // a frame with a correct CRC is complete: parser.type, parser.len, the payload
    dropped, // the byte ended a frame that was dropped (length too large or CRC mismatch)
};

// The bytes still to come before the frame in progress is complete, with a length not read yet
// taken as FWU_MAX_PAYLOAD; 0 while hunting.
std::size_t fwu_parser_bytes_left(const fwu_parser& parser);

// Starts hunting afresh for frames that begin with `sof`.
void fwu_parser_init(fwu_parser& parser, std::uint8_t sof, std::uint8_t* payload);

// Feeds one byte; after `frame` the parser hunts again from the next byte.
fwu_feed_result fwu_parser_feed(fwu_parser& parser, std::uint8_t byte);

// Sends one host frame with a single write; false when the write was short or failed, or when
// `len` exceeds FWU_MAX_PAYLOAD (then nothing is written). Prints nothing.
bool fwu_send_frame(serial_port* port, std::uint8_t type, const std::uint8_t* payload,
                    std::uint16_t len);

// The line carries 115200 baud 8N1: ten bits a byte.
inline constexpr std::uint32_t FWU_LINE_BYTES_PER_S = 11520;
// Slack on top of a frame's time on the line, for how its bytes reach the host: a USB bridge's
// latency timer (16 ms by default), a relaying controller that forwards in blocks, a loaded
// host's scheduler (15.6 ms ticks on Windows). Several times each, and with the longest frame
// still under a quarter of the shortest chunk wait.
inline constexpr std::uint32_t FWU_GRACE_MARGIN_MS = 100;

// How long past its deadline a wait reads a frame that has `bytes_left` bytes still to come:
// their time on the line, rounded up to whole milliseconds, plus FWU_GRACE_MARGIN_MS.
constexpr std::uint32_t fwu_grace_ms(std::size_t bytes_left) {
    return static_cast<std::uint32_t>((bytes_left * 1000 + FWU_LINE_BYTES_PER_S - 1) /
                                      FWU_LINE_BYTES_PER_S) +
           FWU_GRACE_MARGIN_MS;
}

// The longest a wait can run past its deadline: a frame of which only the start byte came.
inline constexpr std::uint32_t FWU_MAX_GRACE_MS = fwu_grace_ms(FWU_MAX_FRAME - 1);

// Waits at most `timeout_ms` for one device frame with a correct CRC, skipping noise, oversize
// and corrupt frames. A frame whose start byte came before the deadline is read to its end, for
// at most fwu_grace_ms of what it still lacked at the deadline; a frame dropped in that grace
// ends the wait. True with *type, *len and the payload set; false on the deadline, the end of
// the grace or a read error, with *type and *len untouched. Reads one byte at a time, never past
// the frame; a time-out of 0 reads nothing.
bool fwu_recv_frame(serial_port* port, std::uint8_t* type, std::uint8_t* payload,
                    std::uint16_t* len, std::uint32_t timeout_ms);
