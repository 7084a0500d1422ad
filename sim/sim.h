#pragma once
// The simulated Kelvane controller: one connected controller with CAN peers behind it, speaking
// the console dialogue and the binary update dialogue on a pseudo-terminal, so that kvup runs end
// to end without hardware. It models what a device sends and keeps, not how firmware works.
// Times in the record are microseconds since the simulator started.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a fault does. Chunk faults act on the device's answer to one chunk; console faults act on
// the connected controller's console after a reset.
enum class sim_fault_kind : std::uint8_t {
    chunk_silent,       // the chunk is lost: no answer, nothing stored
    chunk_late,         // the answer comes `delay_ms` later than usual
    chunk_nak,          // NAK `reason` and `expected` (default: the index expected) instead
    chunk_bad_crc,      // the answer's last CRC byte is flipped
    chunk_noise,        // `count` noise bytes go out before the answer
    chunk_oversize,     // a frame header announcing 65535 bytes goes out before the answer
    ack_length,         // the ACK carries `length` payload bytes instead of 4
    disconnect,         // the pty is closed on receipt of the chunk
    ready_length,       // READY carries `length` payload bytes instead of 7
    ready_noise,        // `count` noise bytes go out before READY
    start_silent,       // no READY after the start or relay command
    finalize_nak,       // FINALIZE answered with NAK `reason`; nothing is written
    finalize_silent,    // FINALIZE ignored; nothing is written
    boot_slow,          // boot output `delay_ms` later than the configured boot delay
    boot_silent,        // boot output without its prompt (or menu) marker
    no_password_prompt, // "installer on" gets no password prompt
    installer_cancel,   // the password is answered with "Cancelled"
    unplug,             // USB: the device detaches on receipt of the chunk; it can be replugged
    watchdog,           // the device resets itself on receipt of the chunk: session dropped,
                        // nothing written, boot text and prompt on the line
    watchdog_finalize,  // the same on receipt of the finalize, before it is judged
    chunk_split,        // the answer's header goes out `delay_ms` after the chunk came, the rest
                        // `gap_ms` later: with the defaults, across kvup's 2000 ms deadline
    nak_pingpong,       // chunk `chunk` is taken, every later one NAK'd naming it, and the
                        // device forgets what it took after it; kvup is sent back for ever
    deaf,               // the link stops taking host bytes on receipt of the chunk (answered
                        // first when `answered`) until the connected controller's next reset
};

// One injected fault. A zero `chunk_attempt` or `session` matches every attempt or session.
struct sim_fault {
    sim_fault_kind kind = sim_fault_kind::chunk_silent;
    std::uint32_t chunk = 0;         // chunk index (chunk faults, disconnect, watchdog)
    std::uint32_t chunk_attempt = 1; // how often this index has arrived in the session, from 1
    std::uint32_t session = 0;       // the device's n-th update session; for console faults the
                                     // n-th reset
    std::uint32_t delay_ms = 3000;   // chunk_late, boot_slow, chunk_split (default 1985)
    std::uint32_t gap_ms = 30;       // chunk_split: from the header to the rest of the answer
    std::uint8_t reason = 99;        // chunk_nak, finalize_nak
    bool expected_set = false;       // chunk_nak: use `expected` instead of the index expected
    std::uint32_t expected = 0;
    std::uint32_t count = 16; // noise bytes
    std::uint16_t length = 0; // ack_length (0 means 3), ready_length (0 means 6)
    bool answered = false;    // deaf: the chunk is answered before the device stops reading
};

// The longest serial number or type word a device may have.
inline constexpr std::size_t SIM_WORD_MAX = 8192;

// One device: the connected controller or a CAN peer behind it.
struct sim_device_config {
    std::string serial;              // 1 to SIM_WORD_MAX characters without white space
    std::string type = "controller"; // "reader" marks a reader for kvup
    std::uint16_t variant = 1;
    std::uint8_t active_bank = 0;            // 0 = A, 1 = B; the other bank is written
    std::uint32_t bank_limit = 256 * 1024;   // bytes either bank may hold
    std::int32_t chunk_delay_ms = -1;        // per-chunk processing time; -1 = sim_config default
    std::vector<std::uint8_t> bank_bytes[2]; // initial content of banks A and B
    std::vector<sim_fault> faults;
};

// The connected controller unless told otherwise: serial "KC-0001", variant 1, bank A active.
inline sim_device_config sim_default_self() {
    sim_device_config self;
    self.serial = "KC-0001";
    return self;
}

// Everything the simulator is told at start.
struct sim_config {
    sim_device_config self = sim_default_self(); // the controller on the port
    std::vector<sim_device_config> peers;        // in listing order
    std::string password = "kelvane";
    bool boot_menu = false;                // come up in the service menu (ESC [ 6 n)
    bool echo = false;                     // echo typed characters like an interactive console
    std::uint32_t boot_delay_ms = 0;       // from the reset to the boot output
    std::uint32_t self_chunk_delay_ms = 0; // default per-chunk time of the connected controller
    std::uint32_t peer_chunk_delay_ms = 5; // default per-chunk time of a relayed peer
    std::uint32_t baud = 0;                // pace both directions as 8N1 at this rate; 0 = off
    std::string link_path;                 // symlink to the pty slave, removed at stop; "" = none
    std::function<void(const std::string&)> log; // one line per event, from the sim thread
};

// What became of one update session.
enum class sim_outcome : std::uint8_t {
    open,        // still in progress (or the host went away)
    done,        // finalize accepted, DONE sent, the device runs the new bank
    rejected,    // finalize answered with NAK; nothing written
    aborted,     // ABORT received
    interrupted, // a reset or the disconnect fault ended it
};

struct sim_frame_event {
    std::uint64_t at_us = 0; // when the frame's last byte arrived
    std::string device;      // serial of the device in the dialogue
    std::uint32_t session = 0;
    std::uint8_t type = 0;
    std::uint16_t len = 0;
    std::uint32_t chunk_index = 0;   // CHUNK only
    std::uint32_t chunk_attempt = 0; // CHUNK only: how often this index has arrived, from 1
};

struct sim_nak_event {
    std::uint64_t at_us = 0; // when it was due to go out
    std::string device;
    std::uint32_t session = 0;
    std::uint8_t answer_to = 0; // frame type the NAK answers
    std::uint8_t reason = 0;
    std::uint32_t expected = 0;
};

struct sim_finalize_event {
    std::uint64_t at_us = 0;
    std::string device;
    std::uint32_t session = 0;
    std::uint32_t image_tag = 0;
    std::uint32_t image_len = 0;
    std::uint32_t image_crc = 0;
    std::uint8_t bank = 0;
    bool accepted = false;
    std::uint8_t reason = 0; // of the NAK when not accepted (0 when ignored)
};

struct sim_session_record {
    std::uint32_t number = 0; // from 1, over the whole run
    std::string device;
    std::string command; // the console line that opened it
    std::uint8_t bank = 0;
    std::uint32_t bank_limit = 0;
    std::uint16_t variant = 0;
    std::uint64_t start_us = 0;
    std::uint64_t first_chunk_us = 0; // first byte of the first CHUNK frame; 0 = none yet
    std::uint64_t done_us = 0;        // DONE frame handed to the link; 0 = none
    std::uint32_t chunks_acked = 0;
    sim_outcome outcome = sim_outcome::open;
};

struct sim_bank_record {
    std::vector<std::uint8_t> bytes; // the image as written (no fill)
    std::uint32_t crc = 0;           // CRC-32 of `bytes`
    std::uint32_t writes = 0;        // accepted updates into this bank
};

struct sim_device_record {
    std::string serial;
    std::string type;
    std::uint16_t variant = 0;
    std::uint32_t bank_limit = 0;
    std::uint8_t active_bank = 0;
    sim_bank_record banks[2];
};

// One control transfer the USB host sent to the device (setup fields as on the wire).
struct sim_usb_control_event {
    std::uint64_t at_us = 0;
    std::uint8_t request_type = 0;  // bmRequestType
    std::uint8_t request = 0;       // bRequest
    std::uint16_t value = 0;        // wValue
    std::uint16_t index = 0;        // wIndex
    std::uint16_t length = 0;       // wLength
    std::vector<std::uint8_t> data; // the host's data stage (SET_LINE_CODING: 7 bytes)
    bool stalled = false;
};

// One time DTR was cleared while the device was attached: the reset it was held in.
struct sim_dtr_reset {
    std::uint64_t cleared_us = 0;
    std::uint64_t set_us = 0;        // DTR set again; 0 = still cleared
    std::uint64_t first_host_us = 0; // first bulk OUT byte after set_us; 0 = none yet
};

// What the USB front end saw; empty for the pty front end.
struct sim_usb_record {
    std::uint32_t attaches = 0;
    std::uint32_t unplugs = 0; // detached by the unplug fault
    std::vector<sim_usb_control_event> controls;
    std::vector<sim_dtr_reset> dtr_resets;
    std::uint64_t bulk_out_bytes = 0;
    std::uint64_t bulk_in_bytes = 0;
    std::uint32_t unlinks_pending = 0;  // CMD_UNLINK of a URB still pending: -ECONNRESET
    std::uint32_t unlinks_answered = 0; // CMD_UNLINK of a URB already answered: 0
};

// Everything that happened, for tests and people.
struct sim_record {
    std::vector<std::uint64_t> resets_us; // each reset seen (the host's queue discard)
    std::vector<std::string> lines;       // console lines received, password lines included
    std::uint32_t installer_entries = 0;  // "Installer mode ON" answers
    std::uint32_t password_refusals = 0;
    bool installer_mode = false;         // current state of the connected controller
    std::vector<sim_frame_event> frames; // host frames with a good CRC
    std::uint32_t dropped_frames = 0;    // host frames with a bad CRC or oversize length
    std::uint32_t stray_bytes = 0;       // bytes in the binary dialogue outside any host frame
    std::vector<sim_nak_event> naks;
    std::uint32_t aborts = 0;
    std::vector<sim_finalize_event> finalizes;
    std::vector<sim_session_record> sessions;
    std::vector<sim_device_record> devices;   // [0] the connected controller, then the peers
    std::vector<std::uint64_t> turnaround_us; // ACK written to the next CHUNK's first byte
    std::vector<std::uint64_t> acks_us;       // each ACK's last byte handed to the link
    bool disconnected = false;
    sim_usb_record usb;
    std::uint32_t watchdog_resets = 0; // devices that reset themselves (the watchdog fault)
    std::uint32_t deaf_spells = 0;     // times the link stopped taking host bytes (deaf fault)
    bool deaf = false;                 // it takes none now
};

// The device record with that serial, or null.
const sim_device_record* sim_record_device(const sim_record& record, std::string_view serial);

// The p-th percentile (0-100, nearest rank) of `samples`; 0 for none.
std::uint64_t sim_percentile(std::vector<std::uint64_t> samples, double p);

// A readable multi-line summary of the record, each line ended by "\n".
std::string sim_record_summary(const sim_record& record);

// A running simulator on its own pseudo-terminal and thread. Every member is thread-safe.
class sim_instance {
  public:
    struct impl;
    explicit sim_instance(std::unique_ptr<impl> state);
    ~sim_instance(); // stops the simulator
    sim_instance(const sim_instance&) = delete;
    sim_instance& operator=(const sim_instance&) = delete;

    // The pty slave, e.g. "/dev/pts/7"; stays valid after stop.
    const std::string& slave_path() const;
    // The symlink when one was configured, otherwise the slave path: what to pass to --port.
    const std::string& port_path() const;
    // Ends the loop, closes the pty and removes the link; idempotent.
    void stop();
    // False once stopped or disconnected by the disconnect fault.
    bool running() const;
    // A copy of the record as it stands.
    sim_record record() const;
    // Waits until `done` holds for the record (called under the record's lock, so it must not
    // call back into the instance), or `timeout_ms` passes; true when it held.
    bool wait_for(const std::function<bool(const sim_record&)>& done, std::uint32_t timeout_ms);

  private:
    std::unique_ptr<impl> state_;
};

// Opens a pty, boots the devices on it and runs them on a background thread; null with a reason
// in `*error` (when given) if the pty or the link cannot be made.
std::unique_ptr<sim_instance> sim_start(const sim_config& config, std::string* error = nullptr);
