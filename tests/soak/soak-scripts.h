#pragma once
// Seeded random update scripts for the soak tests: a connected controller and CAN peers with
// their banks, a bundle, a target and faults on the devices, all drawn from one 64-bit seed so
// that a failing script runs again alone; and the check that a run of kvup left every device
// either running exactly the bundle's image from the bank it offered, or as it was.
// Header-only, so that the in-process soak and the end-to-end soak share the same scripts.

#include "builders.h"
#include "sim.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace soak {

// splitmix64: the same numbers on every platform and standard library, unlike the <random>
// distributions.
class rng {
  public:
    explicit rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1; 0 for n = 0.
    std::uint32_t below(std::uint32_t n) {
        return n == 0 ? 0 : static_cast<std::uint32_t>(next() % n);
    }
    // True with probability `percent` / 100.
    bool chance(std::uint32_t percent) { return below(100) < percent; }

  private:
    std::uint64_t state_;
};

// Which faults a script may draw. `virtual_clock` waits cost nothing, so every fault is fair
// game; `real_time` keeps to faults that cost little waiting (no relayed time-outs, at most a
// rare 2-3 s one), so that a few dozen runs of the real binary fit in a few minutes.
enum class profile { virtual_clock, real_time };

struct image {
    std::uint16_t variant = 0;
    char bank = 'A';
    std::uint32_t tag = 0;
    std::vector<std::uint8_t> bytes;
};

struct script {
    std::uint64_t seed = 0;
    sim_config config;
    std::vector<image> images;         // the bundle, in table order
    std::optional<std::string> target; // none: --target omitted
};

inline constexpr std::uint32_t CHUNK_BYTES = 4096;
inline constexpr std::uint32_t DIRECT_CHUNK_TIMEOUT_MS = 2000;
inline constexpr std::uint32_t RELAYED_CHUNK_TIMEOUT_MS = 10000;

inline std::uint32_t chunk_count(std::size_t len) {
    return static_cast<std::uint32_t>((len + CHUNK_BYTES - 1) / CHUNK_BYTES);
}

inline const image* find_image(const script& s, std::uint16_t variant, char bank) {
    for (const image& i : s.images) {
        if (i.variant == variant && i.bank == bank) {
            return &i;
        }
    }
    return nullptr;
}

inline std::vector<std::uint8_t> random_bytes(rng& r, std::size_t len) {
    std::vector<std::uint8_t> bytes(len);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(r.next());
    }
    return bytes;
}

// Short, exact multiples of a chunk, one byte either side of them, and anything up to the
// largest size.
inline std::size_t image_length(rng& r, std::uint32_t max_chunks) {
    switch (r.below(8)) {
    case 0:
        return r.chance(30) ? 0 : 1 + r.below(100);
    case 1:
        return std::size_t{1 + r.below(max_chunks)} * CHUNK_BYTES;
    case 2:
        return std::size_t{1 + r.below(max_chunks)} * CHUNK_BYTES - 1;
    case 3:
        return std::size_t{r.below(max_chunks)} * CHUNK_BYTES + 1;
    default:
        return 1 + r.below(max_chunks * CHUNK_BYTES);
    }
}

// The bank limit the device offers for an image of `len` bytes: mostly enough, exactly enough,
// enough only with the last chunk's fill cut off, and now and then one byte short.
inline std::uint32_t bank_limit(rng& r, std::size_t len) {
    const auto n = static_cast<std::uint32_t>(len);
    switch (r.below(6)) {
    case 0:
        return n;
    case 1:
        return n > 0 && r.chance(40) ? n - 1 : n + 1 + r.below(3 * CHUNK_BYTES);
    case 2:
        return n + 1 + r.below(CHUNK_BYTES);
    default:
        return 256 * 1024;
    }
}

// Whether the device is written by this target.
inline bool selected(const script& s, std::size_t device) {
    const std::vector<sim_device_config>& peers = s.config.peers;
    if (!s.target) {
        return true;
    }
    const std::string& t = *s.target;
    if (device == 0) {
        return t == "self";
    }
    const sim_device_config& p = peers[device - 1];
    const bool reader = p.type == "reader";
    if (t == "all") {
        return true;
    }
    if (t == "all-controllers") {
        return !reader;
    }
    if (t == "all-readers") {
        return reader;
    }
    if (t == "self") {
        return false;
    }
    for (std::size_t i = 0; i + 1 < device; ++i) {
        if (peers[i].serial == t) {
            return false; // kvup relays to the first peer with that serial only
        }
    }
    return p.serial == t;
}

inline std::size_t device_count(const script& s) {
    return 1 + s.config.peers.size();
}

inline const sim_device_config& device_config(const script& s, std::size_t device) {
    return device == 0 ? s.config.self : s.config.peers[device - 1];
}

// Faults on one device's answers to its update session. `chunks` is the chunk count of the
// image its session will send (or would, had the bundle one).
inline void add_session_faults(rng& r, profile p, sim_device_config& d, bool relayed,
                               std::uint32_t chunks) {
    const std::uint32_t timeout_ms = relayed ? RELAYED_CHUNK_TIMEOUT_MS : DIRECT_CHUNK_TIMEOUT_MS;
    const bool cheap = p == profile::real_time;
    // A relayed chunk that waits for a time-out costs 10 s of real time: not in the real-time
    // profile. Direct time-outs cost 2 s: rare there.
    const bool may_time_out = !cheap || (!relayed && r.chance(25));
    const std::uint32_t wanted = r.below(100) < 30 ? 0 : 1 + r.below(cheap ? 2 : 3);
    bool timed_out = false;
    for (std::uint32_t i = 0; i < wanted; ++i) {
        sim_fault f;
        f.chunk = r.below(chunks + 1); // one past the last chunk: a fault that never fires
        f.chunk_attempt = r.chance(70) ? 1 : r.chance(70) ? 2 : 0;
        f.session = 0;
        switch (r.below(18)) {
        case 0:
        case 1:
            f.kind = sim_fault_kind::chunk_late;
            if (may_time_out && !timed_out && r.chance(50)) {
                f.delay_ms = timeout_ms + 1 + r.below(cheap ? 500 : 3000);
                timed_out = true;
            } else {
                f.delay_ms = 1 + r.below(cheap ? 300 : timeout_ms - 100);
            }
            break;
        case 2:
        case 3:
        case 4:
            f.kind = sim_fault_kind::chunk_nak;
            f.reason = static_cast<std::uint8_t>(r.below(256));
            if (r.chance(15)) {
                break; // the index the device expects anyway
            }
            f.expected_set = true;
            switch (r.below(5)) {
            case 0:
                f.expected = f.chunk == 0 ? 0 : r.below(f.chunk); // behind
                break;
            case 1:
                f.expected = f.chunk; // the same again
                break;
            case 2:
                f.expected = f.chunk + 1 + r.below(chunks > f.chunk ? chunks - f.chunk : 1);
                break; // ahead, up to one past the end
            case 3:
                f.expected = chunks + r.below(4); // at or past the end
                break;
            default:
                f.expected = r.chance(50) ? 0xFFFFFFFFu : 0x80000000u + r.below(1000);
                break;
            }
            break;
        case 5:
        case 6:
            if (!may_time_out || timed_out) {
                continue;
            }
            f.kind = r.chance(50) ? sim_fault_kind::chunk_bad_crc : sim_fault_kind::chunk_silent;
            timed_out = true;
            break;
        case 7:
        case 8:
            f.kind = sim_fault_kind::chunk_noise;
            f.count = 1 + r.below(64);
            break;
        case 9:
            f.kind = sim_fault_kind::chunk_oversize;
            break;
        case 10:
        case 11:
            f.kind = sim_fault_kind::ack_length;
            f.length = static_cast<std::uint16_t>(r.chance(30) ? 0 : 1 + r.below(8));
            if (f.length == 4) {
                f.length = 5;
            }
            break;
        case 12:
            f.kind = sim_fault_kind::disconnect;
            break;
        case 13:
            f.kind = sim_fault_kind::finalize_nak;
            f.reason = static_cast<std::uint8_t>(1 + r.below(255));
            break;
        case 14:
            if (cheap && !r.chance(20)) {
                continue; // 10 s of waiting for the finalize's answer
            }
            f.kind = sim_fault_kind::finalize_silent;
            break;
        case 17:
            // The device resets itself: five chunk time-outs, or the finalize's one, of waiting.
            if (cheap && (relayed || !r.chance(50))) {
                continue;
            }
            f.kind = r.chance(70) ? sim_fault_kind::watchdog : sim_fault_kind::watchdog_finalize;
            break;
        case 15:
            f.kind = r.chance(50) ? sim_fault_kind::ready_noise : sim_fault_kind::ready_length;
            f.count = 1 + r.below(40);
            f.length = static_cast<std::uint16_t>(r.chance(50) ? 6 : 8);
            break;
        default:
            if (cheap && !r.chance(20)) {
                continue; // 3 s of waiting for READY
            }
            f.kind = sim_fault_kind::start_silent;
            break;
        }
        d.faults.push_back(f);
    }
}

inline script make_script(std::uint64_t seed, profile p) {
    rng r(seed);
    script s;
    s.seed = seed;
    const bool cheap = p == profile::real_time;
    const std::uint32_t max_chunks = cheap ? 4 : 6;

    const std::uint16_t variants = static_cast<std::uint16_t>(1 + r.below(3));
    for (std::uint16_t v = 1; v <= variants; ++v) {
        for (char bank : {'A', 'B'}) {
            if (r.chance(3)) {
                continue; // a bundle that lacks an image
            }
            image i;
            i.variant = v;
            i.bank = bank;
            i.tag = static_cast<std::uint32_t>(r.next());
            i.bytes = random_bytes(r, image_length(r, max_chunks));
            s.images.push_back(std::move(i));
        }
    }

    sim_config& c = s.config;
    c.boot_delay_ms = r.chance(50) ? 0 : r.below(cheap ? 100 : 400);
    c.self_chunk_delay_ms = r.chance(60) ? 0 : r.below(cheap ? 5 : 100);
    c.peer_chunk_delay_ms = r.below(cheap ? 10 : 200);
    c.boot_menu = r.chance(15);
    c.echo = r.chance(15);

    const std::uint32_t peers = r.below(4);
    for (std::uint32_t i = 0; i <= peers; ++i) {
        sim_device_config d;
        if (i == 0) {
            d = sim_default_self();
        } else {
            d.serial = "KP-" + std::to_string(100 + i);
            d.type = r.chance(50) ? "reader" : "controller";
        }
        // Now and then a variant the bundle does not carry.
        d.variant = static_cast<std::uint16_t>(1 + r.below(variants + (r.chance(5) ? 1 : 0)));
        d.active_bank = static_cast<std::uint8_t>(r.below(2));
        const image* written = find_image(s, d.variant, static_cast<char>('B' - d.active_bank));
        const std::size_t len = written != nullptr ? written->bytes.size() : 0;
        d.bank_limit = bank_limit(r, len);
        for (auto& bank : d.bank_bytes) {
            bank = random_bytes(r, r.below(3 * CHUNK_BYTES));
        }
        add_session_faults(r, p, d, i != 0, chunk_count(len));
        if (i == 0) {
            c.self = std::move(d);
        } else {
            c.peers.push_back(std::move(d));
        }
    }

    switch (r.below(8)) {
    case 0:
    case 1:
        break; // omitted: every peer, then the connected controller
    case 2:
    case 3:
        s.target = "self";
        break;
    case 4:
        s.target = r.chance(50) ? "all" : r.chance(50) ? "all-controllers" : "all-readers";
        break;
    default:
        s.target = c.peers.empty() || r.chance(5) ? "KP-999" : c.peers[r.below(peers)].serial;
        break;
    }

    // Console faults, on one reset of the run (or on every one).
    if (r.chance(cheap ? 8 : 12)) {
        std::uint32_t resets = 1;
        const bool fan_out = !s.target || s.target->rfind("all", 0) == 0;
        for (std::size_t i = 0; fan_out && i < device_count(s); ++i) {
            resets += selected(s, i) ? 1 : 0;
        }
        sim_fault f;
        f.session = r.chance(20) ? 0 : 1 + r.below(resets);
        switch (r.below(4)) {
        case 0:
            f.kind = sim_fault_kind::boot_slow;
            f.delay_ms = r.chance(50) ? r.below(cheap ? 1000 : 4000)
                                      : 5000 + r.below(cheap ? 200 : 1000); // past the 5 s wait
            break;
        case 1:
            f.kind = sim_fault_kind::boot_silent;
            break;
        case 2:
            f.kind = sim_fault_kind::no_password_prompt;
            break;
        default:
            f.kind = sim_fault_kind::installer_cancel;
            break;
        }
        c.self.faults.push_back(f);
    }
    return s;
}

// The bundle file for the script's images.
inline std::vector<std::uint8_t> bundle_file(const script& s) {
    std::vector<image_spec> images;
    for (const image& i : s.images) {
        images.push_back({i.variant, i.bank, i.tag, i.bytes});
    }
    return bundle_bytes(images);
}

inline const char* fault_name(sim_fault_kind kind) {
    switch (kind) {
    case sim_fault_kind::chunk_silent:
        return "chunk-silent";
    case sim_fault_kind::chunk_late:
        return "chunk-late";
    case sim_fault_kind::chunk_nak:
        return "chunk-nak";
    case sim_fault_kind::chunk_bad_crc:
        return "chunk-bad-crc";
    case sim_fault_kind::chunk_noise:
        return "chunk-noise";
    case sim_fault_kind::chunk_oversize:
        return "chunk-oversize";
    case sim_fault_kind::ack_length:
        return "ack-length";
    case sim_fault_kind::disconnect:
        return "disconnect";
    case sim_fault_kind::unplug:
        return "unplug";
    case sim_fault_kind::ready_length:
        return "ready-length";
    case sim_fault_kind::ready_noise:
        return "ready-noise";
    case sim_fault_kind::start_silent:
        return "start-silent";
    case sim_fault_kind::finalize_nak:
        return "finalize-nak";
    case sim_fault_kind::finalize_silent:
        return "finalize-silent";
    case sim_fault_kind::boot_slow:
        return "boot-slow";
    case sim_fault_kind::boot_silent:
        return "boot-silent";
    case sim_fault_kind::no_password_prompt:
        return "no-password-prompt";
    case sim_fault_kind::installer_cancel:
        return "installer-cancel";
    case sim_fault_kind::watchdog:
    case sim_fault_kind::watchdog_finalize:
        return "watchdog";
    case sim_fault_kind::chunk_split:
        return "chunk-split";
    case sim_fault_kind::nak_pingpong:
        return "nak-pingpong";
    case sim_fault_kind::deaf:
        return "deaf";
    }
    return "?";
}

inline std::string fault_text(const std::string& device, const sim_fault& f) {
    std::string text = "--fault " + device + ":" + fault_name(f.kind) + ":";
    switch (f.kind) {
    case sim_fault_kind::boot_slow:
    case sim_fault_kind::boot_silent:
    case sim_fault_kind::no_password_prompt:
    case sim_fault_kind::installer_cancel:
    case sim_fault_kind::ready_length:
    case sim_fault_kind::ready_noise:
    case sim_fault_kind::start_silent:
    case sim_fault_kind::finalize_nak:
    case sim_fault_kind::finalize_silent:
        break;
    case sim_fault_kind::watchdog_finalize:
        text += "at=finalize,";
        break;
    default:
        text += "chunk=" + std::to_string(f.chunk) + ",attempt=" + std::to_string(f.chunk_attempt) +
                ",";
        break;
    }
    switch (f.kind) {
    case sim_fault_kind::chunk_late:
    case sim_fault_kind::boot_slow:
        text += "ms=" + std::to_string(f.delay_ms) + ",";
        break;
    case sim_fault_kind::chunk_split:
        text += "ms=" + std::to_string(f.delay_ms) + ",gap=" + std::to_string(f.gap_ms) + ",";
        break;
    case sim_fault_kind::chunk_nak:
    case sim_fault_kind::finalize_nak:
        text += "reason=" + std::to_string(f.reason) + ",";
        if (f.expected_set) {
            text += "expect=" + std::to_string(f.expected) + ",";
        }
        break;
    case sim_fault_kind::chunk_noise:
    case sim_fault_kind::ready_noise:
        text += "count=" + std::to_string(f.count) + ",";
        break;
    case sim_fault_kind::ack_length:
    case sim_fault_kind::ready_length:
        text += "len=" + std::to_string(f.length) + ",";
        break;
    case sim_fault_kind::deaf:
        text += f.answered ? "answer=1," : "";
        break;
    default:
        break;
    }
    return text + "session=" + std::to_string(f.session);
}

// The script as kvup-sim options and the kvup target, for a person reading a failure.
inline std::string describe(const script& s) {
    const sim_config& c = s.config;
    auto bank = [](std::uint8_t b) { return std::string(1, static_cast<char>('A' + b)); };
    std::string text = "seed " + std::to_string(s.seed) + ": kvup-sim";
    text += " --variant " + std::to_string(c.self.variant) + " --active-bank " +
            bank(c.self.active_bank) + " --bank-limit " + std::to_string(c.self.bank_limit) +
            " --chunk-delay " + std::to_string(c.self_chunk_delay_ms) + " --boot-delay " +
            std::to_string(c.boot_delay_ms) + " --peer-delay " +
            std::to_string(c.peer_chunk_delay_ms) + (c.boot_menu ? " --menu" : "") +
            (c.echo ? " --echo" : "");
    for (const sim_device_config& p : c.peers) {
        text += " --peer " + p.serial + ":" + p.type + ":" + std::to_string(p.variant) + ":" +
                bank(p.active_bank) + ":" + std::to_string(p.bank_limit);
    }
    for (const sim_fault& f : c.self.faults) {
        text += ' ';
        text += fault_text("self", f);
    }
    for (const sim_device_config& p : c.peers) {
        for (const sim_fault& f : p.faults) {
            text += ' ';
            text += fault_text(p.serial, f);
        }
    }
    text += "\n  bundle:";
    for (const image& i : s.images) {
        text +=
            " " + std::to_string(i.variant) + ":" + i.bank + ":" + std::to_string(i.bytes.size());
    }
    text += "\n  kvup --target " + (s.target ? *s.target : std::string("(omitted)"));
    return text;
}

// Whether any device of the script carries a fault of this kind.
inline bool has_fault(const script& s, sim_fault_kind kind) {
    for (std::size_t i = 0; i < device_count(s); ++i) {
        for (const sim_fault& f : device_config(s, i).faults) {
            if (f.kind == kind) {
                return true;
            }
        }
    }
    return false;
}

inline std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

inline const std::string UNKNOWN_OUTCOME =
    "ERROR: no response to finalize - update state on the target is unknown, retry with a fresh "
    "session\n";
inline const std::string COMPLETE =
    "Update complete - target is rebooting into the new firmware.\n";

// How a run ended, as the devices and kvup's output tell it.
struct verdict {
    std::vector<std::string> problems; // what the run did wrong, one line each
    std::size_t updated = 0;           // devices running the new image
    std::size_t unknown = 0;           // sessions that ended with the state unknown...
    std::size_t unknown_updated = 0;   // ...of which the device had in fact taken the image
};

// Every device must end either running exactly the bundle's image from the bank it offered, or
// exactly as it was; kvup must report each update it completed and no other, and exit with 0
// only when it completed every selected device. A device whose answer to the finalize came after
// kvup stopped waiting may have taken the image while kvup reports its state as unknown: that is
// allowed, and counted.
inline verdict check(const script& s, int status, const std::string& out, const std::string& err,
                     const sim_record& record) {
    verdict v;
    std::vector<std::string>& problems = v.problems;
    if (status != 0 && status != 1) {
        problems.push_back("exit status " + std::to_string(status));
    }
    if (record.devices.size() != device_count(s)) {
        problems.push_back("the record lists the wrong devices");
        return v;
    }
    std::size_t chosen = 0;
    for (std::size_t i = 0; i < device_count(s); ++i) {
        const sim_device_config& before = device_config(s, i);
        const sim_device_record& after = record.devices[i];
        const std::string who = after.serial + ": ";
        const bool untouched = after.active_bank == before.active_bank &&
                               after.banks[0].bytes == before.bank_bytes[0] &&
                               after.banks[1].bytes == before.bank_bytes[1] &&
                               after.banks[0].writes == 0 && after.banks[1].writes == 0;
        chosen += selected(s, i) ? 1 : 0;
        if (untouched) {
            continue;
        }
        ++v.updated;
        const std::uint8_t written = static_cast<std::uint8_t>(1 - before.active_bank);
        const image* img = find_image(s, before.variant, static_cast<char>('A' + written));
        if (!selected(s, i)) {
            problems.push_back(who + "updated, but the target does not name it");
        }
        if (after.active_bank != written) {
            problems.push_back(who + "changed, but does not run from the bank it offered");
        }
        if (after.banks[before.active_bank].bytes != before.bank_bytes[before.active_bank]) {
            problems.push_back(who + "the bank it ran from was changed");
        }
        if (img == nullptr || after.banks[written].bytes != img->bytes) {
            problems.push_back(who + "bank " + std::string(1, static_cast<char>('A' + written)) +
                               " holds " + std::to_string(after.banks[written].bytes.size()) +
                               " bytes that are not the bundle's image");
        }
        if (after.banks[written].writes != 1) {
            problems.push_back(who + std::to_string(after.banks[written].writes) +
                               " writes of the bank");
        }
    }

    const std::size_t completes = count_of(out, COMPLETE);
    v.unknown = count_of(err, UNKNOWN_OUTCOME);
    if (completes > v.updated) {
        problems.push_back("kvup reported " + std::to_string(completes) +
                           " completed update(s), but only " + std::to_string(v.updated) +
                           " device(s) were updated");
    } else if (v.updated - completes > v.unknown) {
        problems.push_back(std::to_string(v.updated) + " device(s) were updated, but kvup " +
                           "reported " + std::to_string(completes) + " as complete and " +
                           std::to_string(v.unknown) + " as unknown");
    } else {
        v.unknown_updated = v.updated - completes;
    }

    const bool fan_out = !s.target || s.target->rfind("all", 0) == 0;
    if (fan_out) {
        const std::string summary = std::to_string(completes) + "/" + std::to_string(chosen) +
                                    " device(s) updated successfully.";
        const bool has_summary = out.find("device(s) updated successfully.\n") != std::string::npos;
        if (has_summary && out.find("\n" + summary + "\n") == std::string::npos) {
            problems.push_back("the summary does not read '" + summary + "'");
        }
        if (status == 0 && !has_summary) {
            problems.push_back("exit status 0 without a summary");
        }
    } else if (chosen > 1) {
        problems.push_back("the script names more than one device");
    }
    if (status == 0 && completes != chosen) {
        problems.push_back("exit status 0, but kvup completed " + std::to_string(completes) +
                           " of " + std::to_string(chosen) + " selected device(s)");
    }
    if (status == 1 && completes == chosen && chosen > 0) {
        problems.push_back("exit status 1, yet kvup completed every selected device");
    }
    return v;
}

// The number in environment variable `name`, or `fallback` when it is unset or empty.
inline int env_int(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// The seeds a soak runs: the one in `seed_var` alone when it is set (to run a failing script
// again), else `count_var`'s number (`default_count` when unset) of seeds from `first`.
inline std::vector<std::uint64_t> seeds_from_environment(const char* seed_var,
                                                         const char* count_var, int default_count,
                                                         std::uint64_t first) {
    std::vector<std::uint64_t> seeds;
    if (const char* one = std::getenv(seed_var); one != nullptr && *one != '\0') {
        seeds.push_back(std::strtoull(one, nullptr, 0));
        return seeds;
    }
    const int count = env_int(count_var, default_count);
    for (int i = 0; i < count; ++i) {
        seeds.push_back(first + static_cast<std::uint64_t>(i));
    }
    return seeds;
}

} // namespace soak
