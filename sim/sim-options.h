#pragma once
// kvup-sim's command line: the parser that turns it into a sim_config, and the usage text.
// Only syntax and ranges are checked here; the pty is made by sim_start.

#include "sim-usbip.h"
#include "sim.h"

#include <cstdint>
#include <string>
#include <string_view>

struct sim_cli {
    sim_config config;
    bool quiet = false; // no event log on stdout
    bool help = false;
    bool version = false; // print the version line and stop
    // The USB front end (--usb) instead of the pty, and its settings.
    bool usb = false;
    std::string vhci_dir = "/sys/devices/platform/vhci_hcd.0";
    bool usb_high_speed = false;
    sim_usb_bridge usb_bridge = sim_usb_bridge::cdc_acm;
    std::uint32_t replug_after_ms = 0;   // 0: replug only on SIGUSR2
    bool usb_stall_out = false;          // every bulk OUT transfer stalls
    std::uint32_t usb_unplug_on_dtr = 0; // detach on the N-th DTR clear; 0 = never
};

// Parses argv[1..argc-1] into `cli` (starting from its current contents); false with a one-line
// reason in `error` on the first mistake.
bool sim_options_parse(int argc, const char* const* argv, sim_cli& cli, std::string& error);

// Parses "KIND[:KEY=VALUE,...]" (the part after the device) into `fault`; false with a reason.
bool sim_fault_parse(std::string_view text, sim_fault& fault, std::string& error);

// The usage text, ending in a newline.
const char* sim_options_usage();
