#include "sim-usbip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The request codes of USB chapter 9 and of the CDC ACM subclass.
constexpr std::uint8_t REQ_GET_STATUS = 0x00;
constexpr std::uint8_t REQ_CLEAR_FEATURE = 0x01;
constexpr std::uint8_t REQ_SET_FEATURE = 0x03;
constexpr std::uint8_t REQ_SET_ADDRESS = 0x05;
constexpr std::uint8_t REQ_GET_DESCRIPTOR = 0x06;
constexpr std::uint8_t REQ_GET_CONFIGURATION = 0x08;
constexpr std::uint8_t REQ_SET_CONFIGURATION = 0x09;
constexpr std::uint8_t REQ_GET_INTERFACE = 0x0A;
constexpr std::uint8_t REQ_SET_INTERFACE = 0x0B;
constexpr std::uint8_t CDC_SET_LINE_CODING = 0x20;
constexpr std::uint8_t CDC_GET_LINE_CODING = 0x21;
constexpr std::uint8_t CDC_SET_CONTROL_LINE_STATE = 0x22;
constexpr std::uint8_t CDC_SEND_BREAK = 0x23;

constexpr std::uint8_t DT_DEVICE = 1;
constexpr std::uint8_t DT_CONFIG = 2;
constexpr std::uint8_t DT_STRING = 3;
constexpr std::uint8_t DT_QUALIFIER = 6;
constexpr std::uint8_t DT_OTHER_SPEED = 7;

// Bounds on what a host could sensibly send; beyond them the stream is out of step.
constexpr std::uint32_t MAX_TRANSFER = 1u << 20;
constexpr std::uint32_t MAX_ISO_PACKETS = 1024;
constexpr std::uint32_t NO_ISO_PACKETS = 0xFFFFFFFF;

std::uint16_t le16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> string_descriptor(const std::string& text) {
    std::vector<std::uint8_t> d{0, DT_STRING};
    for (char c : text) {
        put_le16(d, static_cast<std::uint8_t>(c)); // ASCII into UTF-16LE
    }
    d[0] = static_cast<std::uint8_t>(d.size());
    return d;
}

} // namespace

void usbip_put_be16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void usbip_put_be32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

std::uint16_t usbip_get_be16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t usbip_get_be32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

std::vector<std::uint8_t> usbip_import_request(const std::string& busid) {
    std::vector<std::uint8_t> req(USBIP_IMPORT_REQUEST_LEN, 0);
    usbip_put_be16(req.data(), USBIP_VERSION);
    usbip_put_be16(req.data() + 2, USBIP_OP_REQ_IMPORT);
    std::memcpy(req.data() + 8, busid.data(), std::min(busid.size(), USBIP_BUSID_LEN - 1));
    return req;
}

bool usbip_import_reply_ok(const std::uint8_t* reply, std::size_t count) {
    return count >= USBIP_IMPORT_REPLY_LEN && usbip_get_be16(reply) == USBIP_VERSION &&
           usbip_get_be16(reply + 2) == USBIP_OP_REP_IMPORT && usbip_get_be32(reply + 4) == 0;
}

sim_usb_device::sim_usb_device(sim_core& core, const sim_device_config& self, bool high_speed,
                               sim_usb_faults faults, sim_usb_bridge bridge)
    : core_(core), self_(self), high_speed_(high_speed && bridge == sim_usb_bridge::cdc_acm),
      faults_(faults), bridge_(bridge) {}

bool sim_usb_device::receive(const std::uint8_t* bytes, std::size_t count, std::uint64_t now_us) {
    in_.insert(in_.end(), bytes, bytes + count);
    while (!unplug_) {
        const std::size_t before = in_.size();
        if (!(imported_ ? take_command(now_us) : take_import())) {
            return false;
        }
        if (in_.size() == before) {
            break; // a command is still incomplete
        }
    }
    pump(now_us);
    return true;
}

// Takes one OP_REQ_IMPORT off the front of in_; true while the stream is sound.
bool sim_usb_device::take_import() {
    if (in_.size() < USBIP_IMPORT_REQUEST_LEN) {
        return true;
    }
    if (usbip_get_be16(in_.data() + 2) != USBIP_OP_REQ_IMPORT) {
        log_.push_back("usb: not an import request; link closed");
        return false;
    }
    std::vector<std::uint8_t> reply(USBIP_IMPORT_REPLY_LEN, 0);
    std::uint8_t* rep = reply.data();
    usbip_put_be16(rep, USBIP_VERSION);
    usbip_put_be16(rep + 2, USBIP_OP_REP_IMPORT);
    std::uint8_t* dev = rep + 8;
    std::snprintf(reinterpret_cast<char*>(dev), 256, "/sys/devices/platform/kvup-sim/usb1/%s",
                  SIM_USB_BUSID);
    std::snprintf(reinterpret_cast<char*>(dev + 256), USBIP_BUSID_LEN, "%s", SIM_USB_BUSID);
    usbip_put_be32(dev + 288, SIM_USB_DEVID >> 16);
    usbip_put_be32(dev + 292, SIM_USB_DEVID & 0xFFFF);
    usbip_put_be32(dev + 296, speed());
    const bool ft232r = bridge_ == sim_usb_bridge::ft232r;
    usbip_put_be16(dev + 300, ft232r ? FT232R_VENDOR : SIM_USB_VENDOR);
    usbip_put_be16(dev + 302, ft232r ? FT232R_PRODUCT : SIM_USB_PRODUCT);
    usbip_put_be16(dev + 304, ft232r ? FT232R_BCD_DEVICE : 0x0100);
    dev[306] = ft232r ? 0x00 : 0x02; // class per interface, or communications device class
    dev[307] = 0;
    dev[308] = 0;
    dev[309] = configuration_;
    dev[310] = 1;              // configurations
    dev[311] = ft232r ? 1 : 2; // interfaces
    out_.insert(out_.end(), reply.begin(), reply.end());
    in_.erase(in_.begin(), in_.begin() + USBIP_IMPORT_REQUEST_LEN);
    imported_ = true;
    log_.push_back("usb: import request answered");
    return true;
}

// Takes one whole command off the front of in_; true while the stream is sound.
bool sim_usb_device::take_command(std::uint64_t now_us) {
    if (in_.size() < USBIP_HEADER_LEN) {
        return true;
    }
    const std::uint8_t* h = in_.data();
    const std::uint32_t command = usbip_get_be32(h);
    if (command == USBIP_CMD_UNLINK) {
        unlink(usbip_get_be32(h + 4), usbip_get_be32(h + 20));
        in_.erase(in_.begin(), in_.begin() + USBIP_HEADER_LEN);
        return true;
    }
    if (command != USBIP_CMD_SUBMIT) {
        log_.push_back("usb: unknown command " + std::to_string(command) + "; link closed");
        return false;
    }
    const std::uint32_t direction = usbip_get_be32(h + 12);
    const std::uint32_t length = usbip_get_be32(h + 24);
    const std::uint32_t packets = usbip_get_be32(h + 32);
    if (length > MAX_TRANSFER || (packets != NO_ISO_PACKETS && packets > MAX_ISO_PACKETS)) {
        log_.push_back("usb: impossible transfer length; link closed");
        return false;
    }
    const std::size_t data_len = direction == USBIP_DIR_OUT ? length : 0;
    // Isochronous packet descriptors (16 bytes each) would follow; this device has no such
    // endpoint, but they are consumed so that the stream stays in step.
    const std::size_t iso_len = packets == NO_ISO_PACKETS ? 0 : std::size_t{packets} * 16;
    const std::size_t total = USBIP_HEADER_LEN + data_len + iso_len;
    if (in_.size() < total) {
        return true;
    }
    submit(h, h + USBIP_HEADER_LEN, now_us);
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(total));
    return true;
}

void sim_usb_device::submit(const std::uint8_t* h, const std::uint8_t* data, std::uint64_t now_us) {
    const std::uint32_t seqnum = usbip_get_be32(h + 4);
    const std::uint32_t direction = usbip_get_be32(h + 12);
    const std::uint32_t ep = usbip_get_be32(h + 16);
    const std::uint32_t length = usbip_get_be32(h + 24);
    const std::uint32_t packets = usbip_get_be32(h + 32);
    // vhci-hcd numbers its URBs (and unlinks) upwards; a wrap after 2^32 URBs is not modelled.
    last_submit_ = std::max(last_submit_, seqnum);
    if (const auto early = early_unlinks_.find(seqnum); early != early_unlinks_.end()) {
        // Unlinked before it came: it never runs, and only now does the unlink get its answer.
        log_.push_back("usb: URB " + std::to_string(seqnum) + " came after its unlink");
        ++core_.usb_record().unlinks_pending;
        ret_unlink(early->second, SIM_USB_ECONNRESET);
        early_unlinks_.erase(early);
        return;
    }
    if (ep == 0) {
        control(seqnum, length, h + 40, direction == USBIP_DIR_OUT ? data : nullptr, now_us);
        return;
    }
    if (configuration_ == 0) {
        ret_submit(seqnum, SIM_USB_EPIPE, packets, nullptr, 0);
        return;
    }
    if (ep == SIM_USB_EP_DATA && direction == USBIP_DIR_OUT && faults_.stall_out) {
        log_.push_back("fault: bulk OUT of " + std::to_string(length) + " bytes stalled");
        ret_submit(seqnum, SIM_USB_EPIPE, packets, nullptr, 0);
        return;
    }
    if (bridge_ == sim_usb_bridge::ft232r) {
        bridge_submit(seqnum, direction, ep, length, packets, data, now_us);
        return;
    }
    if (ep == SIM_USB_EP_DATA && direction == USBIP_DIR_OUT && core_.deaf()) {
        // Never completed: the host controller sees a NAK for ever, and the bytes stay in the
        // host's driver. An unlink still gets its answer.
        log_.push_back("fault: deaf, bulk OUT of " + std::to_string(length) + " bytes held");
        pending_.push_back({seqnum, ep, length, true, packets});
        return;
    }
    if (ep == SIM_USB_EP_DATA && direction == USBIP_DIR_OUT) {
        core_.usb_record().bulk_out_bytes += length;
        if (length > 0 && awaiting_host_) {
            core_.usb_record().dtr_resets[*awaiting_host_].first_host_us = now_us;
            awaiting_host_.reset();
        }
        core_.feed(data, length, now_us);
        ret_submit(seqnum, 0, packets, nullptr, 0, length);
        return;
    }
    if (direction == USBIP_DIR_IN && (ep == SIM_USB_EP_DATA || ep == SIM_USB_EP_NOTIFY)) {
        pending_.push_back({seqnum, ep, length}); // the notification endpoint never completes
        return;
    }
    ret_submit(seqnum, SIM_USB_EPIPE, packets, nullptr, 0);
}

void sim_usb_device::control(std::uint32_t seqnum, std::uint32_t buffer_len,
                             const std::uint8_t* setup, const std::uint8_t* data,
                             std::uint64_t now_us) {
    sim_usb_control_event ev;
    ev.at_us = now_us;
    ev.request_type = setup[0];
    ev.request = setup[1];
    ev.value = le16(setup + 2);
    ev.index = le16(setup + 4);
    ev.length = le16(setup + 6);
    const bool host_to_device = (setup[0] & 0x80) == 0;
    const std::uint32_t data_len =
        host_to_device ? std::min<std::uint32_t>(buffer_len, ev.length) : 0;
    if (data != nullptr && data_len > 0) {
        ev.data.assign(data, data + data_len);
    }
    std::vector<std::uint8_t> answer;
    bool ok = false;
    switch (setup[0] & 0x60) {
    case 0x00:
        ok = standard_request(setup, answer);
        break;
    case 0x20:
        ok = bridge_ == sim_usb_bridge::cdc_acm &&
             class_request(setup, data, data_len, answer, now_us);
        break;
    case 0x40:
        ok = bridge_ == sim_usb_bridge::ft232r && vendor_request(setup, answer, now_us);
        break;
    default:
        break;
    }
    ev.stalled = !ok;
    if (!ok) {
        char text[96];
        std::snprintf(text, sizeof text, "usb: stalled request 0x%02X 0x%02X wValue 0x%04X",
                      setup[0], setup[1], ev.value);
        log_.push_back(text);
    }
    core_.usb_record().controls.push_back(std::move(ev));
    if (unplug_) {
        return; // gone before the status stage: the host never gets an answer
    }
    if (!ok) {
        ret_submit(seqnum, SIM_USB_EPIPE, 0, nullptr, 0);
        return;
    }
    if (host_to_device) {
        ret_submit(seqnum, 0, 0, nullptr, 0, data_len);
        return;
    }
    const std::size_t n = std::min<std::size_t>({answer.size(), le16(setup + 6), buffer_len});
    ret_submit(seqnum, 0, 0, answer.data(), n);
}

bool sim_usb_device::standard_request(const std::uint8_t* setup,
                                      std::vector<std::uint8_t>& answer) {
    const std::uint8_t type = setup[0];
    const std::uint16_t value = le16(setup + 2);
    const std::uint16_t index = le16(setup + 4);
    switch (setup[1]) {
    case REQ_GET_DESCRIPTOR:
        answer =
            descriptor(static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value));
        return type == 0x80 && !answer.empty();
    case REQ_SET_CONFIGURATION:
        if (type != 0x00 || value > 1) {
            return false;
        }
        configuration_ = static_cast<std::uint8_t>(value);
        log_.push_back(value == 1 ? "usb: configured" : "usb: unconfigured");
        return true;
    case REQ_GET_CONFIGURATION:
        answer = {configuration_};
        return type == 0x80;
    case REQ_GET_STATUS:
        answer = {0, 0}; // bus-powered, no remote wake-up, no endpoint halted
        return type == 0x80 || type == 0x81 || type == 0x82;
    case REQ_SET_INTERFACE:
        return type == 0x01 && index <= 1 && value == 0; // one alternate setting each
    case REQ_GET_INTERFACE:
        answer = {0};
        return type == 0x81 && index <= 1;
    case REQ_CLEAR_FEATURE:
    case REQ_SET_FEATURE:
        return type == 0x02 && value == 0; // ENDPOINT_HALT; nothing stays halted here
    case REQ_SET_ADDRESS:
        return type == 0x00; // vhci-hcd answers it itself; harmless if it comes
    default:
        return false;
    }
}

bool sim_usb_device::class_request(const std::uint8_t* setup, const std::uint8_t* data,
                                   std::uint32_t data_len, std::vector<std::uint8_t>& answer,
                                   std::uint64_t now_us) {
    const std::uint8_t type = setup[0];
    const std::uint16_t value = le16(setup + 2);
    if (le16(setup + 4) != 0) {
        return false; // the requests go to the communications interface
    }
    switch (setup[1]) {
    case CDC_SET_LINE_CODING: {
        if (type != 0x21 || data == nullptr || data_len != sizeof line_coding_) {
            return false;
        }
        std::memcpy(line_coding_, data, sizeof line_coding_);
        char text[96];
        std::snprintf(text, sizeof text, "usb: line coding %02X %02X %02X %02X %02X %02X %02X",
                      data[0], data[1], data[2], data[3], data[4], data[5], data[6]);
        log_.push_back(text);
        return true;
    }
    case CDC_GET_LINE_CODING:
        answer.assign(line_coding_, line_coding_ + sizeof line_coding_);
        return type == 0xA1;
    case CDC_SET_CONTROL_LINE_STATE:
        if (type != 0x21) {
            return false;
        }
        return line_state(value, now_us);
    case CDC_SEND_BREAK:
        log_.push_back("usb: break of " + std::to_string(value) + " ms");
        return type == 0x21;
    default:
        return false;
    }
}

// DTR is the controller's reset line: cleared holds it in reset, set again boots it. A set
// without a clear before it on this link (the first open) changes nothing.
bool sim_usb_device::line_state(std::uint16_t value, std::uint64_t now_us) {
    const bool was_dtr = dtr();
    if (was_dtr && (value & 1) == 0 && ++dtr_clears_ == faults_.unplug_on_dtr) {
        log_.push_back("fault: unplug on DTR clear " + std::to_string(dtr_clears_));
        unplug_ = true;
        return true;
    }
    line_state_ = value & 3;
    char text[80];
    std::snprintf(text, sizeof text, "usb: DTR %s, RTS %s", dtr() ? "set" : "cleared",
                  (value & 2) != 0 ? "set" : "cleared");
    log_.push_back(text);
    sim_usb_record& usb = core_.usb_record();
    if (was_dtr && !dtr()) {
        usb.dtr_resets.push_back(sim_dtr_reset{now_us, 0, 0});
        open_reset_ = usb.dtr_resets.size() - 1;
        awaiting_host_.reset();
        core_.hold_reset(now_us);
        release_held_out();
    } else if (!was_dtr && dtr()) {
        if (open_reset_) {
            usb.dtr_resets[*open_reset_].set_us = now_us;
            awaiting_host_ = open_reset_;
            open_reset_.reset();
        }
        if (core_.held_in_reset()) {
            core_.release_reset(now_us);
        } else {
            core_.drain(UINT64_MAX); // said while nobody listened: gone
        }
    }
    return true;
}

void sim_usb_device::unlink(std::uint32_t seqnum, std::uint32_t victim) {
    const auto match = [&](const pending_urb& u) { return u.seqnum == victim; };
    const auto it = std::find_if(pending_.begin(), pending_.end(), match);
    const auto out_it = std::find_if(out_urbs_.begin(), out_urbs_.end(), match);
    std::int32_t status = 0;
    if (it != pending_.end()) {
        pending_.erase(it);
        status = SIM_USB_ECONNRESET;
        ++core_.usb_record().unlinks_pending;
    } else if (out_it != out_urbs_.end()) {
        out_urbs_.erase(out_it); // what the chip already took stays in its FIFO
        status = SIM_USB_ECONNRESET;
        ++core_.usb_record().unlinks_pending;
    } else if (victim > last_submit_) {
        // Its CMD_SUBMIT is still on the way. An answer now would make vhci-hcd drop the device
        // (it gives the URB back, then meets the RET_SUBMIT of a URB it no longer has).
        early_unlinks_[victim] = seqnum;
        return;
    } else {
        ++core_.usb_record().unlinks_answered; // its RET_SUBMIT went (or goes) out first
    }
    ret_unlink(seqnum, status);
}

void sim_usb_device::ret_unlink(std::uint32_t seqnum, std::int32_t status) {
    std::uint8_t h[USBIP_HEADER_LEN] = {};
    usbip_put_be32(h, USBIP_RET_UNLINK);
    usbip_put_be32(h + 4, seqnum);
    usbip_put_be32(h + 20, static_cast<std::uint32_t>(status));
    out_.insert(out_.end(), h, h + USBIP_HEADER_LEN);
}

// The reset cured a deaf device: the transfers it held complete, their bytes lost in the hang.
void sim_usb_device::release_held_out() {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->out) {
            ++it;
            continue;
        }
        ret_submit(it->seqnum, 0, it->packets, nullptr, 0, it->length);
        it = pending_.erase(it);
    }
}

void sim_usb_device::ret_submit(std::uint32_t seqnum, std::int32_t status,
                                std::uint32_t number_of_packets, const std::uint8_t* data,
                                std::size_t data_len, std::uint32_t out_len) {
    std::uint8_t h[USBIP_HEADER_LEN] = {};
    usbip_put_be32(h, USBIP_RET_SUBMIT);
    usbip_put_be32(h + 4, seqnum);
    usbip_put_be32(h + 20, static_cast<std::uint32_t>(status));
    // An OUT answer says how much was taken but carries no data.
    usbip_put_be32(h + 24, data != nullptr ? static_cast<std::uint32_t>(data_len) : out_len);
    // Echoed as the host sent it: the kernel copies it back into its URB.
    usbip_put_be32(h + 32, number_of_packets);
    out_.insert(out_.end(), h, h + USBIP_HEADER_LEN);
    if (data_len > 0) {
        out_.insert(out_.end(), data, data + data_len);
    }
}

void sim_usb_device::pump(std::uint64_t now_us) {
    if (bridge_ == sim_usb_bridge::ft232r) {
        bridge_pump(now_us);
        return;
    }
    if (!dtr()) {
        core_.drain(now_us); // the console talks only to a connected terminal
        return;
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->ep != SIM_USB_EP_DATA || it->out) {
            ++it;
            continue;
        }
        std::vector<std::uint8_t> bytes;
        while (bytes.size() < it->length) {
            const std::span<const std::uint8_t> due = core_.output_peek(now_us);
            if (due.empty()) {
                break;
            }
            const std::size_t n = std::min<std::size_t>(due.size(), it->length - bytes.size());
            bytes.insert(bytes.end(), due.begin(), due.begin() + static_cast<std::ptrdiff_t>(n));
            core_.output_commit(n, now_us);
        }
        if (bytes.empty()) {
            return;
        }
        core_.usb_record().bulk_in_bytes += bytes.size();
        ret_submit(it->seqnum, 0, 0, bytes.data(), bytes.size());
        it = pending_.erase(it);
    }
}

void sim_usb_device::sent(std::size_t count) {
    out_.erase(out_.begin(),
               out_.begin() + static_cast<std::ptrdiff_t>(std::min(count, out_.size())));
}

std::optional<std::uint64_t> sim_usb_device::next_due_us() const {
    if (bridge_ == sim_usb_bridge::ft232r) {
        return bridge_next_due_us();
    }
    const bool reader = std::any_of(pending_.begin(), pending_.end(), [](const pending_urb& u) {
        return u.ep == SIM_USB_EP_DATA && !u.out;
    });
    if (!reader && dtr()) {
        return std::nullopt; // the output waits for the host to read
    }
    return core_.next_due_us();
}

void sim_usb_device::detached() {
    unplug_ = false;
    in_.clear();
    out_.clear();
    pending_.clear();
    imported_ = false;
    configuration_ = 0;
    line_state_ = 0;
    open_reset_.reset();
    awaiting_host_.reset();
    early_unlinks_.clear();
    last_submit_ = 0;
    // The bridge loses its power with the link: its settings are the power-up ones again.
    divisor_value_ = FT232R_DEFAULT_DIVISOR;
    divisor_index_ = 0;
    data_value_ = FT232R_DEFAULT_DATA;
    latency_ms_ = FT232R_DEFAULT_LATENCY_MS;
    out_urbs_.clear();
    tx_.clear();
    rx_.clear();
    dtr_low_ = false;
}

std::vector<std::string> sim_usb_device::take_log() {
    std::vector<std::string> lines;
    lines.swap(log_);
    return lines;
}

std::vector<std::uint8_t> sim_usb_device::descriptor(std::uint8_t type, std::uint8_t index) const {
    if (bridge_ == sim_usb_bridge::ft232r) {
        return bridge_descriptor(type, index);
    }
    switch (type) {
    case DT_DEVICE: {
        std::vector<std::uint8_t> d{18, DT_DEVICE};
        put_le16(d, 0x0200);                       // USB 2.0 (no BOS descriptor)
        d.insert(d.end(), {0x02, 0x00, 0x00, 64}); // CDC class at device level, EP0 64 bytes
        put_le16(d, SIM_USB_VENDOR);
        put_le16(d, SIM_USB_PRODUCT);
        put_le16(d, 0x0100);
        d.insert(d.end(), {1, 2, 3, 1}); // manufacturer, product, serial strings; 1 configuration
        return d;
    }
    case DT_CONFIG:
        return index == 0 ? config_descriptor(high_speed_, DT_CONFIG) : std::vector<std::uint8_t>{};
    case DT_QUALIFIER:
        if (!high_speed_) {
            return {}; // a full-speed-only device has none: stall
        }
        return {10, DT_QUALIFIER, 0x00, 0x02, 0x02, 0x00, 0x00, 64, 1, 0};
    case DT_OTHER_SPEED:
        return high_speed_ ? config_descriptor(false, DT_OTHER_SPEED) : std::vector<std::uint8_t>{};
    case DT_STRING:
        switch (index) {
        case 0:
            return {4, DT_STRING, 0x09, 0x04}; // English (United States)
        case 1:
            return string_descriptor("Kelvane");
        case 2:
            return string_descriptor("Kelvane " + self_.type + " (simulated)");
        case 3:
            return string_descriptor(self_.serial);
        default:
            return {};
        }
    default:
        return {};
    }
}

// One configuration: the communications interface (header, call management, ACM and union
// functional descriptors, interrupt IN 0x81) and the data interface (bulk OUT 0x02, bulk IN 0x82).
std::vector<std::uint8_t> sim_usb_device::config_descriptor(bool high, std::uint8_t type) const {
    const std::uint8_t bulk_lo = high ? 0x00 : 64; // 512 or 64 bytes
    const std::uint8_t bulk_hi = high ? 0x02 : 0;
    const std::uint8_t interval = high ? 8 : 16; // 2^(8-1) microframes or 16 frames: 16 ms
    const std::uint8_t notify_in = 0x80 | SIM_USB_EP_NOTIFY;
    const std::uint8_t data_in = 0x80 | SIM_USB_EP_DATA;
    // clang-format off
    std::vector<std::uint8_t> d = {
        9, type, 0, 0, 2, 1, 0, 0x80, 50,                 // 2 interfaces; bus-powered, 100 mA
        9, 4, 0, 0, 1, 0x02, 0x02, 0x00, 0,               // CDC, ACM, no AT protocol
        5, 0x24, 0x00, 0x10, 0x01,                        // header, CDC 1.10
        5, 0x24, 0x01, 0x00, 1,                           // call management: none, data iface 1
        4, 0x24, 0x02, 0x06,                              // ACM: line coding and state, break
        5, 0x24, 0x06, 0, 1,                              // union: control 0, data 1
        7, 5, notify_in, 0x03, 16, 0, interval,           // interrupt IN, 16 bytes
        9, 4, 1, 0, 2, 0x0A, 0x00, 0x00, 0,               // CDC data
        7, 5, SIM_USB_EP_DATA, 0x02, bulk_lo, bulk_hi, 0, // bulk OUT
        7, 5, data_in, 0x02, bulk_lo, bulk_hi, 0,         // bulk IN
    };
    // clang-format on
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

// ---- The FT232R bridge: ftdi_sio's vendor requests, the two FIFOs and the UART between the
// chip and the controller, and the latency timer that decides when received bytes go to the host.

double sim_usb_device::bridge_baud() const {
    return ft232r_baud(divisor_value_, divisor_index_);
}

std::uint64_t sim_usb_device::byte_ns() const {
    return ft232r_char_ns(bridge_baud(), data_value_);
}

bool sim_usb_device::vendor_request(const std::uint8_t* setup, std::vector<std::uint8_t>& answer,
                                    std::uint64_t now_us) {
    const bool out = setup[0] == 0x40;
    const bool in = setup[0] == 0xC0;
    const std::uint16_t value = le16(setup + 2);
    const std::uint16_t index = le16(setup + 4);
    switch (setup[1]) {
    case FT232R_RESET:
        if (!out || value > 2) {
            return false;
        }
        if (value != 2) {
            rx_.clear();
        }
        if (value != 1) {
            tx_.clear();
        }
        break;
    case FT232R_MODEM_CTRL: {
        if (!out) {
            return false;
        }
        std::uint16_t state = line_state_;
        if ((value & 0x100) != 0) {
            state = static_cast<std::uint16_t>((state & ~1u) | (value & 1u));
        }
        if ((value & 0x200) != 0) {
            state = static_cast<std::uint16_t>((state & ~2u) | (value & 2u));
        }
        const bool was_dtr = dtr();
        if (was_dtr && (state & 1) == 0 && ++dtr_clears_ == faults_.unplug_on_dtr) {
            log_.push_back("fault: unplug on DTR clear " + std::to_string(dtr_clears_));
            unplug_ = true;
            return true;
        }
        line_state_ = state;
        dtr_changed(was_dtr, now_us);
        break;
    }
    case FT232R_SET_FLOW_CTRL:
        if (!out) {
            return false;
        }
        break;
    case FT232R_SET_BAUD_RATE:
        if (!out) {
            return false;
        }
        divisor_value_ = value;
        divisor_index_ = index;
        break;
    case FT232R_SET_DATA:
        if (!out) {
            return false;
        }
        data_value_ = value;
        break;
    case FT232R_GET_MODEM_STATUS: {
        const bool empty = tx_.empty() && tx_free_ns_ <= now_us * 1000;
        answer = {FT232R_MODEM_CTS_DSR, empty ? FT232R_LINE_TX_EMPTY : std::uint8_t{0}};
        return in;
    }
    case FT232R_SET_LATENCY_TIMER:
        if (!out) {
            return false;
        }
        latency_ms_ = static_cast<std::uint8_t>(value);
        break;
    case FT232R_GET_LATENCY_TIMER:
        answer = {latency_ms_};
        return in;
    case FT232R_READ_EEPROM:
        // A blank EEPROM: no CBUS pin is set up as a GPIO, so ftdi_sio offers none.
        answer = {0, 0};
        return in;
    default:
        return false;
    }
    log_.push_back("usb: " + ft232r_request_text(setup[1], value, index));
    return true;
}

// The controller's reset hangs on DTR through its reset circuit: a low of FT232R_DTR_RESET_US or
// more holds it in reset until DTR is set again; a shorter one does nothing.
void sim_usb_device::dtr_changed(bool was_dtr, std::uint64_t now_us) {
    sim_usb_record& usb = core_.usb_record();
    if (was_dtr && !dtr()) {
        usb.dtr_resets.push_back(sim_dtr_reset{now_us, 0, 0});
        open_reset_ = usb.dtr_resets.size() - 1;
        awaiting_host_.reset();
        dtr_low_ = true;
        dtr_cleared_us_ = now_us;
    } else if (!was_dtr && dtr()) {
        if (open_reset_) {
            usb.dtr_resets[*open_reset_].set_us = now_us;
            awaiting_host_ = open_reset_;
            open_reset_.reset();
        }
        if (dtr_low_ && !core_.held_in_reset() && now_us >= dtr_cleared_us_ + FT232R_DTR_RESET_US) {
            core_.hold_reset(dtr_cleared_us_ + FT232R_DTR_RESET_US);
        }
        dtr_low_ = false;
        if (core_.held_in_reset()) {
            core_.release_reset(now_us);
        }
    }
}

void sim_usb_device::bridge_submit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep,
                                   std::uint32_t length, std::uint32_t packets,
                                   const std::uint8_t* data, std::uint64_t now_us) {
    if (ep == SIM_USB_EP_DATA && direction == USBIP_DIR_OUT) {
        core_.usb_record().bulk_out_bytes += length;
        if (length > 0 && awaiting_host_) {
            core_.usb_record().dtr_resets[*awaiting_host_].first_host_us = now_us;
            awaiting_host_.reset();
        }
        pending_urb urb{seqnum, ep, length, true, packets, {}};
        urb.data.assign(data, data + length);
        out_urbs_.push_back(std::move(urb));
        bridge_uart(now_us);
        bridge_take_out(now_us * 1000);
        return;
    }
    if (ep == 1 && direction == USBIP_DIR_IN) {
        pending_.push_back({seqnum, ep, length, false, 0, {}, now_us});
        bridge_pump(now_us);
        return;
    }
    ret_submit(seqnum, SIM_USB_EPIPE, packets, nullptr, 0);
}

// The chip takes the host's bytes into its transmit FIFO while there is room; a bulk OUT transfer
// completes when its last byte is in.
void sim_usb_device::bridge_take_out(std::uint64_t at_ns) {
    while (!out_urbs_.empty()) {
        pending_urb& urb = out_urbs_.front();
        const std::size_t room = FT232R_TX_FIFO - std::min(tx_.size(), FT232R_TX_FIFO);
        const std::size_t n = std::min(room, urb.data.size());
        for (std::size_t i = 0; i < n; ++i) {
            tx_.push_back({urb.data[i], at_ns});
        }
        urb.data.erase(urb.data.begin(), urb.data.begin() + static_cast<std::ptrdiff_t>(n));
        if (!urb.data.empty()) {
            return;
        }
        ret_submit(urb.seqnum, 0, urb.packets, nullptr, 0, urb.length);
        out_urbs_.pop_front();
    }
}

// Both directions of the UART up to `now_us`, a character at a time at the rate the host set.
void sim_usb_device::bridge_uart(std::uint64_t now_us) {
    const std::uint64_t now_ns = now_us * 1000;
    const std::uint64_t char_ns = byte_ns();
    while (!tx_.empty()) {
        const std::uint64_t end_ns = std::max(tx_free_ns_, tx_.front().at_ns) + char_ns;
        if (end_ns > now_ns) {
            break;
        }
        const std::uint8_t byte = tx_.front().value;
        tx_.pop_front();
        tx_free_ns_ = end_ns;
        core_.feed(&byte, 1, end_ns / 1000);
        bridge_take_out(end_ns);
    }
    for (;;) {
        const std::optional<std::uint64_t> due_us = core_.next_due_us();
        if (!due_us) {
            break;
        }
        const std::uint64_t start_ns = std::max(rx_free_ns_, *due_us * 1000);
        const std::uint64_t end_ns = start_ns + char_ns;
        if (end_ns > now_ns) {
            break;
        }
        const std::span<const std::uint8_t> due = core_.output_peek(start_ns / 1000);
        if (due.empty()) {
            break;
        }
        const std::uint8_t byte = due[0];
        core_.output_commit(1, end_ns / 1000);
        rx_free_ns_ = end_ns;
        if (rx_.size() < FT232R_RX_FIFO) {
            rx_.push_back({byte, end_ns});
        } else if (rx_overruns_++ == 0) {
            log_.push_back("usb: receive FIFO full; the controller's bytes are lost");
        }
    }
}

// Answers the oldest IN transfer by the latency rule, a 64-byte packet at a time, each led by the
// two status bytes; a short packet (or a full transfer) completes it.
void sim_usb_device::bridge_packets(std::uint64_t now_us) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->ep != 1 || it->out) {
            ++it;
            continue;
        }
        bool complete = false;
        for (;;) {
            const int n = ft232r_packet_bytes(rx_.size(), last_packet_us_, latency_ms_, now_us);
            if (n < 0) {
                break;
            }
            // When the chip sent it by its own clock, not when this model looked: the moment the
            // 62nd byte came, or the timer's expiry, and not before the host asked. So the
            // timer's grid does not drift with the model's wake-ups.
            const std::uint64_t ready_us = static_cast<std::size_t>(n) == FT232R_PACKET_DATA
                                               ? rx_[FT232R_PACKET_DATA - 1].at_ns / 1000
                                               : ft232r_timer_due_us(last_packet_us_, latency_ms_);
            last_packet_us_ = std::min(now_us, std::max(ready_us, it->since_us));
            const bool empty = tx_.empty() && tx_free_ns_ <= now_us * 1000;
            it->data.push_back(FT232R_MODEM_CTS_DSR);
            it->data.push_back(empty ? FT232R_LINE_TX_EMPTY : std::uint8_t{0});
            for (int i = 0; i < n; ++i) {
                it->data.push_back(rx_.front().value);
                rx_.pop_front();
            }
            core_.usb_record().bulk_in_bytes += static_cast<std::uint64_t>(n);
            if (static_cast<std::size_t>(n) < FT232R_PACKET_DATA ||
                it->data.size() + FT232R_PACKET > it->length) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            return; // the host's controller keeps asking; later transfers wait behind this one
        }
        ret_submit(it->seqnum, 0, 0, it->data.data(), it->data.size());
        it = pending_.erase(it);
    }
}

void sim_usb_device::bridge_pump(std::uint64_t now_us) {
    if (dtr_low_ && !core_.held_in_reset() && now_us >= dtr_cleared_us_ + FT232R_DTR_RESET_US) {
        core_.hold_reset(dtr_cleared_us_ + FT232R_DTR_RESET_US);
    }
    bridge_uart(now_us);
    bridge_packets(now_us);
}

std::optional<std::uint64_t> sim_usb_device::bridge_next_due_us() const {
    std::optional<std::uint64_t> due_ns;
    const auto consider = [&](std::uint64_t at_ns) {
        due_ns = due_ns ? std::min(*due_ns, at_ns) : at_ns;
    };
    const std::uint64_t char_ns = byte_ns();
    if (!tx_.empty()) {
        // When the FIFO has room for the rest of the waiting transfer, or else when it is empty:
        // the controller's answers are timed from the characters' own ends, so nothing between.
        const std::size_t rest = out_urbs_.empty() ? 0 : out_urbs_.front().data.size();
        // (A transfer waits only while the FIFO is full.)
        const std::size_t leaving = rest == 0 ? tx_.size() : std::min(tx_.size(), rest);
        std::uint64_t end_ns = tx_free_ns_;
        for (std::size_t i = 0; i < std::max<std::size_t>(leaving, 1); ++i) {
            end_ns = std::max(end_ns, tx_[i].at_ns) + char_ns;
        }
        consider(end_ns);
    }
    if (const std::optional<std::uint64_t> out_us = core_.next_due_us()) {
        consider(std::max(rx_free_ns_, *out_us * 1000) + char_ns);
    }
    const bool reader = std::any_of(pending_.begin(), pending_.end(),
                                    [](const pending_urb& u) { return u.ep == 1 && !u.out; });
    if (reader) {
        consider(rx_.size() >= FT232R_PACKET_DATA
                     ? 0
                     : ft232r_timer_due_us(last_packet_us_, latency_ms_) * 1000);
    }
    if (dtr_low_ && !core_.held_in_reset()) {
        consider((dtr_cleared_us_ + FT232R_DTR_RESET_US) * 1000);
    }
    if (!due_ns) {
        return std::nullopt;
    }
    return (*due_ns + 999) / 1000;
}

// One interface of vendor class with bulk IN 0x81 and bulk OUT 0x02 of 64 bytes, as the chip
// reports itself (full speed only, control endpoint of 8 bytes).
std::vector<std::uint8_t> sim_usb_device::bridge_descriptor(std::uint8_t type,
                                                            std::uint8_t index) const {
    switch (type) {
    case DT_DEVICE: {
        std::vector<std::uint8_t> d{18, DT_DEVICE};
        put_le16(d, 0x0200);
        d.insert(d.end(), {0x00, 0x00, 0x00, 8});
        put_le16(d, FT232R_VENDOR);
        put_le16(d, FT232R_PRODUCT);
        put_le16(d, FT232R_BCD_DEVICE);
        d.insert(d.end(), {1, 2, 3, 1});
        return d;
    }
    case DT_CONFIG:
        if (index != 0) {
            return {};
        }
        // clang-format off
        return {
            9, DT_CONFIG, 32, 0, 1, 1, 0, 0xA0, 45, // 1 interface; bus-powered, 90 mA
            9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,     // vendor class
            7, 5, 0x81, 0x02, 64, 0, 0,             // bulk IN
            7, 5, SIM_USB_EP_DATA, 0x02, 64, 0, 0,  // bulk OUT
        };
        // clang-format on
    case DT_STRING:
        switch (index) {
        case 0:
            return {4, DT_STRING, 0x09, 0x04};
        case 1:
            return string_descriptor("Kelvane");
        case 2:
            return string_descriptor("Kelvane " + self_.type + " (simulated, FT232R bridge)");
        case 3:
            return string_descriptor(self_.serial);
        default:
            return {};
        }
    default:
        return {}; // no qualifier: full speed only
    }
}
