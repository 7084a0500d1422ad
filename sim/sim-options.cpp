#include "sim-options.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const USAGE =
    "Usage: kvup-sim [OPTIONS]\n"
    "A simulated Kelvane controller with CAN peers behind it, on a pseudo-terminal. Run kvup\n"
    "with --port set to the printed path (or the --link path). Ctrl-C (SIGINT) or SIGTERM\n"
    "stops it and prints a summary; SIGUSR1 prints the summary and goes on.\n"
    "\n"
    "Port:\n"
    "  --link PATH           also reach the port at PATH (a symbolic link, removed at exit)\n"
    "  --baud RATE           pace every byte both ways as 8N1 at RATE (default 0: no pacing)\n"
    "\n"
    "Console of the connected controller:\n"
    "  --password TEXT       installer password (default kelvane)\n"
    "  --menu                boot into the service menu instead of the plain prompt\n"
    "  --echo                echo typed characters\n"
    "  --boot-delay MS       time from the reset to the boot output (default 0)\n"
    "\n"
    "The connected controller:\n"
    "  --serial SERIAL       serial number (default KC-0001)\n"
    "  --type TYPE           type word (default controller)\n"
    "  --variant N           hardware variant (default 1)\n"
    "  --active-bank A|B     bank it runs from; the other one is written (default A)\n"
    "  --bank-limit BYTES    size limit of each bank (default 262144)\n"
    "  --chunk-delay MS      time it takes per chunk (default 0)\n"
    "\n"
    "CAN peers, listed by 'fwupdate peers' in the order given:\n"
    "  --peer SERIAL:TYPE:VARIANT[:BANK[:LIMIT[:DELAY_MS]]]\n"
    "                        e.g. --peer KR-0100:reader:2 or --peer KC-0200:controller:1:B\n"
    "                        SERIAL and TYPE: 1 to 8192 bytes, no blanks or colons\n"
    "  --peer-delay MS       time a relayed peer takes per chunk unless given (default 5)\n"
    "\n"
    "Faults (repeatable): --fault DEVICE:KIND[:KEY=VALUE,...]\n"
    "  DEVICE is a serial number, or 'self' for the connected controller.\n"
    "  Answers to chunks (keys chunk=K, attempt=J; attempt 0 = every attempt, default 1):\n"
    "    chunk-silent        the chunk is lost: no answer\n"
    "    chunk-late          the answer comes ms=MS later (default 3000)\n"
    "    chunk-nak           NAK with reason=R (default 99) and expect=E (default: as expected)\n"
    "    chunk-bad-crc       the answer's CRC is corrupt\n"
    "    chunk-noise         count=N noise bytes (default 16) before the answer\n"
    "    chunk-oversize      a frame header announcing 65535 bytes before the answer\n"
    "    ack-length          the ACK has len=N payload bytes (default 3)\n"
    "    chunk-split         the answer's header comes ms=MS after the chunk (default 1985),\n"
    "                        its rest gap=G ms later (default 30): across kvup's deadline\n"
    "                        (with --baud 115200 the chunk itself takes 357 ms: ms=1630)\n"
    "    nak-pingpong        chunk K is taken, every later chunk NAK'd expecting K, for ever\n"
    "    disconnect          the port is closed for good when the chunk arrives\n"
    "    watchdog            the device resets itself when the chunk arrives, or with\n"
    "                        at=finalize when the finalize does: session dropped, nothing\n"
    "                        written, boot text and prompt where kvup expects frames\n"
    "    deaf                the device stops reading when the chunk arrives (with answer=1\n"
    "                        after answering it): the link takes no more host bytes until\n"
    "                        the connected controller's next reset; a relayed peer's hang\n"
    "                        takes the controller's link with it\n"
    "  Start and finalize:\n"
    "    start-silent        no READY after 'fwupdate start' or 'fwupdate relay'\n"
    "    ready-length        READY with len=N payload bytes (default 6)\n"
    "    ready-noise         count=N noise bytes before READY\n"
    "    finalize-nak        finalize rejected with reason=R (default 99)\n"
    "    finalize-silent     finalize ignored\n"
    "  Console (connected controller only):\n"
    "    boot-slow           boot output ms=MS later (default 3000)\n"
    "    boot-silent         boot output without the prompt or menu marker\n"
    "    no-password-prompt  'installer on' gets no password prompt\n"
    "    installer-cancel    the password is answered with 'Cancelled'\n"
    "  USB (with --usb; keys as for the answers to chunks):\n"
    "    unplug              the device detaches when the chunk arrives; banks are kept\n"
    "  session=N limits a fault to the device's N-th update session (console faults: the\n"
    "  N-th reset); 0, the default, means every one.\n"
    "  e.g. --fault self:chunk-silent:chunk=2  --fault KR-0100:finalize-nak:reason=4,session=1\n"
    "\n"
    "USB (Linux, as root): a CDC-ACM device on the kernel's vhci-hcd instead of a pty:\n"
    "  --usb                 attach over USB/IP; the kernel's cdc_acm makes /dev/ttyACMn\n"
    "  --vhci DIR            vhci-hcd in sysfs (default /sys/devices/platform/vhci_hcd.0)\n"
    "  --usb-speed full|high bus speed the device reports (default full)\n"
    "  --usb-bridge cdc-acm|ft232r\n"
    "                        what the host sees: a CDC-ACM device (default), or the controller's\n"
    "                        UART behind an FTDI FT232R (0403:6001, ftdi_sio's /dev/ttyUSBn),\n"
    "                        its UART paced at the rate the host sets (full speed only)\n"
    "  --replug-after MS     attach again MS after an unplug (default: on SIGUSR2 only)\n"
    "  --usb-stall-out       every bulk OUT transfer (host to device) stalls\n"
    "  --usb-unplug-on-dtr N detach on the N-th DTR clear, leaving that request unanswered\n"
    "\n"
    "Other:\n"
    "  --quiet               no event log, only the port line and the summary\n"
    "  --version             print the version and exit\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 once stopped, 1 when the port cannot be made, 2 for a bad command line.\n";

struct kind_name {
    const char* name;
    sim_fault_kind kind;
};

constexpr kind_name KIND_NAMES[] = {
    {"chunk-silent", sim_fault_kind::chunk_silent},
    {"chunk-late", sim_fault_kind::chunk_late},
    {"chunk-nak", sim_fault_kind::chunk_nak},
    {"chunk-bad-crc", sim_fault_kind::chunk_bad_crc},
    {"chunk-noise", sim_fault_kind::chunk_noise},
    {"chunk-oversize", sim_fault_kind::chunk_oversize},
    {"ack-length", sim_fault_kind::ack_length},
    {"disconnect", sim_fault_kind::disconnect},
    {"ready-length", sim_fault_kind::ready_length},
    {"ready-noise", sim_fault_kind::ready_noise},
    {"start-silent", sim_fault_kind::start_silent},
    {"finalize-nak", sim_fault_kind::finalize_nak},
    {"finalize-silent", sim_fault_kind::finalize_silent},
    {"boot-slow", sim_fault_kind::boot_slow},
    {"boot-silent", sim_fault_kind::boot_silent},
    {"no-password-prompt", sim_fault_kind::no_password_prompt},
    {"installer-cancel", sim_fault_kind::installer_cancel},
    {"unplug", sim_fault_kind::unplug},
    {"watchdog", sim_fault_kind::watchdog},
    {"chunk-split", sim_fault_kind::chunk_split},
    {"nak-pingpong", sim_fault_kind::nak_pingpong},
    {"deaf", sim_fault_kind::deaf},
};

bool is_console_fault(sim_fault_kind kind) {
    return kind == sim_fault_kind::boot_slow || kind == sim_fault_kind::boot_silent ||
           kind == sim_fault_kind::no_password_prompt || kind == sim_fault_kind::installer_cancel;
}

// Decimal, or hexadecimal after 0x; the whole text, within [0, max].
bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size() && value <= max;
}

template <typename T>
bool parse_field(std::string_view text, const char* what, T& out, std::string& error) {
    std::uint64_t value = 0;
    if (!parse_number(text, std::numeric_limits<T>::max(), value)) {
        error = std::string("bad ") + what + " '" + std::string(text) + "'";
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool parse_delay(std::string_view text, std::int32_t& out, std::string& error) {
    std::uint64_t value = 0;
    if (!parse_number(text, std::numeric_limits<std::int32_t>::max(), value)) {
        error = "bad delay '" + std::string(text) + "'";
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool parse_bank(std::string_view text, std::uint8_t& bank, std::string& error) {
    if (text == "A" || text == "a" || text == "0") {
        bank = 0;
    } else if (text == "B" || text == "b" || text == "1") {
        bank = 1;
    } else {
        error = "bad bank '" + std::string(text) + "' (A or B)";
        return false;
    }
    return true;
}

// Serial numbers and type words are split at blanks on the host and listed one peer a line.
// Any other byte may be in them, escape codes included, to show how the host prints them; the
// length goes well past what the host keeps, to show how it refuses them.
bool parse_word(std::string_view text, const char* what, std::string& out, std::string& error) {
    const bool blank = text.find_first_of(" \t\r\n\v\f:") != std::string_view::npos;
    if (text.empty() || text.size() > SIM_WORD_MAX || blank) {
        error = std::string("bad ") + what + " '" + std::string(text) + "' (1 to " +
                std::to_string(SIM_WORD_MAX) + " characters, no blanks or colons)";
        return false;
    }
    out = std::string(text);
    return true;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

// Parses "SERIAL:TYPE:VARIANT[:BANK[:LIMIT[:DELAY_MS]]]" into `device`; false with a reason.
bool sim_peer_parse(std::string_view text, sim_device_config& device, std::string& error) {
    const std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() < 3 || parts.size() > 6) {
        error = "bad peer '" + std::string(text) + "' (SERIAL:TYPE:VARIANT[:BANK[:LIMIT[:DELAY]]])";
        return false;
    }
    return parse_word(parts[0], "serial", device.serial, error) &&
           parse_word(parts[1], "type", device.type, error) &&
           parse_field(parts[2], "variant", device.variant, error) &&
           (parts.size() < 4 || parse_bank(parts[3], device.active_bank, error)) &&
           (parts.size() < 5 || parse_field(parts[4], "bank limit", device.bank_limit, error)) &&
           (parts.size() < 6 || parse_delay(parts[5], device.chunk_delay_ms, error));
}

} // namespace

bool sim_fault_parse(std::string_view text, sim_fault& fault, std::string& error) {
    const std::size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    bool known = false;
    for (const kind_name& k : KIND_NAMES) {
        if (name == k.name) {
            fault.kind = k.kind;
            known = true;
        }
    }
    if (!known) {
        error = "unknown fault kind '" + std::string(name) + "'";
        return false;
    }
    if (fault.kind == sim_fault_kind::ready_length) {
        fault.length = 6;
    } else if (fault.kind == sim_fault_kind::ack_length) {
        fault.length = 3;
    } else if (fault.kind == sim_fault_kind::chunk_split) {
        fault.delay_ms = 1985;
    }
    if (colon == std::string_view::npos) {
        return true;
    }
    for (std::string_view pair : split(text.substr(colon + 1), ',')) {
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            error = "bad fault setting '" + std::string(pair) + "' (KEY=VALUE)";
            return false;
        }
        const std::string_view key = pair.substr(0, eq);
        const std::string_view value = pair.substr(eq + 1);
        bool ok = false;
        if (key == "chunk") {
            ok = parse_field(value, "chunk", fault.chunk, error);
        } else if (key == "attempt") {
            ok = parse_field(value, "attempt", fault.chunk_attempt, error);
        } else if (key == "session") {
            ok = parse_field(value, "session", fault.session, error);
        } else if (key == "ms") {
            ok = parse_field(value, "ms", fault.delay_ms, error);
        } else if (key == "gap") {
            ok = parse_field(value, "gap", fault.gap_ms, error);
        } else if (key == "reason") {
            ok = parse_field(value, "reason", fault.reason, error);
        } else if (key == "expect") {
            ok = parse_field(value, "expect", fault.expected, error);
            fault.expected_set = true;
        } else if (key == "count") {
            ok = parse_field(value, "count", fault.count, error);
        } else if (key == "at" && fault.kind == sim_fault_kind::watchdog) {
            ok = value == "finalize";
            fault.kind = sim_fault_kind::watchdog_finalize;
            if (!ok) {
                error = "bad at '" + std::string(value) + "' (at=finalize, or chunk=K)";
            }
        } else if (key == "answer" && fault.kind == sim_fault_kind::deaf) {
            std::uint32_t answer = 0;
            ok = parse_field(value, "answer", answer, error) && answer <= 1;
            fault.answered = answer == 1;
            if (!ok && error.empty()) {
                error = "answer may be 0 or 1";
            }
        } else if (key == "len") {
            ok = parse_field(value, "len", fault.length, error) && fault.length <= 8;
            if (!ok && error.empty()) {
                error = "len may be at most 8";
            }
        } else {
            error = "unknown fault setting '" + std::string(key) + "'";
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

namespace {

using pending_faults = std::vector<std::pair<std::string, sim_fault>>;

// One option of the command line, "--name value" or "--name=value", and the way to its value.
struct option_arg {
    int argc;
    const char* const* argv;
    int& i; // the option's index; taking a separate value moves it on
    std::string_view name;
    std::string_view value;
    bool has_value;
    std::string& error;

    bool take() {
        if (has_value) {
            return true;
        }
        if (i + 1 >= argc) {
            error = "option " + std::string(name) + " needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    }

    bool flag(bool& out) {
        if (has_value) {
            error = "option " + std::string(name) + " takes no value";
            return false;
        }
        out = true;
        return true;
    }
};

// DEVICE:KIND[:KEY=VALUE,...]; the device is resolved once every peer is known.
bool parse_fault_option(std::string_view value, pending_faults& faults, std::string& error) {
    const std::size_t colon = value.find(':');
    sim_fault fault;
    if (colon == std::string_view::npos || colon == 0) {
        error = "bad fault '" + std::string(value) + "' (DEVICE:KIND[:KEY=VALUE,...])";
        return false;
    }
    const bool ok = sim_fault_parse(value.substr(colon + 1), fault, error);
    faults.emplace_back(std::string(value.substr(0, colon)), fault);
    return ok;
}

bool parse_option(option_arg& arg, sim_cli& cli, pending_faults& faults) {
    sim_config& config = cli.config;
    std::string& error = arg.error;
    const std::string_view name = arg.name;
    std::string_view& value = arg.value;
    bool ok = false;
    if (name == "--help" || name == "-h") {
        ok = arg.flag(cli.help);
    } else if (name == "--version") {
        ok = arg.flag(cli.version);
    } else if (name == "--quiet" || name == "-q") {
        ok = arg.flag(cli.quiet);
    } else if (name == "--menu") {
        ok = arg.flag(config.boot_menu);
    } else if (name == "--echo") {
        ok = arg.flag(config.echo);
    } else if (name == "--link") {
        ok = arg.take() && !value.empty();
        config.link_path = std::string(value);
        if (!ok && error.empty()) {
            error = "--link needs a path";
        }
    } else if (name == "--usb") {
        ok = arg.flag(cli.usb);
    } else if (name == "--vhci") {
        ok = arg.take() && !value.empty();
        cli.vhci_dir = std::string(value);
        if (!ok && error.empty()) {
            error = "--vhci needs a directory";
        }
    } else if (name == "--usb-speed") {
        ok = arg.take() && (value == "full" || value == "high");
        cli.usb_high_speed = value == "high";
        if (!ok && error.empty()) {
            error = "bad USB speed '" + std::string(value) + "' (full or high)";
        }
    } else if (name == "--usb-bridge") {
        ok = arg.take() && (value == "cdc-acm" || value == "ft232r");
        cli.usb_bridge = value == "ft232r" ? sim_usb_bridge::ft232r : sim_usb_bridge::cdc_acm;
        if (!ok && error.empty()) {
            error = "bad USB bridge '" + std::string(value) + "' (cdc-acm or ft232r)";
        }
    } else if (name == "--usb-stall-out") {
        ok = arg.flag(cli.usb_stall_out);
    } else if (name == "--usb-unplug-on-dtr") {
        ok = arg.take() && parse_field(value, "DTR clear", cli.usb_unplug_on_dtr, error);
    } else if (name == "--replug-after") {
        ok = arg.take() && parse_field(value, "replug time", cli.replug_after_ms, error);
    } else if (name == "--password") {
        ok = arg.take();
        config.password = std::string(value);
    } else if (name == "--boot-delay") {
        ok = arg.take() && parse_field(value, "boot delay", config.boot_delay_ms, error);
    } else if (name == "--baud") {
        ok = arg.take() && parse_field(value, "baud rate", config.baud, error);
    } else if (name == "--serial") {
        ok = arg.take() && parse_word(value, "serial", config.self.serial, error);
    } else if (name == "--type") {
        ok = arg.take() && parse_word(value, "type", config.self.type, error);
    } else if (name == "--variant") {
        ok = arg.take() && parse_field(value, "variant", config.self.variant, error);
    } else if (name == "--active-bank") {
        ok = arg.take() && parse_bank(value, config.self.active_bank, error);
    } else if (name == "--bank-limit") {
        ok = arg.take() && parse_field(value, "bank limit", config.self.bank_limit, error);
    } else if (name == "--chunk-delay") {
        ok = arg.take() && parse_delay(value, config.self.chunk_delay_ms, error);
    } else if (name == "--peer-delay") {
        ok = arg.take() && parse_field(value, "peer delay", config.peer_chunk_delay_ms, error);
    } else if (name == "--peer") {
        sim_device_config peer;
        ok = arg.take() && sim_peer_parse(value, peer, error);
        if (ok) {
            config.peers.push_back(std::move(peer));
        }
    } else if (name == "--fault") {
        ok = arg.take() && parse_fault_option(value, faults, error);
    } else {
        error = "unknown option '" + std::string(arg.argv[arg.i]) + "'";
    }
    return ok;
}

// No peer shares a serial number with the connected controller or with another peer.
bool check_peers(const sim_config& config, std::string& error) {
    for (std::size_t i = 0; i < config.peers.size(); ++i) {
        if (config.peers[i].serial == config.self.serial) {
            error = "peer " + config.peers[i].serial + " has the connected controller's serial";
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (config.peers[j].serial == config.peers[i].serial) {
                error = "peer " + config.peers[i].serial + " is given twice";
                return false;
            }
        }
    }
    return true;
}

// Gives each fault to the device it names; console faults only to the connected controller.
bool attach_faults(sim_config& config, const pending_faults& faults, std::string& error) {
    for (const auto& [device, fault] : faults) {
        sim_device_config* target = nullptr;
        if (device == "self" || device == config.self.serial) {
            target = &config.self;
        }
        for (sim_device_config& peer : config.peers) {
            if (peer.serial == device) {
                target = &peer;
            }
        }
        if (target == nullptr) {
            error = "fault for unknown device '" + device + "'";
            return false;
        }
        if (is_console_fault(fault.kind) && target != &config.self) {
            error = "console faults apply to the connected controller ('self') only";
            return false;
        }
        target->faults.push_back(fault);
    }
    return true;
}

} // namespace

bool sim_options_parse(int argc, const char* const* argv, sim_cli& cli, std::string& error) {
    pending_faults faults;
    for (int i = 1; i < argc; ++i) {
        option_arg arg{argc, argv, i, argv[i], {}, false, error};
        if (const std::size_t eq = arg.name.find('=');
            arg.name.starts_with("--") && eq != std::string_view::npos) {
            arg.value = arg.name.substr(eq + 1);
            arg.name = arg.name.substr(0, eq);
            arg.has_value = true;
        }
        if (!parse_option(arg, cli, faults)) {
            return false;
        }
    }
    if (cli.usb && cli.config.baud != 0) {
        error = "--baud paces a pty; a USB device has no line rate";
        return false;
    }
    if (cli.usb_bridge == sim_usb_bridge::ft232r && cli.usb_high_speed) {
        error = "the FT232R bridge is a full-speed device";
        return false;
    }
    return check_peers(cli.config, error) && attach_faults(cli.config, faults, error);
}

const char* sim_options_usage() {
    return USAGE;
}
