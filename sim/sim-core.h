#pragma once
// The simulated devices' behaviour without threads, clocks or file descriptors: fed host bytes
// and resets together with the time they happen, it queues timed output bytes and keeps the
// record. The pty shell (sim-pty.cpp) and the tests drive it; it never blocks or sleeps.

#include "fwupdate-protocol.h"
#include "sim.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

// NAK reason codes the simulated devices send on their own account.
inline constexpr std::uint8_t SIM_NAK_OUT_OF_ORDER = 1; // chunk index is not the one expected
inline constexpr std::uint8_t SIM_NAK_TOO_LARGE = 2;    // data or length beyond the bank limit
inline constexpr std::uint8_t SIM_NAK_INCOMPLETE = 3;   // finalize length beyond what arrived
inline constexpr std::uint8_t SIM_NAK_CRC_MISMATCH = 4; // finalize CRC-32 differs
inline constexpr std::uint8_t SIM_NAK_WRONG_BANK = 5;   // finalize bank is not the one offered
inline constexpr std::uint8_t SIM_NAK_BAD_LENGTH = 6;   // payload length wrong for the type
inline constexpr std::uint8_t SIM_NAK_UNKNOWN_TYPE = 7; // frame type not understood
inline constexpr std::uint8_t SIM_NAK_EMPTY_IMAGE = 8;  // finalize length 0: no image to boot

// The console's plain prompt, always printed at the start of a line; the ESC [ K at its end is
// what kvup waits for. It must not begin with a line end of its own: after "Installer mode ON"
// kvup leaves it unread, and the first line of a peer listing runs up to the first line end.
inline constexpr const char* SIM_PROMPT = "kelvane> \x1b[K";

// Resets closer together than this with no host data between them are one reset: Wine's purge
// discards the two queues with two separate flushes.
inline constexpr std::uint64_t SIM_RESET_MERGE_US = 100'000;

class sim_core {
  public:
    // Powers the devices on at `now_us`: boot output follows the boot delay.
    explicit sim_core(const sim_config& config, std::uint64_t now_us = 0);

    // The host discarded both queues, which comes right before its DTR reset pulse.
    void reset(std::uint64_t now_us);

    // USB: the host cleared DTR at `now_us`. The device is held in reset, deaf and silent, until
    // release_reset; a second hold while held does nothing.
    void hold_reset(std::uint64_t now_us);

    // USB: DTR set again (or power back after an unplug) at `now_us`: a held device boots.
    void release_reset(std::uint64_t now_us);

    bool held_in_reset() const { return held_; }

    // Set once the unplug fault has fired; the device is then held until release_reset.
    bool unplug_requested() const { return unplug_; }

    // The USB front end detached the device for the unplug fault.
    void note_unplugged();

    // The USB front end's part of the record; the core only keeps it.
    sim_usb_record& usb_record() { return record_.usb; }

    // Host bytes that arrived at `now_us`.
    void feed(const std::uint8_t* bytes, std::size_t count, std::uint64_t now_us);

    // The bytes that may go out at `now_us`: a prefix of the oldest queued output, empty when
    // nothing is due. Valid until the next call on the core.
    std::span<const std::uint8_t> output_peek(std::uint64_t now_us) const;

    // The first `count` bytes of the last peek have been handed to the link at `now_us`.
    void output_commit(std::size_t count, std::uint64_t now_us);

    // When the oldest queued output becomes due; none when nothing is queued.
    std::optional<std::uint64_t> next_due_us() const;

    // Peeks and commits everything due at `now_us`; for tests.
    std::vector<std::uint8_t> drain(std::uint64_t now_us);

    // Set while the deaf fault holds: the shell takes no host bytes off the link until a reset.
    bool deaf() const { return record_.deaf; }

    // Set once the disconnect fault has fired; the shell then closes the link.
    bool disconnect_requested() const { return disconnect_; }

    // The shell closed the link because of the disconnect fault.
    void note_disconnected();

    const sim_record& record() const { return record_; }

    // Log lines since the last call, oldest first.
    std::vector<std::string> take_log();

  private:
    enum class mode { console, menu, password, binary };
    enum class out_tag { text, frame, ack, done };

    struct out_item {
        std::uint64_t due_us;
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
        out_tag tag;
        std::size_t session; // index into record_.sessions for ack and done
    };

    struct session_state {
        std::size_t device;           // index into record_.devices
        std::size_t record;           // index into record_.sessions
        std::uint32_t device_session; // the device's n-th session, from 1
        std::uint8_t bank;
        std::uint32_t expected = 0;
        std::vector<std::uint8_t> received; // at most the bank limit
        std::map<std::uint32_t, std::uint32_t> attempts;
    };

    void boot(std::uint64_t now_us, std::uint64_t delay_us);
    void clear_console();
    void console_byte(std::uint8_t byte, std::uint64_t now_us);
    void menu_key(std::uint8_t byte, std::uint64_t now_us);
    void password_byte(std::uint8_t byte);
    bool swallow_host_frame(std::uint8_t byte);
    void console_line_end(std::uint8_t byte, bool echo, std::uint64_t now_us);
    void typed_key(std::uint8_t byte, bool echo, std::uint64_t now_us);
    void console_line(const std::string& line, std::uint64_t now_us);
    void fwupdate_command(const std::string& line, const std::vector<std::string>& words,
                          std::uint64_t now_us);
    void start_session(std::size_t device, const std::string& command, std::uint64_t now_us);
    void end_session(sim_outcome outcome);
    void binary_byte(std::uint8_t byte, std::uint64_t now_us);
    void host_frame(std::uint8_t type, std::uint16_t len, std::uint64_t now_us);
    void chunk_frame(std::uint16_t len, std::uint64_t now_us);
    struct chunk_answer;
    const sim_fault* chunk_fault(const chunk_answer& answer, sim_fault_kind kind) const;
    bool chunk_lost(chunk_answer& answer);
    void judge_chunk(chunk_answer& answer);
    void chunk_nak(chunk_answer& answer, std::uint8_t reason, std::uint32_t expected);
    void send_chunk_answer(chunk_answer& answer);
    void finalize_frame(std::uint16_t len, std::uint64_t now_us);
    void send_nak(std::uint8_t answer_to, std::uint8_t reason, std::uint32_t expected,
                  std::uint64_t due_us);
    void back_to_prompt(std::uint64_t due_us);
    void watchdog_reset(std::uint64_t now_us, const std::string& what);
    bool go_deaf(chunk_answer& answer);
    void cure_deafness();

    const sim_fault* fault(std::size_t device, sim_fault_kind kind, std::uint32_t session,
                           std::uint32_t chunk = 0, std::uint32_t attempt = 0) const;
    const sim_fault* console_fault(sim_fault_kind kind) const;
    std::uint64_t delay_us(std::size_t device) const;

    void send_text(const std::string& text, std::uint64_t due_us);
    void send_frame(std::uint8_t type, const std::uint8_t* payload, std::uint16_t len,
                    std::uint64_t due_us, out_tag tag = out_tag::frame, bool bad_crc = false);
    void send_raw(std::vector<std::uint8_t> bytes, std::uint64_t due_us, out_tag tag);
    void log(std::string line);

    sim_config config_;
    std::vector<const sim_device_config*> device_configs_; // parallel to record_.devices
    sim_record record_;
    std::vector<std::uint32_t> device_sessions_; // sessions so far per device
    std::deque<out_item> out_;
    std::vector<std::string> log_;

    mode mode_ = mode::console;
    std::uint64_t boot_ready_us_ = 0; // host bytes before this are lost in the boot
    bool host_data_since_reset_ = true;
    std::string line_;
    bool line_garbage_ = false;
    bool cr_pending_ = false;
    int frame_header_left_ = 0; // a host frame met the console: header bytes still to come
    std::uint16_t frame_len_ = 0;
    std::size_t frame_skip_left_ = 0; // its payload and CRC bytes still to swallow

    std::optional<session_state> session_;
    fwu_parser parser_{};
    std::uint8_t payload_[FWU_MAX_PAYLOAD]{};
    bool in_frame_ = false;
    std::uint64_t frame_start_us_ = 0;
    bool turnaround_armed_ = false;
    std::uint64_t ack_written_us_ = 0;
    std::optional<std::uint64_t> pending_turnaround_us_;
    bool disconnect_ = false;
    bool held_ = false;   // in reset (DTR cleared) or without power (unplugged)
    bool unplug_ = false; // the unplug fault fired and the front end has not detached yet
};
