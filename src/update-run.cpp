#include "update-run.h"

#include "bundle.h"
#include "cli-drive.h"
#include "options.h"
#include "password-prompt.h"
#include "peer-query.h"
#include "serial.h"
#include "update-session.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t PASSWORD_CAPACITY = 128;
constexpr int PEER_CAPACITY = 32;
constexpr std::size_t RELAY_COMMAND_SIZE = 48;
constexpr const char* SELF_COMMAND = "fwupdate start";

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
    return std::strcmp(p.type, "reader") == 0;
}

// A serial number holds at most 15 characters, so the command is never cut.
void format_relay_command(char (&command)[RELAY_COMMAND_SIZE], const peer& p) {
    std::snprintf(command, sizeof command, "fwupdate relay %.*s",
                  static_cast<int>(PEER_FIELD_SIZE - 1), p.serial);
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

int run_fan_out(serial_port* port, const bundle* fw, const char* password, const peer* peers,
                int peer_count, const fan_out_plan& plan) {
    int attempted = 0;
    int failed = 0;
    for (int i = 0; i < peer_count; ++i) {
        const peer& p = peers[i];
        if (is_reader(p) ? !plan.readers : !plan.controllers) {
            continue;
        }
        ++attempted;
        std::printf("\n--- %s (%s) ---\n", p.serial, p.type);
        char command[RELAY_COMMAND_SIZE];
        format_relay_command(command, p);
        if (!update_one_device(port, fw, password, command)) {
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
int run_single_relay(serial_port* port, const bundle* fw, const char* serial, const peer* peers,
                     int peer_count) {
    for (int i = 0; i < peer_count; ++i) {
        const peer& p = peers[i];
        if (std::strcmp(p.serial, serial) != 0) {
            continue;
        }
        char command[RELAY_COMMAND_SIZE];
        format_relay_command(command, p);
        std::printf("Relaying to %s (%s)...\n", p.serial, p.type);
        return run_update_session(port, command, fw);
    }
    std::fprintf(stderr,
                 "ERROR: no known peer with serial '%s' (run with --target all to see 'fwupdate "
                 "peers' output on the device)\n",
                 serial);
    return 1;
}

int run_relayed_targets(serial_port* port, const bundle* fw, const char* password) {
    const fan_out_plan plan = plan_for_target(options.target);
    std::fputs("Querying known CAN peers...\n", stdout);
    peer peers[PEER_CAPACITY];
    const int peer_count = query_peers(port, peers, PEER_CAPACITY);
    if (peer_count < 0) {
        return 1;
    }
    if (is_fan_out(plan)) {
        return run_fan_out(port, fw, password, peers, peer_count, plan);
    }
    return run_single_relay(port, fw, options.target, peers, peer_count);
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
