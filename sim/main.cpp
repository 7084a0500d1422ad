// kvup-sim: the simulated Kelvane controller as a program, for demos and for working on kvup
// without hardware. Runs until SIGINT or SIGTERM, then prints what happened.

#include "sim-options.h"
#include "sim-usb.h"
#include "sim.h"
#include "text-escape.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <signal.h>
#include <string>

namespace {

void print_banner(const sim_config& config, const sim_instance& sim) {
    std::printf("kvup-sim: Kelvane %s %s (variant %u, running bank %c) on %s\n",
                config.self.type.c_str(), config.self.serial.c_str(), config.self.variant,
                'A' + config.self.active_bank, sim.slave_path().c_str());
    if (!config.link_path.empty()) {
        std::printf("kvup-sim: linked at %s\n", config.link_path.c_str());
    }
    // A serial number or type may be made of escape codes; shown as kvup shows them.
    for (const sim_device_config& peer : config.peers) {
        std::printf("kvup-sim: CAN peer %s (%s, variant %u, running bank %c)\n",
                    escape_text(peer.serial).c_str(), escape_text(peer.type).c_str(), peer.variant,
                    'A' + peer.active_bank);
    }
    std::printf("kvup-sim: try  kvup --port %s --password %s --firmware BUNDLE\n",
                sim.port_path().c_str(), config.password.c_str());
    std::fflush(stdout);
}

void print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The USB front end: runs until SIGINT or SIGTERM; SIGUSR2 attaches the device again after an
// unplug.
int run_usb(const sim_cli& cli, const sigset_t& signals) {
    sim_usb_options options;
    options.vhci_dir = cli.vhci_dir;
    options.high_speed = cli.usb_high_speed;
    options.bridge = cli.usb_bridge;
    options.replug_after_ms = cli.replug_after_ms;
    options.faults.stall_out = cli.usb_stall_out;
    options.faults.unplug_on_dtr = cli.usb_unplug_on_dtr;
    options.notice = print;
    std::string error;
    std::unique_ptr<sim_usb_instance> sim = sim_usb_start(cli.config, options, &error);
    if (!sim) {
        std::fprintf(stderr, "kvup-sim: cannot attach the simulated USB device: %s\n",
                     error.c_str());
        return 1;
    }
    // The driver makes the tty a moment after the attach; it is looked for this long.
    constexpr int TTY_LOOKS = 200; // of 50 ms
    std::uint32_t tty_for = 0;     // the attach whose tty was printed
    int looks = 0;
    for (;;) {
        const timespec wait{0, 50'000'000};
        const int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGUSR1) {
            std::fputs(sim_record_summary(sim->record()).c_str(), stdout);
            std::fflush(stdout);
        } else if (sig == SIGUSR2) {
            if (!sim->replug()) {
                print("kvup-sim: USB device already attached; no replug");
            }
        } else if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
            break;
        } else if (!sim->running()) {
            print("kvup-sim: the USB device is gone; nothing more to simulate");
            break;
        }
        const std::uint32_t attaches = sim->record().usb.attaches;
        if (attaches != tty_for && sim->attached()) {
            const std::string tty = sim->tty_path();
            if (!tty.empty()) {
                print("kvup-sim: USB device is " + tty);
                tty_for = attaches;
                looks = 0;
            } else if (++looks >= TTY_LOOKS) {
                print("kvup-sim: no tty appeared for the USB device");
                tty_for = attaches;
                looks = 0;
            }
        }
    }
    sim->stop();
    std::fputs(sim_record_summary(sim->record()).c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    sim_cli cli;
    std::string error;
    if (!sim_options_parse(argc, argv, cli, error)) {
        std::fprintf(stderr, "kvup-sim: %s\n(kvup-sim --help lists the options)\n", error.c_str());
        return 2;
    }
    // As kvup's: the version wins over --help.
    if (cli.version) {
        std::printf("kvup-sim v%s\n", KVUP_VERSION);
        return 0;
    }
    if (cli.help) {
        std::fputs(sim_options_usage(), stdout);
        return 0;
    }

    // Signals are taken synchronously below; blocking them first keeps them off the sim thread,
    // which inherits this mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (!cli.quiet) {
        cli.config.log = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    if (cli.usb) {
        return run_usb(cli, signals);
    }
    std::unique_ptr<sim_instance> sim = sim_start(cli.config, &error);
    if (!sim) {
        std::fprintf(stderr, "kvup-sim: cannot create the simulated port: %s\n", error.c_str());
        return 1;
    }
    print_banner(cli.config, *sim);

    for (;;) {
        const timespec wait{0, 200'000'000};
        const int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGUSR1) {
            std::fputs(sim_record_summary(sim->record()).c_str(), stdout);
            std::fflush(stdout);
        } else if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
            break;
        } else if (!sim->running()) {
            std::printf("kvup-sim: the port is closed; nothing more to simulate\n");
            break;
        }
    }
    sim->stop();
    std::fputs(sim_record_summary(sim->record()).c_str(), stdout);
    std::fflush(stdout);
    return 0;
}
