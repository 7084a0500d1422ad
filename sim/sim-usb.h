#pragma once
// The simulated controller as a USB device on this machine (Linux): the thin shell around
// sim_usb_device that makes a USB/IP link over loopback, hands the host's end to the kernel's
// vhci-hcd (where cdc_acm makes /dev/ttyACMn of it, or ftdi_sio /dev/ttyUSBn of the FT232R bridge)
// and serves it on a background thread.
// The same device logic, peers, faults and record as the pty front end (sim.h).

#include "sim-usbip.h"
#include "sim.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sim_usb_options {
    std::string vhci_dir = "/sys/devices/platform/vhci_hcd.0";
    bool high_speed = false;
    sim_usb_bridge bridge = sim_usb_bridge::cdc_acm; // the FT232R bridge is full speed only
    std::uint32_t replug_after_ms = 0; // after an unplug, attach again this much later; 0 = never
    sim_usb_faults faults;
    // Hands the host's end of a link, after the import exchange, to the host controller and sets
    // `port` to where it went; false with a reason. The default picks a free high-speed port of
    // vhci_dir/status and writes "PORT SOCKFD DEVID SPEED" to vhci_dir/attach. `fd` is closed
    // by the caller afterwards (the kernel keeps its own reference).
    std::function<bool(int fd, std::uint32_t devid, std::uint32_t speed, int& port,
                       std::string& error)>
        attach;
    // One line for each attach and detach, from whichever thread made it. Null: none.
    std::function<void(const std::string&)> notice;
};

// A running USB device. Every member is thread-safe.
class sim_usb_instance {
  public:
    struct impl;
    explicit sim_usb_instance(std::unique_ptr<impl> state);
    ~sim_usb_instance(); // stops: the device detaches
    sim_usb_instance(const sim_usb_instance&) = delete;
    sim_usb_instance& operator=(const sim_usb_instance&) = delete;

    // Detaches and ends the thread; idempotent.
    void stop();
    // False once stopped, or gone for good (the disconnect fault).
    bool running() const;
    // True while a link to the host is up.
    bool attached() const;
    // The vhci-hcd port of the current (or last) link; -1 before the first.
    int port() const;
    // Asks for a new link if the device is detached (a replug); false if it is attached or
    // stopped. The attach itself happens on the device's thread.
    bool replug();
    // The tty the kernel made of the device ("/dev/ttyACM0", "/dev/ttyUSB0"), looked up in sysfs;
    // "" if none (yet, or with an attach hook of its own).
    std::string tty_path() const;
    sim_record record() const;
    // As sim_instance::wait_for.
    bool wait_for(const std::function<bool(const sim_record&)>& done, std::uint32_t timeout_ms);

  private:
    std::unique_ptr<impl> state_;
};

// Boots the devices, attaches the controller and serves it on a background thread; null with a
// reason in `*error` (when given) if the link cannot be made or attached.
std::unique_ptr<sim_usb_instance> sim_usb_start(const sim_config& config,
                                                const sim_usb_options& options,
                                                std::string* error = nullptr);

// The tty under vhci-hcd port `port` of `vhci_dir`, e.g. "/dev/ttyACM0" or "/dev/ttyUSB0"; "" if
// none.
std::string sim_usb_find_tty(const std::string& vhci_dir, int port);
