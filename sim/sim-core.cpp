#include "sim-core.h"

#include "byte-order.h"
#include "crc32.h"

#include <algorithm>
#include <cstdio>

namespace {

// A console line longer than this is not a command a person could have typed: it is dropped.
constexpr std::size_t SIM_LINE_MAX = 200;

// Noise that cannot start a device frame: no 0xF2 in it, so kvup's receiver hunts through it
// (0xF1 included, which a host must not mistake for a frame of its own).
constexpr std::uint8_t NOISE_PATTERN[] = {0x55, 0xAA, 0x00, 0xF1, 0x0D, 0x0A, 0x7E, 0x13};

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

char bank_letter(std::uint8_t bank) {
    return static_cast<char>('A' + bank);
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool chunk_scoped(sim_fault_kind kind) {
    switch (kind) {
    case sim_fault_kind::watchdog:
    case sim_fault_kind::chunk_silent:
    case sim_fault_kind::chunk_late:
    case sim_fault_kind::chunk_nak:
    case sim_fault_kind::chunk_bad_crc:
    case sim_fault_kind::chunk_noise:
    case sim_fault_kind::chunk_oversize:
    case sim_fault_kind::ack_length:
    case sim_fault_kind::disconnect:
    case sim_fault_kind::unplug:
    case sim_fault_kind::chunk_split:
    case sim_fault_kind::deaf:
        return true;
    default:
        return false;
    }
}

std::vector<std::uint8_t> noise(std::uint32_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        bytes[i] = NOISE_PATTERN[i % sizeof NOISE_PATTERN];
    }
    return bytes;
}

} // namespace

sim_core::sim_core(const sim_config& config, std::uint64_t now_us) : config_(config) {
    device_configs_.push_back(&config_.self);
    for (const sim_device_config& peer : config_.peers) {
        device_configs_.push_back(&peer);
    }
    for (const sim_device_config* device : device_configs_) {
        sim_device_record rec;
        rec.serial = device->serial;
        rec.type = device->type;
        rec.variant = device->variant;
        rec.bank_limit = device->bank_limit;
        rec.active_bank = device->active_bank > 1 ? 1 : device->active_bank;
        for (int bank = 0; bank < 2; ++bank) {
            rec.banks[bank].bytes = device->bank_bytes[bank];
            rec.banks[bank].crc = crc32(rec.banks[bank].bytes.data(),
                                        static_cast<std::uint32_t>(rec.banks[bank].bytes.size()));
        }
        record_.devices.push_back(std::move(rec));
    }
    device_sessions_.assign(device_configs_.size(), 0);
    boot(now_us, std::uint64_t{config_.boot_delay_ms} * 1000);
}

void sim_core::reset(std::uint64_t now_us) {
    if (disconnect_) {
        return;
    }
    const bool merge = !record_.resets_us.empty() && !host_data_since_reset_ &&
                       now_us - record_.resets_us.back() < SIM_RESET_MERGE_US;
    out_.clear(); // whatever had not gone out is lost with the reset
    cure_deafness();
    if (session_) {
        end_session(sim_outcome::interrupted);
    }
    if (!merge) {
        record_.resets_us.push_back(now_us);
        log("reset");
    }
    host_data_since_reset_ = false;
    boot(now_us, std::uint64_t{config_.boot_delay_ms} * 1000);
}

void sim_core::hold_reset(std::uint64_t now_us) {
    if (disconnect_ || held_) {
        return;
    }
    held_ = true;
    out_.clear();
    cure_deafness();
    if (session_) {
        end_session(sim_outcome::interrupted);
    }
    record_.resets_us.push_back(now_us);
    log("reset: held while DTR is cleared");
    boot_ready_us_ = UINT64_MAX; // deaf until it boots
}

void sim_core::release_reset(std::uint64_t now_us) {
    if (disconnect_ || !held_) {
        return;
    }
    held_ = false;
    unplug_ = false;
    boot(now_us, std::uint64_t{config_.boot_delay_ms} * 1000);
}

void sim_core::note_unplugged() {
    unplug_ = false;
    ++record_.usb.unplugs;
}

void sim_core::boot(std::uint64_t now_us, std::uint64_t delay_us) {
    const sim_device_record& self = record_.devices[0];
    mode_ = config_.boot_menu ? mode::menu : mode::console;
    clear_console();
    record_.installer_mode = false;
    in_frame_ = false;
    turnaround_armed_ = false;
    pending_turnaround_us_.reset();

    if (const sim_fault* slow = console_fault(sim_fault_kind::boot_slow)) {
        delay_us += std::uint64_t{slow->delay_ms} * 1000;
        log("fault: boot delayed by " + std::to_string(slow->delay_ms) + " ms");
    }
    boot_ready_us_ = now_us + delay_us;

    std::string text = "\r\nKelvane " + self.type + " " + self.serial + "\r\nvariant " +
                       std::to_string(self.variant) + ", running bank " +
                       bank_letter(self.active_bank) + "\r\n";
    std::string marker = SIM_PROMPT;
    if (config_.boot_menu) {
        text += "\r\n== Kelvane service menu ==\r\n 1) Network\r\n 2) Diagnostics\r\n"
                " ESC) Plain console\r\n";
        marker = "\x1b[6n"; // the menu asks for the cursor position
    }
    if (console_fault(sim_fault_kind::boot_silent)) {
        log("fault: boot without prompt marker");
    } else {
        text += marker;
    }
    send_text(text, boot_ready_us_);
    log(std::string("boot: running bank ") + bank_letter(self.active_bank) +
        (config_.boot_menu ? ", service menu" : ", plain prompt"));
}

void sim_core::clear_console() {
    line_.clear();
    line_garbage_ = false;
    cr_pending_ = false;
    frame_header_left_ = 0;
    frame_skip_left_ = 0;
}

void sim_core::feed(const std::uint8_t* bytes, std::size_t count, std::uint64_t now_us) {
    for (std::size_t i = 0; i < count && !disconnect_ && !record_.deaf; ++i) {
        host_data_since_reset_ = true;
        if (now_us < boot_ready_us_) {
            continue; // a booting device hears nothing
        }
        if (mode_ == mode::binary) {
            binary_byte(bytes[i], now_us);
        } else {
            console_byte(bytes[i], now_us);
        }
    }
}

void sim_core::console_byte(std::uint8_t byte, std::uint64_t now_us) {
    const bool echo = config_.echo && mode_ != mode::password;
    if (mode_ == mode::menu) {
        menu_key(byte, now_us);
        return;
    }
    if (mode_ == mode::password && byte != '\r' && byte != '\n') {
        password_byte(byte);
        return;
    }
    if (swallow_host_frame(byte)) {
        return;
    }
    if (cr_pending_) {
        cr_pending_ = false;
        if (byte == '\n') {
            return; // CR LF is one line end
        }
    }
    if (byte == '\r' || byte == '\n') {
        console_line_end(byte, echo, now_us);
        return;
    }
    typed_key(byte, echo, now_us);
}

void sim_core::menu_key(std::uint8_t byte, std::uint64_t now_us) {
    if (byte == 0x1B) {
        mode_ = mode::console;
        log("menu: escaped to the plain prompt");
        send_text(std::string("\r\n") + SIM_PROMPT, now_us);
    }
    // Other menu keys do nothing in this simulation.
}

// The password is judged byte for byte as the host sent it: no key edits it and no control
// byte spoils it, so a password may hold any byte but the line ends.
void sim_core::password_byte(std::uint8_t byte) {
    cr_pending_ = false;
    if (line_.size() < SIM_LINE_MAX) {
        line_ += static_cast<char>(byte);
    } else {
        line_garbage_ = true;
    }
}

// 0xF1 is no key a person can type: it starts a host frame, which the console swallows by its
// length so that no text inside it can pass for a command. True when the byte was swallowed.
bool sim_core::swallow_host_frame(std::uint8_t byte) {
    if (frame_skip_left_ > 0) {
        --frame_skip_left_;
        return true;
    }
    if (frame_header_left_ > 0) {
        --frame_header_left_;
        if (frame_header_left_ == 1) {
            frame_len_ = byte;
        } else if (frame_header_left_ == 0) {
            frame_len_ = static_cast<std::uint16_t>(frame_len_ | byte << 8);
            frame_skip_left_ = frame_len_ <= FWU_MAX_PAYLOAD ? frame_len_ + std::size_t{4} : 0;
            log("console: host frame ignored");
        }
        return true;
    }
    if (byte == FWU_SOF_HOST) {
        frame_header_left_ = 3;
        line_.clear();
        line_garbage_ = false;
        cr_pending_ = false;
        return true;
    }
    return false;
}

void sim_core::console_line_end(std::uint8_t byte, bool echo, std::uint64_t now_us) {
    cr_pending_ = byte == '\r';
    if (echo) {
        send_text("\r\n", now_us);
    }
    std::string line;
    line.swap(line_);
    const bool garbage = line_garbage_;
    line_garbage_ = false;
    if (garbage) {
        log("console: line with binary bytes ignored");
        return;
    }
    console_line(line, now_us);
}

// A key of the line being typed: rub-out, the host's menu escapes, or a character.
void sim_core::typed_key(std::uint8_t byte, bool echo, std::uint64_t now_us) {
    if (byte == 0x7F || byte == 0x08) {
        if (!line_.empty()) {
            line_.pop_back();
            if (echo) {
                send_text("\b \b", now_us);
            }
        }
        return;
    }
    if (byte == 0x1B) {
        return; // the rest of the host's ten menu escapes
    }
    if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
        if (line_.size() < SIM_LINE_MAX) {
            line_ += static_cast<char>(byte);
            if (echo) {
                send_text(std::string(1, static_cast<char>(byte)), now_us);
            }
        } else {
            line_garbage_ = true;
        }
        return;
    }
    // Bytes no keyboard sends: a host frame has met the console. Its line is never a command.
    line_garbage_ = true;
}

void sim_core::console_line(const std::string& line, std::uint64_t now_us) {
    if (mode_ == mode::password) {
        record_.lines.push_back(line);
        mode_ = mode::console;
        if (console_fault(sim_fault_kind::installer_cancel)) {
            log("fault: installer entry cancelled");
            send_text(std::string("Cancelled\r\n") + SIM_PROMPT, now_us);
        } else if (line == config_.password) {
            record_.installer_mode = true;
            ++record_.installer_entries;
            log("installer mode ON");
            send_text(std::string("Installer mode ON\r\n") + SIM_PROMPT, now_us);
        } else {
            ++record_.password_refusals;
            log("installer password refused");
            send_text(std::string("ERROR: incorrect password\r\n") + SIM_PROMPT, now_us);
        }
        return;
    }

    const std::vector<std::string> words = split_words(line);
    if (words.empty()) {
        send_text(std::string("\r\n") + SIM_PROMPT, now_us);
        return;
    }
    record_.lines.push_back(line);
    log("console: " + line);
    if (words.size() == 2 && words[0] == "installer" && words[1] == "on") {
        if (console_fault(sim_fault_kind::no_password_prompt)) {
            log("fault: no password prompt");
            send_text(SIM_PROMPT, now_us);
            return;
        }
        mode_ = mode::password;
        send_text("Installer password: ", now_us);
    } else if (words.size() == 2 && words[0] == "installer" && words[1] == "off") {
        record_.installer_mode = false;
        send_text(std::string("Installer mode OFF\r\n") + SIM_PROMPT, now_us);
    } else if (words.size() == 1 && words[0] == "help") {
        send_text(std::string("commands: installer on|off, fwupdate peers, fwupdate start, "
                              "fwupdate relay SERIAL\r\n") +
                      SIM_PROMPT,
                  now_us);
    } else if (words[0] == "fwupdate") {
        fwupdate_command(line, words, now_us);
    } else {
        send_text("ERROR: unknown command '" + words[0] + "'\r\n" + SIM_PROMPT, now_us);
    }
}

void sim_core::fwupdate_command(const std::string& line, const std::vector<std::string>& words,
                                std::uint64_t now_us) {
    const std::string sub = words.size() > 1 ? words[1] : "";
    if (sub == "peers" && words.size() == 2) {
        // The first line is one word, so a host that skips the echo as the first line still
        // skips this one as a line without two words.
        std::string text = "peers:\r\n";
        for (std::size_t i = 1; i < record_.devices.size(); ++i) {
            text += record_.devices[i].serial + " " + record_.devices[i].type + "\r\n";
        }
        send_text(text + "END\r\n" + SIM_PROMPT, now_us);
        return;
    }
    const bool start = sub == "start" && words.size() == 2;
    const bool relay = sub == "relay" && words.size() == 3;
    if (!start && !relay) {
        send_text(std::string("ERROR: usage: fwupdate peers | fwupdate start | fwupdate relay "
                              "SERIAL\r\n") +
                      SIM_PROMPT,
                  now_us);
        return;
    }
    if (!record_.installer_mode) {
        log("refused '" + line + "': installer mode is off");
        send_text(std::string("ERROR: installer mode is off\r\n") + SIM_PROMPT, now_us);
        return;
    }
    if (start) {
        start_session(0, line, now_us);
        return;
    }
    for (std::size_t i = 1; i < record_.devices.size(); ++i) {
        if (record_.devices[i].serial == words[2]) {
            start_session(i, line, now_us);
            return;
        }
    }
    log("refused '" + line + "': no such CAN peer");
    send_text("ERROR: no CAN peer with serial '" + words[2] + "'\r\n" + SIM_PROMPT, now_us);
}

void sim_core::start_session(std::size_t device, const std::string& command, std::uint64_t now_us) {
    const sim_device_record& dev = record_.devices[device];
    const std::uint32_t device_session = ++device_sessions_[device];

    sim_session_record rec;
    rec.number = static_cast<std::uint32_t>(record_.sessions.size() + 1);
    rec.device = dev.serial;
    rec.command = command;
    rec.bank = static_cast<std::uint8_t>(1 - dev.active_bank);
    rec.bank_limit = dev.bank_limit;
    rec.variant = dev.variant;
    rec.start_us = now_us;
    record_.sessions.push_back(rec);

    session_state state;
    state.device = device;
    state.record = record_.sessions.size() - 1;
    state.device_session = device_session;
    state.bank = rec.bank;
    session_ = std::move(state);
    mode_ = mode::binary;
    fwu_parser_init(parser_, FWU_SOF_HOST, payload_);
    in_frame_ = false;
    turnaround_armed_ = false;
    pending_turnaround_us_.reset();

    log("session " + std::to_string(rec.number) + ": " + dev.serial + " writes bank " +
        bank_letter(rec.bank) + " (limit " + std::to_string(rec.bank_limit) + " bytes, variant " +
        std::to_string(rec.variant) + ")");
    if (fault(device, sim_fault_kind::start_silent, device_session)) {
        log("fault: no READY");
        return;
    }
    const std::uint64_t due_us = now_us + delay_us(device);
    std::uint8_t payload[8] = {};
    payload[0] = rec.bank;
    put_le32(payload + 1, rec.bank_limit);
    payload[5] = static_cast<std::uint8_t>(rec.variant);
    payload[6] = static_cast<std::uint8_t>(rec.variant >> 8);
    std::uint16_t len = FWU_READY_LEN;
    if (const sim_fault* f = fault(device, sim_fault_kind::ready_length, device_session)) {
        len = f->length != 0 ? std::min<std::uint16_t>(f->length, 8) : 6;
        log("fault: READY of " + std::to_string(len) + " bytes");
    }
    if (const sim_fault* f = fault(device, sim_fault_kind::ready_noise, device_session)) {
        log("fault: " + std::to_string(f->count) + " noise bytes before READY");
        send_raw(noise(f->count), due_us, out_tag::text);
    }
    send_frame(FWU_RSP_READY, payload, len, due_us);
}

void sim_core::end_session(sim_outcome outcome) {
    if (!session_) {
        return;
    }
    record_.sessions[session_->record].outcome = outcome;
    session_.reset();
    mode_ = mode::console;
    clear_console();
    in_frame_ = false;
    turnaround_armed_ = false;
    pending_turnaround_us_.reset();
}

void sim_core::binary_byte(std::uint8_t byte, std::uint64_t now_us) {
    if (!in_frame_ && byte != FWU_SOF_HOST) {
        ++record_.stray_bytes; // a host sends nothing but frames here
    }
    if (!in_frame_ && byte == FWU_SOF_HOST) {
        in_frame_ = true;
        frame_start_us_ = now_us;
        if (turnaround_armed_) {
            pending_turnaround_us_ = now_us - ack_written_us_;
            turnaround_armed_ = false;
        }
    }
    switch (fwu_parser_feed(parser_, byte)) {
    case fwu_feed_result::more:
        break;
    case fwu_feed_result::dropped:
        in_frame_ = false;
        pending_turnaround_us_.reset();
        ++record_.dropped_frames;
        log("host frame dropped (bad CRC or length)");
        break;
    case fwu_feed_result::frame:
        in_frame_ = false;
        host_frame(parser_.type, parser_.len, now_us);
        break;
    }
}

void sim_core::host_frame(std::uint8_t type, std::uint16_t len, std::uint64_t now_us) {
    session_state& s = *session_;
    sim_frame_event ev;
    ev.at_us = now_us;
    ev.device = record_.devices[s.device].serial;
    ev.session = record_.sessions[s.record].number;
    ev.type = type;
    ev.len = len;
    if (type == FWU_CMD_CHUNK && len >= 4) {
        ev.chunk_index = get_le32(payload_);
        ev.chunk_attempt = ++s.attempts[ev.chunk_index];
    }
    record_.frames.push_back(ev);

    const std::uint64_t due_us = now_us + delay_us(s.device);
    if (type == FWU_CMD_CHUNK) {
        chunk_frame(len, now_us);
    } else if (type == FWU_CMD_FINALIZE) {
        finalize_frame(len, now_us);
    } else if (type == FWU_CMD_ABORT) {
        // One ACK carrying the index the device expected next: the host only waits for some
        // answer, and an ACK cannot be mistaken for a verdict on an image.
        ++record_.aborts;
        log("abort received after " + std::to_string(s.expected) + " chunks");
        std::uint8_t payload[4];
        put_le32(payload, s.expected);
        end_session(sim_outcome::aborted);
        send_frame(FWU_RSP_ACK, payload, 4, due_us);
        back_to_prompt(due_us);
    } else {
        send_nak(type, SIM_NAK_UNKNOWN_TYPE, s.expected, due_us);
    }
}

// A chunk frame's answer as it is being decided, and the chunk and attempt it answers.
struct sim_core::chunk_answer {
    std::uint32_t index;
    std::uint32_t attempt;
    std::string what; // "chunk I attempt N", for the log
    std::uint64_t due_us;
    std::uint8_t type = FWU_RSP_ACK;
    std::uint8_t payload[8] = {};
    std::uint16_t len = FWU_ACK_LEN;
    std::uint64_t split_gap_us = 0; // chunk_split: the pause after the header; 0 = none
};

void sim_core::chunk_frame(std::uint16_t len, std::uint64_t now_us) {
    session_state& s = *session_;
    sim_session_record& rec = record_.sessions[s.record];
    chunk_answer answer;
    answer.due_us = now_us + delay_us(s.device);
    if (len != FWU_MAX_PAYLOAD) {
        send_nak(FWU_CMD_CHUNK, SIM_NAK_BAD_LENGTH, s.expected, answer.due_us);
        return;
    }
    if (rec.first_chunk_us == 0) {
        rec.first_chunk_us = frame_start_us_;
    }
    if (pending_turnaround_us_) {
        record_.turnaround_us.push_back(*pending_turnaround_us_);
        pending_turnaround_us_.reset();
    }
    answer.index = record_.frames.back().chunk_index;
    answer.attempt = record_.frames.back().chunk_attempt;
    answer.what =
        "chunk " + std::to_string(answer.index) + " attempt " + std::to_string(answer.attempt);

    if (chunk_fault(answer, sim_fault_kind::watchdog)) {
        watchdog_reset(now_us, answer.what);
        return;
    }
    if (go_deaf(answer) || chunk_lost(answer)) {
        return;
    }
    if (const sim_fault* split = chunk_fault(answer, sim_fault_kind::chunk_split)) {
        answer.due_us = now_us + std::uint64_t{split->delay_ms} * 1000;
        answer.split_gap_us = std::uint64_t{split->gap_ms} * 1000;
        log("fault: answer to " + answer.what + " split: header after " +
            std::to_string(split->delay_ms) + " ms, the rest " + std::to_string(split->gap_ms) +
            " ms later");
    }
    judge_chunk(answer);
    send_chunk_answer(answer);
}

const sim_fault* sim_core::chunk_fault(const chunk_answer& answer, sim_fault_kind kind) const {
    return fault(session_->device, kind, session_->device_session, answer.index, answer.attempt);
}

// The faults that take the answer away (true: none is sent) or delay it.
bool sim_core::chunk_lost(chunk_answer& answer) {
    if (chunk_fault(answer, sim_fault_kind::disconnect)) {
        log("fault: disconnect at " + answer.what);
        end_session(sim_outcome::interrupted);
        disconnect_ = true;
        return true;
    }
    if (chunk_fault(answer, sim_fault_kind::unplug)) {
        log("fault: unplug at " + answer.what);
        end_session(sim_outcome::interrupted);
        out_.clear();
        held_ = true; // without power until it is attached again
        unplug_ = true;
        boot_ready_us_ = UINT64_MAX;
        return true;
    }
    if (chunk_fault(answer, sim_fault_kind::chunk_silent)) {
        log("fault: " + answer.what + " lost, no answer");
        return true;
    }
    if (const sim_fault* late = chunk_fault(answer, sim_fault_kind::chunk_late)) {
        answer.due_us += std::uint64_t{late->delay_ms} * 1000;
        log("fault: answer to " + answer.what + " delayed by " + std::to_string(late->delay_ms) +
            " ms");
    }
    return false;
}

// The deaf fault: true when it took the chunk (answered first, or lost with the hang).
bool sim_core::go_deaf(chunk_answer& answer) {
    const sim_fault* f = chunk_fault(answer, sim_fault_kind::deaf);
    if (f == nullptr) {
        return false;
    }
    log("fault: deaf from " + answer.what + (f->answered ? ", after its answer" : ", unanswered"));
    record_.deaf = true;
    ++record_.deaf_spells;
    if (f->answered) {
        judge_chunk(answer);
        send_chunk_answer(answer);
    }
    return true;
}

// A hang that the controller's reset cures: it hears the host again.
void sim_core::cure_deafness() {
    if (record_.deaf) {
        record_.deaf = false;
        log("deaf spell ended by the reset");
    }
}

void sim_core::chunk_nak(chunk_answer& answer, std::uint8_t reason, std::uint32_t expected) {
    const session_state& s = *session_;
    answer.type = FWU_RSP_NAK;
    answer.len = FWU_NAK_LEN;
    answer.payload[0] = reason;
    put_le32(answer.payload + 1, expected);
    sim_nak_event nak;
    nak.at_us = answer.due_us;
    nak.device = record_.devices[s.device].serial;
    nak.session = record_.sessions[s.record].number;
    nak.answer_to = FWU_CMD_CHUNK;
    nak.reason = reason;
    nak.expected = expected;
    record_.naks.push_back(nak);
    log("NAK " + answer.what + ": reason " + std::to_string(reason) + ", expects " +
        std::to_string(expected));
}

// ACK and keep the data of the expected chunk; NAK one out of order or over the bank's limit.
void sim_core::judge_chunk(chunk_answer& answer) {
    session_state& s = *session_;
    sim_session_record& rec = record_.sessions[s.record];
    const sim_device_record& dev = record_.devices[s.device];
    const sim_fault* pingpong = fault(s.device, sim_fault_kind::nak_pingpong, s.device_session);
    if (const sim_fault* f = chunk_fault(answer, sim_fault_kind::chunk_nak)) {
        log("fault: NAK instead of an answer");
        chunk_nak(answer, f->reason, f->expected_set ? f->expected : s.expected);
    } else if (pingpong != nullptr && answer.index > pingpong->chunk) {
        // The device loses everything after the chunk and wants it again, every time.
        log("fault: back to chunk " + std::to_string(pingpong->chunk));
        if (s.expected > pingpong->chunk) {
            s.expected = pingpong->chunk;
            const std::uint64_t kept = std::uint64_t{pingpong->chunk} * FWU_CHUNK_SIZE;
            if (s.received.size() > kept) {
                s.received.resize(static_cast<std::size_t>(kept));
            }
        }
        chunk_nak(answer, SIM_NAK_OUT_OF_ORDER, pingpong->chunk);
    } else if (answer.index != s.expected) {
        chunk_nak(answer, SIM_NAK_OUT_OF_ORDER, s.expected);
    } else {
        const std::uint64_t offset = std::uint64_t{answer.index} * FWU_CHUNK_SIZE;
        const std::size_t keep = offset >= dev.bank_limit
                                     ? 0
                                     : static_cast<std::size_t>(std::min<std::uint64_t>(
                                           FWU_CHUNK_SIZE, dev.bank_limit - offset));
        const std::uint8_t* data = payload_ + 4;
        // Fill past the image end may run over the limit; data may not.
        const bool overflow = std::any_of(data + keep, data + FWU_CHUNK_SIZE,
                                          [](std::uint8_t b) { return b != 0xFF; });
        if (overflow) {
            chunk_nak(answer, SIM_NAK_TOO_LARGE, s.expected);
        } else {
            s.received.insert(s.received.end(), data, data + keep);
            ++s.expected;
            ++rec.chunks_acked;
            put_le32(answer.payload, answer.index);
        }
    }
}

// Sends the answer, with the faults that spoil it or put bytes ahead of it.
void sim_core::send_chunk_answer(chunk_answer& answer) {
    if (answer.type == FWU_RSP_ACK) {
        if (const sim_fault* f = chunk_fault(answer, sim_fault_kind::ack_length)) {
            answer.len = f->length != 0 ? std::min<std::uint16_t>(f->length, 8) : 3;
            log("fault: ACK of " + std::to_string(answer.len) + " bytes");
        }
    }
    if (const sim_fault* f = chunk_fault(answer, sim_fault_kind::chunk_noise)) {
        log("fault: " + std::to_string(f->count) + " noise bytes before the answer");
        send_raw(noise(f->count), answer.due_us, out_tag::text);
    }
    if (chunk_fault(answer, sim_fault_kind::chunk_oversize)) {
        log("fault: oversize frame header before the answer");
        send_raw({FWU_SOF_DEVICE, FWU_RSP_ACK, 0xFF, 0xFF}, answer.due_us, out_tag::text);
    }
    const bool bad_crc = chunk_fault(answer, sim_fault_kind::chunk_bad_crc) != nullptr;
    if (bad_crc) {
        log("fault: corrupt CRC on the answer");
    }
    const out_tag tag = answer.type == FWU_RSP_ACK ? out_tag::ack : out_tag::frame;
    if (answer.split_gap_us == 0) {
        send_frame(answer.type, answer.payload, answer.len, answer.due_us, tag, bad_crc);
        return;
    }
    std::vector<std::uint8_t> frame(std::size_t{answer.len} + FWU_FRAME_OVERHEAD);
    frame.resize(
        fwu_frame_encode(FWU_SOF_DEVICE, answer.type, answer.payload, answer.len, frame.data()));
    if (bad_crc) {
        frame.back() ^= 0xFF;
    }
    constexpr std::size_t HEADER = 4; // start byte, type, length
    send_raw({frame.begin(), frame.begin() + HEADER}, answer.due_us, out_tag::text);
    send_raw({frame.begin() + HEADER, frame.end()}, answer.due_us + answer.split_gap_us, tag);
}

void sim_core::finalize_frame(std::uint16_t len, std::uint64_t now_us) {
    session_state& s = *session_;
    sim_device_record& dev = record_.devices[s.device];
    const std::uint64_t due_us = now_us + delay_us(s.device);
    if (len != FWU_FINALIZE_LEN) {
        send_nak(FWU_CMD_FINALIZE, SIM_NAK_BAD_LENGTH, s.expected, due_us);
        end_session(sim_outcome::rejected);
        back_to_prompt(due_us);
        return;
    }
    sim_finalize_event ev;
    ev.at_us = now_us;
    ev.device = dev.serial;
    ev.session = record_.sessions[s.record].number;
    ev.image_tag = get_le32(payload_);
    ev.image_len = get_le32(payload_ + 4);
    ev.image_crc = get_le32(payload_ + 8);
    ev.bank = payload_[12];
    const std::string what = "finalize " + std::to_string(ev.image_len) + " bytes, CRC-32 " +
                             hex32(ev.image_crc) + ", bank " + bank_letter(ev.bank);

    if (fault(s.device, sim_fault_kind::watchdog_finalize, s.device_session)) {
        record_.finalizes.push_back(ev);
        watchdog_reset(now_us, what);
        return;
    }
    if (fault(s.device, sim_fault_kind::finalize_silent, s.device_session)) {
        log("fault: " + what + " ignored");
        record_.finalizes.push_back(ev);
        return;
    }
    std::uint8_t reason = 0;
    if (const sim_fault* f = fault(s.device, sim_fault_kind::finalize_nak, s.device_session)) {
        log("fault: " + what + " rejected");
        reason = f->reason;
    } else if (ev.bank != s.bank) {
        reason = SIM_NAK_WRONG_BANK;
    } else if (ev.image_len == 0) {
        // Marking an empty bank valid and booting into it would leave the device with no firmware.
        reason = SIM_NAK_EMPTY_IMAGE;
    } else if (ev.image_len > dev.bank_limit) {
        reason = SIM_NAK_TOO_LARGE;
    } else if (ev.image_len > s.received.size()) {
        reason = SIM_NAK_INCOMPLETE;
    } else if (crc32(s.received.data(), ev.image_len) != ev.image_crc) {
        reason = SIM_NAK_CRC_MISMATCH;
    }
    if (reason != 0) {
        ev.reason = reason;
        record_.finalizes.push_back(ev);
        log(what + " rejected, reason " + std::to_string(reason) + "; bank " +
            bank_letter(dev.active_bank) + " stays active");
        send_nak(FWU_CMD_FINALIZE, reason, s.expected, due_us);
        end_session(sim_outcome::rejected);
        back_to_prompt(due_us);
        return;
    }

    ev.accepted = true;
    record_.finalizes.push_back(ev);
    sim_bank_record& bank = dev.banks[s.bank];
    bank.bytes.assign(s.received.begin(), s.received.begin() + ev.image_len);
    bank.crc = ev.image_crc;
    ++bank.writes;
    dev.active_bank = s.bank;
    log(what + " accepted; " + dev.serial + " reboots into bank " + bank_letter(s.bank));

    const std::size_t device = s.device;
    const std::size_t session_record = s.record;
    end_session(sim_outcome::done);
    send_frame(FWU_RSP_DONE, nullptr, 0, due_us, out_tag::done);
    out_.back().session = session_record;
    if (device == 0) {
        boot(due_us, std::uint64_t{config_.boot_delay_ms} * 1000);
    } else {
        back_to_prompt(due_us); // the peer reboots; the relaying controller stays at its prompt
    }
}

void sim_core::send_nak(std::uint8_t answer_to, std::uint8_t reason, std::uint32_t expected,
                        std::uint64_t due_us) {
    sim_nak_event nak;
    nak.at_us = due_us;
    if (session_) {
        nak.device = record_.devices[session_->device].serial;
        nak.session = record_.sessions[session_->record].number;
    }
    nak.answer_to = answer_to;
    nak.reason = reason;
    nak.expected = expected;
    record_.naks.push_back(nak);
    std::uint8_t payload[FWU_NAK_LEN];
    payload[0] = reason;
    put_le32(payload + 1, expected);
    send_frame(FWU_RSP_NAK, payload, FWU_NAK_LEN, due_us);
}

void sim_core::back_to_prompt(std::uint64_t due_us) {
    send_text(std::string("\r\n") + SIM_PROMPT, due_us); // binary output left the line open
}

void sim_core::watchdog_reset(std::uint64_t now_us, const std::string& what) {
    const std::size_t device = session_->device;
    const sim_device_record& dev = record_.devices[device];
    log("fault: watchdog reset of " + dev.serial + " at " + what + "; bank " +
        bank_letter(dev.active_bank) + " stays active");
    ++record_.watchdog_resets;
    end_session(sim_outcome::interrupted);
    if (device == 0) {
        out_.clear(); // what the controller had not sent yet is lost with it
        boot(now_us, std::uint64_t{config_.boot_delay_ms} * 1000);
        return;
    }
    // The relaying controller passes the peer's boot text on and returns to its prompt, still in
    // installer mode.
    send_text("\r\nKelvane " + dev.type + " " + dev.serial + "\r\nvariant " +
                  std::to_string(dev.variant) + ", running bank " + bank_letter(dev.active_bank) +
                  "\r\n",
              now_us + delay_us(device));
    back_to_prompt(now_us + delay_us(device));
}

const sim_fault* sim_core::fault(std::size_t device, sim_fault_kind kind, std::uint32_t session,
                                 std::uint32_t chunk, std::uint32_t attempt) const {
    for (const sim_fault& f : device_configs_[device]->faults) {
        if (f.kind != kind || (f.session != 0 && f.session != session)) {
            continue;
        }
        if (chunk_scoped(kind) &&
            (f.chunk != chunk || (f.chunk_attempt != 0 && f.chunk_attempt != attempt))) {
            continue;
        }
        return &f;
    }
    return nullptr;
}

const sim_fault* sim_core::console_fault(sim_fault_kind kind) const {
    const auto resets = static_cast<std::uint32_t>(record_.resets_us.size());
    for (const sim_fault& f : config_.self.faults) {
        if (f.kind == kind && (f.session == 0 || f.session == resets)) {
            return &f;
        }
    }
    return nullptr;
}

std::uint64_t sim_core::delay_us(std::size_t device) const {
    const std::int32_t own = device_configs_[device]->chunk_delay_ms;
    std::uint64_t ms = 0;
    if (own >= 0) {
        ms = static_cast<std::uint64_t>(own);
    } else {
        ms = device == 0 ? config_.self_chunk_delay_ms : config_.peer_chunk_delay_ms;
    }
    return ms * 1000;
}

void sim_core::send_text(const std::string& text, std::uint64_t due_us) {
    send_raw(std::vector<std::uint8_t>(text.begin(), text.end()), due_us, out_tag::text);
}

void sim_core::send_frame(std::uint8_t type, const std::uint8_t* payload, std::uint16_t len,
                          std::uint64_t due_us, out_tag tag, bool bad_crc) {
    std::vector<std::uint8_t> frame(std::size_t{len} + FWU_FRAME_OVERHEAD);
    const std::size_t size = fwu_frame_encode(FWU_SOF_DEVICE, type, payload, len, frame.data());
    frame.resize(size);
    if (bad_crc && !frame.empty()) {
        frame.back() ^= 0xFF;
    }
    send_raw(std::move(frame), due_us, tag);
}

void sim_core::send_raw(std::vector<std::uint8_t> bytes, std::uint64_t due_us, out_tag tag) {
    if (bytes.empty()) {
        return;
    }
    if (!out_.empty()) {
        due_us = std::max(due_us, out_.back().due_us); // output leaves in the order it was made
    }
    out_.push_back(out_item{due_us, std::move(bytes), 0, tag, 0});
}

std::span<const std::uint8_t> sim_core::output_peek(std::uint64_t now_us) const {
    if (out_.empty() || out_.front().due_us > now_us) {
        return {};
    }
    const out_item& item = out_.front();
    return {item.bytes.data() + item.sent, item.bytes.size() - item.sent};
}

void sim_core::output_commit(std::size_t count, std::uint64_t now_us) {
    while (count > 0 && !out_.empty()) {
        out_item& item = out_.front();
        const std::size_t step = std::min(count, item.bytes.size() - item.sent);
        item.sent += step;
        count -= step;
        if (item.sent < item.bytes.size()) {
            break;
        }
        if (item.tag == out_tag::ack) {
            record_.acks_us.push_back(now_us);
        }
        if (item.tag == out_tag::ack && !in_frame_) {
            // An ACK that goes out while the host is already sending another frame (after its
            // own time-out) does not start a turnaround.
            ack_written_us_ = now_us;
            turnaround_armed_ = session_.has_value();
        } else if (item.tag == out_tag::done && item.session < record_.sessions.size()) {
            record_.sessions[item.session].done_us = now_us;
        }
        out_.pop_front();
    }
}

std::optional<std::uint64_t> sim_core::next_due_us() const {
    if (out_.empty()) {
        return std::nullopt;
    }
    return out_.front().due_us;
}

std::vector<std::uint8_t> sim_core::drain(std::uint64_t now_us) {
    std::vector<std::uint8_t> bytes;
    for (;;) {
        const std::span<const std::uint8_t> due = output_peek(now_us);
        if (due.empty()) {
            return bytes;
        }
        bytes.insert(bytes.end(), due.begin(), due.end());
        output_commit(due.size(), now_us);
    }
}

void sim_core::note_disconnected() {
    record_.disconnected = true;
}

std::vector<std::string> sim_core::take_log() {
    std::vector<std::string> lines;
    lines.swap(log_);
    return lines;
}

void sim_core::log(std::string line) {
    log_.push_back(std::move(line));
}
