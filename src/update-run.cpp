#include "update-run.h"

#include "bundle.h"
#include "cli-drive.h"
#include "options.h"
#include "password-prompt.h"
#include "peer-query.h"
#include "serial.h"
#include "text-escape.h"
#include "update-session.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t PASSWORD_CAPACITY = 128;
constexpr const char* SELF_COMMAND = "fwupdate start";
constexpr const char* RELAY_COMMAND_PREFIX = "fwupdate relay ";
// The serial numbers that the no-known-peer line names: each cut to this many characters, and
// no more of them than fit in the budget, so the line stays one readable line.
constexpr std::size_t LISTED_SERIAL_MAX = 40;
constexpr std::size_t LISTED_SERIALS_BUDGET = 160;

using bundle_ptr = std::unique_ptr<bundle, decltype(&bundle_free)>;
using port_ptr = std::unique_ptr<serial_port, decltype(&serial_close)>;

// Clears the typed password when the run ends, whichever way it ends. Stores through a volatile
// pointer so the compiler cannot drop them as writes to memory that is never read again.
class password_wipe {
  public:
    password_wipe(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
    ~password_wipe() {
        volatile char* p = buffer_;
        for (std::size_t i = 0; i < size_; ++i) {
            p[i] = 0;
        }
    }
    password_wipe(const password_wipe&) = delete;
    password_wipe& operator=(const password_wipe&) = delete;

  private:
    char* buffer_;
    std::size_t size_;
};

// Which devices a fan-out updates, decided by the target keyword.
struct fan_out_plan {
    bool controllers;
    bool readers;
    bool self_last; // the connected controller reboots when done, so it goes after every peer
};

bool is_fan_out(const fan_out_plan& plan) {
    return plan.controllers || plan.readers;
}

// Keywords win over serial numbers: a device whose serial number is a keyword cannot be
// addressed alone.
fan_out_plan plan_for_target(const char* target) {
    if (target == nullptr) {
        return {true, true, true};
    }
    if (std::strcmp(target, "all") == 0) {
        return {true, true, false};
    }
    if (std::strcmp(target, "all-controllers") == 0) {
        return {true, false, false};
    }
    if (std::strcmp(target, "all-readers") == 0) {
        return {false, true, false};
    }
    return {false, false, false};
}

bool is_reader(const peer& p) {
    return p.type == "reader";
}

// The relay command for `p`, or false after an ERROR line when its serial number cannot be sent
// as it was listed: a cut serial number could name another device.
bool make_relay_command(const peer& p, std::string& command) {
    command = RELAY_COMMAND_PREFIX + p.serial;
    if (command.size() <= CLI_DRIVE_LINE_MAX && p.serial.find('\0') == std::string::npos) {
        return true;
    }
    std::fprintf(stderr,
                 "ERROR: cannot relay to '%s' - a serial number of %u characters does not fit "
                 "in one console line (at most %u, no NUL)\n",
                 escape_text(p.serial).c_str(), static_cast<unsigned>(p.serial.size()),
                 static_cast<unsigned>(CLI_DRIVE_LINE_MAX - std::strlen(RELAY_COMMAND_PREFIX)));
    return false;
}

// What the no-known-peer line says the controller did list, bounded in length.
std::string listed_serials(const std::vector<peer>& peers) {
    if (peers.empty()) {
        return "no peers listed";
    }
    std::string names;
    std::size_t shown = 0;
    for (const peer& p : peers) {
        const std::string name = escape_text_cut(p.serial, LISTED_SERIAL_MAX);
        if (shown > 0 && names.size() + name.size() > LISTED_SERIALS_BUDGET) {
            break;
        }
        names += (shown > 0 ? ", " : "") + name;
        ++shown;
    }
    if (shown < peers.size()) {
        names += ", ... and " + std::to_string(peers.size() - shown) + " more";
    }
    return "listed peers: " + names;
}

// Every device starts from a fresh installer-mode entry, which resets the connected controller:
// the previous session may have left it anywhere in the update dialogue.
bool update_one_device(serial_port* port, const bundle* fw, const char* password,
                       const char* command) {
    if (!cli_drive_enter_installer_mode(port, password)) {
        return false;
    }
    return run_update_session(port, command, fw) == 0;
}

int run_fan_out(serial_port* port, const bundle* fw, const char* password,
                const std::vector<peer>& peers, const fan_out_plan& plan) {
    int attempted = 0;
    int failed = 0;
    for (const peer& p : peers) {
        if (is_reader(p) ? !plan.readers : !plan.controllers) {
            continue;
        }
        ++attempted;
        std::printf("\n--- %s (%s) ---\n", escape_text(p.serial).c_str(),
                    escape_text(p.type).c_str());
        std::string command;
        if (!make_relay_command(p, command) ||
            !update_one_device(port, fw, password, command.c_str())) {
            ++failed;
        }
    }
    if (plan.self_last) {
        ++attempted;
        std::fputs("\n--- connected device (self) ---\n", stdout);
        if (!update_one_device(port, fw, password, SELF_COMMAND)) {
            ++failed;
        }
    }
    std::printf("\n%d/%d device(s) updated successfully.\n", attempted - failed, attempted);
    return failed == 0 ? 0 : 1;
}

// Runs in the installer mode entered before the peer query; no further reset.
int run_single_relay(serial_port* port, const bundle* fw, const char* serial,
                     const std::vector<peer>& peers) {
    for (const peer& p : peers) {
        if (p.serial != serial) {
            continue;
        }
        std::string command;
        if (!make_relay_command(p, command)) {
            return 1;
        }
        std::printf("Relaying to %s (%s)...\n", escape_text(p.serial).c_str(),
                    escape_text(p.type).c_str());
        return run_update_session(port, command.c_str(), fw);
    }
    std::fprintf(stderr, "ERROR: no known peer with serial '%s' (%s)\n",
                 escape_text(serial).c_str(), listed_serials(peers).c_str());
    return 1;
}

int run_relayed_targets(serial_port* port, const bundle* fw, const char* password) {
    const fan_out_plan plan = plan_for_target(options.target);
    std::fputs("Querying known CAN peers...\n", stdout);
    std::vector<peer> peers;
    if (query_peers(port, peers) < 0) {
        return 1;
    }
    if (is_fan_out(plan)) {
        return run_fan_out(port, fw, password, peers, plan);
    }
    return run_single_relay(port, fw, options.target, peers);
}

} // namespace

// The password, the bundle and the port are declared in that order so the port is closed
// before the bundle is freed and the typed password is wiped last, on every way out.
int update_run() {
    char typed_password[PASSWORD_CAPACITY];
    const password_wipe wipe(typed_password, sizeof typed_password);
    const char* password = options.password;
    std::size_t password_len = 0;
    if (password == nullptr) {
        if (!password_prompt(typed_password, sizeof typed_password, &password_len)) {
            std::fputs("ERROR: failed to read password\n", stderr);
            return 1;
        }
        password = typed_password;
    } else {
        password_len = std::strlen(password);
    }
    // Refused before the device is reset: a line break would run the rest as a console command.
    if (!cli_drive_check_password(password, password_len)) {
        return 1;
    }

    const bundle_ptr fw(bundle_load(options.firmware), &bundle_free);
    if (!fw) {
        return 1;
    }
    options_print_version();
    std::printf("Opening %s...\n", options.port);
    const port_ptr port(serial_open(options.port), &serial_close);
    if (!port) {
        std::fprintf(stderr, "ERROR: could not open %s\n", options.port);
        return 1;
    }
    std::fputs("Entering installer mode...\n", stdout);
    if (!cli_drive_enter_installer_mode(port.get(), password)) {
        return 1;
    }
    if (options.target != nullptr && std::strcmp(options.target, "self") == 0) {
        return run_update_session(port.get(), SELF_COMMAND, fw.get());
    }
    return run_relayed_targets(port.get(), fw.get(), password);
}
