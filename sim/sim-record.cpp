#include "sim.h"

#include "sim-ft232r.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const char* outcome_name(sim_outcome outcome) {
    switch (outcome) {
    case sim_outcome::open:
        return "open";
    case sim_outcome::done:
        return "done";
    case sim_outcome::rejected:
        return "finalize rejected";
    case sim_outcome::aborted:
        return "aborted";
    case sim_outcome::interrupted:
        return "interrupted";
    }
    return "?";
}

std::string ms_text(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string bank_text(const sim_bank_record& bank) {
    char text[96];
    std::snprintf(text, sizeof text, "%zu bytes, CRC-32 0x%08X, %u write(s)", bank.bytes.size(),
                  bank.crc, bank.writes);
    return text;
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char part[4];
        std::snprintf(part, sizeof part, "%s%02X", text.empty() ? "" : " ", b);
        text += part;
    }
    return text;
}

// "115200 8N1" from the 7 bytes of a line coding: rate (LE32), stop bits, parity, data bits.
std::string line_coding_text(const std::vector<std::uint8_t>& d) {
    if (d.size() != 7) {
        return "malformed";
    }
    const std::uint32_t rate = static_cast<std::uint32_t>(d[0]) | d[1] << 8 | d[2] << 16 |
                               static_cast<std::uint32_t>(d[3]) << 24;
    const char parity = d[5] < 5 ? "NOEMS"[d[5]] : '?';
    const char* stop = d[4] == 0 ? "1" : d[4] == 1 ? "1.5" : d[4] == 2 ? "2" : "?";
    return std::to_string(rate) + " " + std::to_string(d[6]) + parity + stop;
}

std::string control_text(const sim_usb_control_event& c) {
    char text[160];
    if ((c.request_type & 0x60) == 0x40 && !c.stalled) {
        return ft232r_request_text(c.request, c.value, c.index);
    }
    if (c.stalled) {
        std::snprintf(text, sizeof text,
                      "stalled: bmRequestType 0x%02X bRequest 0x%02X wValue 0x%04X wIndex 0x%04X "
                      "wLength %u",
                      c.request_type, c.request, c.value, c.index, c.length);
        return text;
    }
    switch (c.request) {
    case 0x20:
        return "SET_LINE_CODING " + hex_bytes(c.data) + " (" + line_coding_text(c.data) + ")";
    case 0x21:
        return "GET_LINE_CODING";
    case 0x22:
        std::snprintf(text, sizeof text, "SET_CONTROL_LINE_STATE 0x%04X (DTR %s, RTS %s)", c.value,
                      (c.value & 1) != 0 ? "set" : "cleared",
                      (c.value & 2) != 0 ? "set" : "cleared");
        return text;
    case 0x23:
        std::snprintf(text, sizeof text, "SEND_BREAK 0x%04X", c.value);
        return text;
    default:
        std::snprintf(text, sizeof text, "class request 0x%02X wValue 0x%04X", c.request, c.value);
        return text;
    }
}

std::string usb_summary(const sim_usb_record& usb) {
    std::size_t standard = 0;
    std::size_t stalled = 0;
    for (const sim_usb_control_event& c : usb.controls) {
        standard += (c.request_type & 0x60) == 0 ? 1 : 0;
        stalled += c.stalled ? 1 : 0;
    }
    std::string out = "  USB: attached " + std::to_string(usb.attaches) + "x, unplugged " +
                      std::to_string(usb.unplugs) + "x; bulk OUT " +
                      std::to_string(usb.bulk_out_bytes) + " bytes, bulk IN " +
                      std::to_string(usb.bulk_in_bytes) + " bytes; unlinks " +
                      std::to_string(usb.unlinks_pending) + " pending, " +
                      std::to_string(usb.unlinks_answered) + " already answered\n";
    out += "  USB control requests: " + std::to_string(usb.controls.size()) + " (standard " +
           std::to_string(standard) + ", class " + std::to_string(usb.controls.size() - standard) +
           ", stalled " + std::to_string(stalled) + ")\n";
    for (const sim_usb_control_event& c : usb.controls) {
        if ((c.request_type & 0x60) == 0 && !c.stalled) {
            continue;
        }
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "    [%10.3f ms] ", static_cast<double>(c.at_us) / 1e3);
        out += stamp + control_text(c) + "\n";
    }
    out += "  DTR resets: " + std::to_string(usb.dtr_resets.size()) + "\n";
    for (const sim_dtr_reset& r : usb.dtr_resets) {
        out += "    DTR cleared at " + ms_text(r.cleared_us);
        if (r.set_us == 0) {
            out += ", still cleared\n";
            continue;
        }
        out += " for " + ms_text(r.set_us - r.cleared_us);
        if (r.first_host_us == 0) {
            out += "; no host byte after DTR was set\n";
        } else {
            out +=
                "; first host byte " + ms_text(r.first_host_us - r.set_us) + " after DTR was set\n";
        }
    }
    return out;
}

} // namespace

const sim_device_record* sim_record_device(const sim_record& record, std::string_view serial) {
    for (const sim_device_record& device : record.devices) {
        if (device.serial == serial) {
            return &device;
        }
    }
    return nullptr;
}

std::uint64_t sim_percentile(std::vector<std::uint64_t> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const double rank =
        std::ceil(std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(samples.size()));
    const std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

std::string sim_record_summary(const sim_record& record) {
    std::string out = "kvup-sim summary\n";
    out += "  resets: " + std::to_string(record.resets_us.size()) + "\n";
    out += "  console lines: " + std::to_string(record.lines.size()) + " (installer mode ON " +
           std::to_string(record.installer_entries) + "x, passwords refused " +
           std::to_string(record.password_refusals) + "x)\n";
    bool after_installer_on = false;
    for (const std::string& line : record.lines) {
        // The line after "installer on" is the password; people share these summaries.
        out += "    " + (after_installer_on ? std::string("(password)") : line) + "\n";
        after_installer_on = line == "installer on";
    }

    out += "  update sessions: " + std::to_string(record.sessions.size()) + "\n";
    for (const sim_session_record& s : record.sessions) {
        out += "    #" + std::to_string(s.number) + " " + s.device + " '" + s.command + "': bank " +
               static_cast<char>('A' + s.bank) + ", " + std::to_string(s.chunks_acked) +
               " chunk(s) acknowledged, " + outcome_name(s.outcome);
        if (s.first_chunk_us != 0 && s.done_us > s.first_chunk_us) {
            out += ", transfer " + ms_text(s.done_us - s.first_chunk_us);
        }
        out += "\n";
    }
    std::size_t chunks = 0;
    std::size_t retries = 0;
    for (const sim_frame_event& f : record.frames) {
        if (f.type == 0x01) {
            ++chunks;
            retries += f.chunk_attempt > 1 ? 1 : 0;
        }
    }
    out += "  host frames: " + std::to_string(record.frames.size()) + " (" +
           std::to_string(chunks) + " chunk(s), " + std::to_string(retries) +
           " repeated), dropped " + std::to_string(record.dropped_frames) + "; NAKs sent " +
           std::to_string(record.naks.size()) + "; aborts " + std::to_string(record.aborts) + "\n";
    if (record.stray_bytes != 0) {
        out += "  stray bytes between host frames: " + std::to_string(record.stray_bytes) + "\n";
    }
    for (const sim_finalize_event& f : record.finalizes) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "    finalize %s: tag 0x%08X, %u bytes, CRC-32 0x%08X, bank %c: %s",
                      f.device.c_str(), f.image_tag, f.image_len, f.image_crc, 'A' + f.bank,
                      f.accepted ? "accepted" : (f.reason != 0 ? "rejected" : "ignored"));
        out += text;
        if (!f.accepted && f.reason != 0) {
            out += " (reason " + std::to_string(f.reason) + ")";
        }
        out += "\n";
    }

    out += "  devices:\n";
    for (const sim_device_record& d : record.devices) {
        out += "    " + d.serial + " (" + d.type + ", variant " + std::to_string(d.variant) +
               "): running bank " + static_cast<char>('A' + d.active_bank) + "\n";
        out += "      bank A: " + bank_text(d.banks[0]) + "\n";
        out += "      bank B: " + bank_text(d.banks[1]) + "\n";
    }

    if (record.turnaround_us.empty()) {
        out += "  host turnaround: no samples\n";
    } else {
        out += "  host turnaround (ACK written to next chunk's first byte): " +
               std::to_string(record.turnaround_us.size()) + " samples, median " +
               ms_text(sim_percentile(record.turnaround_us, 50)) + ", 99th percentile " +
               ms_text(sim_percentile(record.turnaround_us, 99)) + "\n";
    }
    if (record.acks_us.size() >= 2) {
        std::vector<std::uint64_t> gaps;
        for (std::size_t i = 1; i < record.acks_us.size(); ++i) {
            gaps.push_back(record.acks_us[i] - record.acks_us[i - 1]);
        }
        out += "  ACK to ACK: " + std::to_string(gaps.size()) + " gap(s), median " +
               ms_text(sim_percentile(gaps, 50)) + "\n";
    }
    if (record.watchdog_resets != 0) {
        out += "  watchdog resets: " + std::to_string(record.watchdog_resets) + "\n";
    }
    if (record.deaf_spells != 0) {
        out += "  deaf spells: " + std::to_string(record.deaf_spells) +
               (record.deaf ? " (deaf now)\n" : "\n");
    }
    if (record.disconnected) {
        out += "  link: closed by the disconnect fault\n";
    }
    if (record.usb.attaches != 0 || !record.usb.controls.empty()) {
        out += usb_summary(record.usb);
    }
    return out;
}
