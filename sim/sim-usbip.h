#pragma once
// The simulated controller as a USB CDC-ACM device (or behind an FT232R bridge), speaking USB/IP
// the way the kernel's vhci-hcd does over its socket: fed the host's bytes with their time, it
// answers every URB and moves bytes between the bulk endpoints and a sim_core. No threads, clock or
// file descriptors: the USB shell (sim-usb.cpp) and the tests drive it. USB/IP fields are
// big-endian; USB's own are little-endian.

#include "sim-core.h"
#include "sim-ft232r.h"
#include "sim.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A test-only pair: pid.codes (0x1209) and its test product 0x0001. Never ship these.
inline constexpr std::uint16_t SIM_USB_VENDOR = 0x1209;
inline constexpr std::uint16_t SIM_USB_PRODUCT = 0x0001;

inline constexpr std::uint16_t USBIP_VERSION = 0x0111;
inline constexpr std::uint16_t USBIP_OP_REQ_IMPORT = 0x8003;
inline constexpr std::uint16_t USBIP_OP_REP_IMPORT = 0x0003;
inline constexpr std::uint32_t USBIP_CMD_SUBMIT = 1;
inline constexpr std::uint32_t USBIP_CMD_UNLINK = 2;
inline constexpr std::uint32_t USBIP_RET_SUBMIT = 3;
inline constexpr std::uint32_t USBIP_RET_UNLINK = 4;
inline constexpr std::uint32_t USBIP_DIR_OUT = 0;
inline constexpr std::uint32_t USBIP_DIR_IN = 1;
inline constexpr std::size_t USBIP_HEADER_LEN = 48;
inline constexpr std::size_t USBIP_BUSID_LEN = 32;
inline constexpr std::size_t USBIP_DEVICE_LEN = 312;                         // usbip_usb_device
inline constexpr std::size_t USBIP_IMPORT_REQUEST_LEN = 8 + USBIP_BUSID_LEN; // 40
inline constexpr std::size_t USBIP_IMPORT_REPLY_LEN = 8 + USBIP_DEVICE_LEN;  // 320

// Where the device says it sits on its (simulated) exporting host; devid = busnum << 16 | devnum.
inline constexpr const char* SIM_USB_BUSID = "1-1";
inline constexpr std::uint32_t SIM_USB_DEVID = 0x00010002;

// USB speeds as the kernel numbers them (the SPEED of a vhci attach).
inline constexpr std::uint32_t SIM_USB_SPEED_FULL = 2;
inline constexpr std::uint32_t SIM_USB_SPEED_HIGH = 3;

// Status values of RET_SUBMIT and RET_UNLINK (negative errno, as the kernel's URBs carry them).
inline constexpr std::int32_t SIM_USB_EPIPE = -32;       // stall
inline constexpr std::int32_t SIM_USB_ECONNRESET = -104; // unlinked while pending

// The endpoints: interrupt IN 0x81 (notifications), bulk OUT 0x02 and bulk IN 0x82 (the console).
inline constexpr std::uint32_t SIM_USB_EP_NOTIFY = 1;
inline constexpr std::uint32_t SIM_USB_EP_DATA = 2;

void usbip_put_be16(std::uint8_t* at, std::uint16_t value);
void usbip_put_be32(std::uint8_t* at, std::uint32_t value);
std::uint16_t usbip_get_be16(const std::uint8_t* at);
std::uint32_t usbip_get_be32(const std::uint8_t* at);

// The OP_REQ_IMPORT a client sends for `busid` (USBIP_IMPORT_REQUEST_LEN bytes).
std::vector<std::uint8_t> usbip_import_request(const std::string& busid);

// True when `reply` (at least USBIP_IMPORT_REPLY_LEN bytes) is an OP_REP_IMPORT with status 0.
bool usbip_import_reply_ok(const std::uint8_t* reply, std::size_t count);

// What the host sees of the device: a native CDC-ACM interface, or the same controller's UART
// behind an FTDI FT232R bridge (driven by ftdi_sio, /dev/ttyUSBn).
enum class sim_usb_bridge : std::uint8_t { cdc_acm, ft232r };

// Misbehaviour on the USB side, for the host's error paths.
struct sim_usb_faults {
    bool stall_out = false;          // every bulk OUT transfer stalls; its data is lost
    std::uint32_t unplug_on_dtr = 0; // detach on the N-th DTR clear, leaving it unanswered; 0 off
};

class sim_usb_device {
  public:
    // `self` names the device in its string descriptors; both must outlive the device.
    sim_usb_device(sim_core& core, const sim_device_config& self, bool high_speed,
                   sim_usb_faults faults = {}, sim_usb_bridge bridge = sim_usb_bridge::cdc_acm);

    // Set once the unplug_on_dtr fault has fired; the shell then detaches the device.
    bool unplug_requested() const { return unplug_; }

    // Bytes from the host's socket that arrived at `now_us`; false once the stream is broken (an
    // unknown command or an impossible length), after which the link must be closed.
    bool receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t now_us);

    // Completes pending bulk IN URBs with the device output that is due at `now_us`.
    void pump(std::uint64_t now_us);

    // Bytes for the host, oldest first; the shell writes a prefix and reports it with sent().
    const std::vector<std::uint8_t>& outgoing() const { return out_; }
    void sent(std::size_t count);

    // When pump() next has work; none while nothing is queued or no bulk IN URB waits.
    std::optional<std::uint64_t> next_due_us() const;

    // The link is gone (unplug or the host closed it): URBs and line state are forgotten and the
    // next link starts with the import exchange again.
    void detached();

    bool imported() const { return imported_; }
    std::uint8_t configuration() const { return configuration_; }
    bool dtr() const { return (line_state_ & 1) != 0; }
    sim_usb_bridge bridge() const { return bridge_; }
    // The bridge's UART rate as its baud divisor sets it (9600 until the host sets one).
    double bridge_baud() const;
    std::uint8_t bridge_latency_ms() const { return latency_ms_; }
    std::uint32_t speed() const { return high_speed_ ? SIM_USB_SPEED_HIGH : SIM_USB_SPEED_FULL; }

    // Log lines since the last call, oldest first.
    std::vector<std::string> take_log();

  private:
    struct pending_urb {
        std::uint32_t seqnum;
        std::uint32_t ep;
        std::uint32_t length;
        bool out = false; // a bulk OUT held by a deaf device
        std::uint32_t packets = 0;
        std::vector<std::uint8_t> data{}; // bridge: IN packets so far, or OUT bytes not yet taken
        std::uint64_t since_us = 0;       // bridge: when the host submitted it
    };

    // A byte in one of the bridge's FIFOs, with the time (ns) it got there.
    struct timed_byte {
        std::uint8_t value;
        std::uint64_t at_ns;
    };

    bool take_import();
    bool take_command(std::uint64_t now_us);
    void submit(const std::uint8_t* header, const std::uint8_t* data, std::uint64_t now_us);
    void control(std::uint32_t seqnum, std::uint32_t buffer_len, const std::uint8_t* setup,
                 const std::uint8_t* data, std::uint64_t now_us);
    bool standard_request(const std::uint8_t* setup, std::vector<std::uint8_t>& answer);
    bool class_request(const std::uint8_t* setup, const std::uint8_t* data, std::uint32_t data_len,
                       std::vector<std::uint8_t>& answer, std::uint64_t now_us);
    bool line_state(std::uint16_t value, std::uint64_t now_us);
    void unlink(std::uint32_t seqnum, std::uint32_t victim);
    void ret_unlink(std::uint32_t seqnum, std::int32_t status);
    void release_held_out();
    void dtr_changed(bool was_dtr, std::uint64_t now_us);
    bool vendor_request(const std::uint8_t* setup, std::vector<std::uint8_t>& answer,
                        std::uint64_t now_us);
    void bridge_submit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep,
                       std::uint32_t length, std::uint32_t packets, const std::uint8_t* data,
                       std::uint64_t now_us);
    void bridge_pump(std::uint64_t now_us);
    void bridge_take_out(std::uint64_t at_ns);
    void bridge_uart(std::uint64_t now_us);
    void bridge_packets(std::uint64_t now_us);
    std::optional<std::uint64_t> bridge_next_due_us() const;
    std::uint64_t byte_ns() const;
    void ret_submit(std::uint32_t seqnum, std::int32_t status, std::uint32_t number_of_packets,
                    const std::uint8_t* data, std::size_t data_len, std::uint32_t out_len = 0);
    std::vector<std::uint8_t> descriptor(std::uint8_t type, std::uint8_t index) const;
    std::vector<std::uint8_t> config_descriptor(bool high, std::uint8_t type) const;
    std::vector<std::uint8_t> bridge_descriptor(std::uint8_t type, std::uint8_t index) const;

    sim_core& core_;
    const sim_device_config& self_;
    bool high_speed_;
    sim_usb_faults faults_;
    std::uint32_t dtr_clears_ = 0;
    bool unplug_ = false;
    std::vector<std::uint8_t> in_;
    std::vector<std::uint8_t> out_;
    std::deque<pending_urb> pending_; // IN URBs waiting for data (and OUT ones a deaf device
                                      // holds), oldest first
    std::vector<std::string> log_;

    bool imported_ = false;
    std::uint8_t configuration_ = 0;
    std::uint16_t line_state_ = 0;                                    // bit 0 DTR, bit 1 RTS
    std::uint8_t line_coding_[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8}; // 115200 8N1
    std::optional<std::size_t> open_reset_;    // DTR reset of this link still cleared
    std::optional<std::size_t> awaiting_host_; // DTR reset waiting for its first host byte
    // CMD_UNLINKs that came before the CMD_SUBMIT of their URB (vhci-hcd can send them in that
    // order): victim seqnum -> the unlink's own seqnum, answered when the submit comes.
    std::map<std::uint32_t, std::uint32_t> early_unlinks_;
    std::uint32_t last_submit_ = 0; // the highest CMD_SUBMIT seqnum so far

    // The FT232R bridge.
    sim_usb_bridge bridge_;
    std::uint16_t divisor_value_ = FT232R_DEFAULT_DIVISOR;
    std::uint16_t divisor_index_ = 0;
    std::uint16_t data_value_ = FT232R_DEFAULT_DATA;
    std::uint8_t latency_ms_ = FT232R_DEFAULT_LATENCY_MS;
    std::deque<pending_urb> out_urbs_; // bulk OUT URBs whose bytes the chip has not all taken
    std::deque<timed_byte> tx_;        // host bytes in the chip, for the controller's UART
    std::uint64_t tx_free_ns_ = 0;     // when the chip's transmitter ends its last byte
    std::deque<timed_byte> rx_;        // controller bytes in the chip, for the host
    std::uint64_t rx_free_ns_ = 0;     // when the controller's transmitter ends its last byte
    std::uint64_t last_packet_us_ = 0; // the latency timer restarts at every IN packet
    std::uint64_t dtr_cleared_us_ = 0; // while DTR is low after a clear on this link
    bool dtr_low_ = false;
    std::uint32_t rx_overruns_ = 0; // controller bytes lost to a full FIFO
};
