#include "sim.h"

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
    if (record.watchdog_resets != 0) {
        out += "  watchdog resets: " + std::to_string(record.watchdog_resets) + "\n";
    }
    if (record.disconnected) {
        out += "  link: closed by the disconnect fault\n";
    }
    return out;
}
