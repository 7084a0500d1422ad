// The FT232R bridge personality on a virtual clock, with the test playing ftdi_sio's side of
// USB/IP: the baud divisor's decoding, the latency timer's rule for received bytes, the vendor
// request table, the UART's pace and the DTR reset behind the bridge, and an unlink that comes
// before the submit of its URB.

#include "sim-core.h"
#include "sim-ft232r.h"
#include "sim-test-helpers.h"
#include "sim-usbip.h"
#include "usbip-test-helpers.h"

#include <gtest/gtest.h>

using usbtest::bytes;
using usbtest::le16_at;
using usbtest::ret;

namespace {

constexpr std::uint8_t STD_IN = 0x80;
constexpr std::uint8_t VENDOR_OUT = 0x40;
constexpr std::uint8_t VENDOR_IN = 0xC0;
constexpr std::uint16_t DIVISOR_115200 = 0x001A;

// One IN packet as ftdi_sio sees it: when it came and what it carried.
struct packet {
    std::uint64_t at_us;
    bytes data;
};

struct bridge_host {
    bridge_host() : core(config, 0), device(core, config.self, false, {}, sim_usb_bridge::ft232r) {}

    sim_config config;
    sim_core core;
    sim_usb_device device;
    usbtest::kernel kernel;
    std::uint64_t now_us = 1000;
    std::vector<packet> packets; // every IN transfer's answer, status bytes included
    std::vector<ret> rets;       // the other answers
    std::uint32_t reader = 0;    // the one IN URB kept pending, as ftdi_sio keeps its read URB
    bool stream_ok = true;

    void send(const bytes& cmd) {
        stream_ok = device.receive(cmd.data(), cmd.size(), now_us) && stream_ok;
        collect();
    }

    void collect() {
        device.pump(now_us);
        const bytes out = device.outgoing();
        device.sent(out.size());
        bool ok = true;
        for (ret& r : kernel.take(out, ok)) {
            if (r.command == 3 && r.seqnum == reader && reader != 0) {
                packets.push_back({now_us, r.data});
                const bytes again = kernel.interrupt_in(64); // bulk IN 0x81
                reader = kernel.last_seqnum();
                device.receive(again.data(), again.size(), now_us);
                continue;
            }
            rets.push_back(std::move(r));
        }
        stream_ok = ok && stream_ok;
        if (!device.outgoing().empty()) {
            collect();
        }
    }

    // In steps of 100 us, each at the device's next due time when that comes sooner.
    void advance_ms(std::uint64_t ms) {
        const std::uint64_t end = now_us + ms * 1000;
        while (now_us < end) {
            std::uint64_t next = std::min(end, now_us + 100);
            if (const std::optional<std::uint64_t> due = device.next_due_us()) {
                next = std::min(next, std::max(*due, now_us + 1));
            }
            now_us = next;
            collect();
        }
    }

    ret vendor_out(std::uint8_t request, std::uint16_t value, std::uint16_t index = 0) {
        send(kernel.control_out(VENDOR_OUT, request, value, index));
        return rets.empty() ? ret{} : rets.back();
    }

    ret vendor_in(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                  std::uint16_t length) {
        send(kernel.control_in(VENDOR_IN, request, value, index, length));
        return rets.empty() ? ret{} : rets.back();
    }

    void enumerate() {
        const std::vector<std::uint8_t> req = usbip_import_request("1-1");
        ASSERT_TRUE(device.receive(req.data(), req.size(), now_us));
        device.sent(device.outgoing().size());
        send(kernel.control_out(0x00, 9, 1, 0));
        ASSERT_EQ(rets.back().status, 0);
    }

    // What ftdi_sio's open and kvup's settings send: the read URB, 115200 8N1, no flow control,
    // DTR and RTS set.
    void open(std::uint8_t latency_ms = 16) {
        send(kernel.interrupt_in(64));
        reader = kernel.last_seqnum();
        ASSERT_EQ(vendor_out(FT232R_SET_BAUD_RATE, DIVISOR_115200).status, 0);
        ASSERT_EQ(vendor_out(FT232R_SET_DATA, 0x0008).status, 0);
        ASSERT_EQ(vendor_out(FT232R_SET_FLOW_CTRL, 0).status, 0);
        ASSERT_EQ(vendor_out(FT232R_SET_LATENCY_TIMER, latency_ms).status, 0);
        ASSERT_EQ(vendor_out(FT232R_MODEM_CTRL, 0x0303).status, 0);
    }

    void pulse_dtr(std::uint64_t ms) {
        vendor_out(FT232R_MODEM_CTRL, 0x0100);
        advance_ms(ms);
        vendor_out(FT232R_MODEM_CTRL, 0x0101);
    }

    // The received bytes, status bytes taken off every 64-byte packet as ftdi_sio does.
    std::string console() const {
        std::string text;
        for (const packet& p : packets) {
            for (std::size_t at = 0; at < p.data.size(); at += FT232R_PACKET) {
                const std::size_t end = std::min(p.data.size(), at + FT232R_PACKET);
                text.append(p.data.begin() + static_cast<std::ptrdiff_t>(at + 2),
                            p.data.begin() + static_cast<std::ptrdiff_t>(end));
            }
        }
        return text;
    }
};

} // namespace

TEST(Ft232rBaud, DivisorDecodesAsTheChipDividesItsThreeMegahertz) {
    EXPECT_NEAR(ft232r_baud(0x001A, 0), 115384.6, 0.05) << "ftdi_sio's divisor for 115200";
    EXPECT_NEAR(ft232r_baud(FT232R_DEFAULT_DIVISOR, 0), 9600.0, 1e-9) << "312.5";
    EXPECT_DOUBLE_EQ(ft232r_baud(0, 0), 3'000'000.0);
    EXPECT_DOUBLE_EQ(ft232r_baud(1, 0), 2'000'000.0);
    // The eighths: code 3 in bits 14-15 is 1/8, code 4 (wIndex bit 0) is 3/8, code 7 is 7/8.
    EXPECT_NEAR(ft232r_baud(0xC01A, 0), 3e6 / 26.125, 1e-6);
    EXPECT_NEAR(ft232r_baud(0x001A, 1), 3e6 / 26.375, 1e-6);
    EXPECT_NEAR(ft232r_baud(0xC01A, 1), 3e6 / 26.875, 1e-6);
    EXPECT_NEAR(ft232r_baud(0x801A, 0), 3e6 / 26.25, 1e-6);
    // Only wIndex bit 0 belongs to the divisor.
    EXPECT_DOUBLE_EQ(ft232r_baud(0x001A, 0x0100), ft232r_baud(0x001A, 0));
    // 8N1 is ten bits; 8E2 twelve.
    EXPECT_EQ(ft232r_char_ns(100'000.0, 0x0008), 100'000u);
    EXPECT_EQ(ft232r_char_ns(100'000.0, 0x1208), 120'000u);
}

TEST(Ft232rLatency, ShortRepliesWaitForTheTimerAndFullPacketsGoAtOnce) {
    EXPECT_EQ(ft232r_packet_bytes(12, 0, 16, 15'999), -1);
    EXPECT_EQ(ft232r_packet_bytes(12, 0, 16, 16'000), 12);
    EXPECT_EQ(ft232r_packet_bytes(62, 0, 16, 1), 62);
    EXPECT_EQ(ft232r_packet_bytes(300, 0, 16, 1), 62) << "one packet at a time";
    EXPECT_EQ(ft232r_packet_bytes(0, 5'000, 16, 21'000), 0) << "status only at each expiry";
    EXPECT_EQ(ft232r_packet_bytes(12, 0, 1, 999), -1);
    EXPECT_EQ(ft232r_packet_bytes(12, 0, 1, 1'000), 12);
    EXPECT_EQ(ft232r_timer_due_us(0, 0), 1'000u) << "0 counts as 1 ms";
}

TEST(Ft232rRequests, TheChipAnswersFtdiSioAndStallsTheRest) {
    bridge_host h;
    const std::vector<std::uint8_t> req = usbip_import_request("1-1");
    ASSERT_TRUE(h.device.receive(req.data(), req.size(), h.now_us));
    const bytes reply = h.device.outgoing();
    h.device.sent(reply.size());
    ASSERT_TRUE(usbtest::import_reply_ok(reply));
    EXPECT_EQ(reply[8 + 300] << 8 | reply[8 + 301], 0x0403);
    EXPECT_EQ(reply[8 + 302] << 8 | reply[8 + 303], 0x6001);
    EXPECT_EQ(reply[8 + 311], 1) << "one interface";
    EXPECT_EQ(h.device.speed(), SIM_USB_SPEED_FULL);

    h.send(h.kernel.control_in(STD_IN, 6, 0x0100, 0, 18));
    const bytes dev = h.rets.back().data;
    ASSERT_EQ(dev.size(), 18u);
    EXPECT_EQ(le16_at(dev, 8), 0x0403);
    EXPECT_EQ(le16_at(dev, 10), 0x6001);
    EXPECT_EQ(le16_at(dev, 12), 0x0600) << "bcdDevice: ftdi_sio takes it for an FT232R";
    h.send(h.kernel.control_in(STD_IN, 6, 0x0200, 0, 255));
    const bytes cfg = h.rets.back().data;
    ASSERT_EQ(cfg.size(), 32u);
    EXPECT_EQ(cfg[4], 1) << "interfaces";
    EXPECT_EQ(cfg[18 + 2], 0x81);
    EXPECT_EQ(cfg[18 + 4], 64);
    EXPECT_EQ(cfg[25 + 2], 0x02);
    EXPECT_EQ(cfg[25 + 4], 64);
    h.send(h.kernel.control_out(0x00, 9, 1, 0));

    EXPECT_EQ(h.vendor_in(FT232R_GET_LATENCY_TIMER, 0, 0, 1).data, bytes{16});
    EXPECT_EQ(h.vendor_out(FT232R_SET_LATENCY_TIMER, 1).status, 0);
    EXPECT_EQ(h.vendor_in(FT232R_GET_LATENCY_TIMER, 0, 0, 1).data, bytes{1});
    EXPECT_EQ(h.device.bridge_latency_ms(), 1);
    EXPECT_EQ(h.vendor_in(FT232R_GET_MODEM_STATUS, 0, 0, 2).data, (bytes{0x31, 0x60}));
    EXPECT_EQ(h.vendor_in(FT232R_READ_EEPROM, 0, 0x0A, 2).data.size(), 2u);
    EXPECT_NEAR(h.device.bridge_baud(), 9600.0, 0.01) << "the power-up rate";
    EXPECT_EQ(h.vendor_out(FT232R_SET_BAUD_RATE, DIVISOR_115200).status, 0);
    EXPECT_NEAR(h.device.bridge_baud(), 115384.6, 0.05);
    for (std::uint8_t r : {FT232R_RESET, FT232R_SET_FLOW_CTRL, FT232R_SET_DATA}) {
        EXPECT_EQ(h.vendor_out(r, 0).status, 0) << int{r};
    }
    EXPECT_EQ(h.vendor_out(0x07, 0).status, SIM_USB_EPIPE) << "an unknown vendor request";
    EXPECT_EQ(h.vendor_in(FT232R_SET_BAUD_RATE, 0, 0, 1).status, SIM_USB_EPIPE)
        << "a setting asked for with the wrong direction";
    h.send(h.kernel.control_out(0x21, 0x22, 0x0003, 0)); // CDC SET_CONTROL_LINE_STATE
    EXPECT_EQ(h.rets.back().status, SIM_USB_EPIPE) << "no CDC requests";
    EXPECT_TRUE(h.stream_ok);
}

TEST(Ft232rPackets, EveryPacketLeadsWithStatusAndRepliesLeaveOnTheTimersGrid) {
    bridge_host h;
    h.enumerate();
    h.open();
    h.advance_ms(300); // the power-on text, held in the chip until the first read
    h.packets.clear();
    h.advance_ms(100);
    // Idle: a status-only packet at each expiry, 16 ms apart.
    ASSERT_GE(h.packets.size(), 5u);
    for (std::size_t i = 1; i < h.packets.size(); ++i) {
        EXPECT_EQ(h.packets[i].data, (bytes{0x31, 0x60}));
        EXPECT_EQ(h.packets[i].at_us - h.packets[i - 1].at_us, 16'000u) << i;
    }
    // The boot text after a reset: no packet longer than 64 bytes, status bytes first, and the
    // short last piece waits for the timer.
    h.pulse_dtr(50);
    h.packets.clear();
    h.advance_ms(300);
    const std::string text = h.console();
    EXPECT_NE(text.find(SIM_PROMPT), std::string::npos) << text;
    for (const packet& p : h.packets) {
        ASSERT_LE(p.data.size(), FT232R_PACKET);
        EXPECT_EQ(p.data[0], 0x31);
    }
    std::uint64_t previous = 0;
    for (const packet& p : h.packets) {
        if (p.data.size() < FT232R_PACKET && previous != 0) {
            EXPECT_EQ(p.at_us - previous, 16'000u) << "a short packet only when the timer ran out";
        }
        previous = p.at_us;
    }
}

TEST(Ft232rUart, HostBytesReachTheControllerAtTheWireRate) {
    bridge_host h;
    h.enumerate();
    h.open();
    h.pulse_dtr(50);
    h.advance_ms(300);
    // 100 bytes at 115384.6 baud 8N1 take 8.67 ms on the wire: the line is not there before.
    const std::string line(99, 'x');
    const std::size_t lines_before = h.core.record().lines.size();
    h.send(h.kernel.bulk_out(line + "\r"));
    h.advance_ms(8);
    EXPECT_EQ(h.core.record().lines.size(), lines_before);
    h.advance_ms(1);
    ASSERT_EQ(h.core.record().lines.size(), lines_before + 1);
    EXPECT_EQ(h.core.record().lines.back(), line);
    // The transfer completes once the chip has taken it into its 128-byte FIFO; a bigger one
    // waits for room.
    h.rets.clear();
    h.send(h.kernel.bulk_out(bytes(300, '\r')));
    EXPECT_TRUE(h.rets.empty()) << "300 bytes do not fit at once";
    h.advance_ms(16);
    ASSERT_EQ(h.rets.size(), 1u);
    EXPECT_EQ(h.rets[0].actual, 300u);
}

TEST(Ft232rReset, OnlyADtrLowOfFortyMillisecondsResetsTheController) {
    bridge_host h;
    h.enumerate();
    h.open();
    h.advance_ms(300);
    h.packets.clear();
    h.pulse_dtr(20);
    h.advance_ms(300);
    EXPECT_EQ(h.console().find(SIM_PROMPT), std::string::npos) << "a 20 ms low is no reset";
    h.pulse_dtr(45);
    h.advance_ms(300);
    EXPECT_NE(h.console().find(SIM_PROMPT), std::string::npos);
    const sim_usb_record& usb = h.core.record().usb;
    ASSERT_EQ(usb.dtr_resets.size(), 2u) << "both pulses recorded, as the chip saw them";
    EXPECT_EQ(usb.dtr_resets[1].set_us - usb.dtr_resets[1].cleared_us, 45'000u);
}

TEST(UsbUrbs, AnUnlinkBeforeItsSubmitIsAnsweredWhenTheSubmitComes) {
    bridge_host h;
    h.enumerate();
    h.open();
    h.rets.clear();
    const std::uint32_t victim = h.kernel.last_seqnum() + 2; // after the unlink's own number
    h.send(h.kernel.unlink(victim));
    EXPECT_TRUE(h.rets.empty()) << "nothing to answer yet";
    const std::uint32_t unlink_seqnum = h.kernel.last_seqnum();
    h.send(h.kernel.bulk_out(std::string("lost\r")));
    ASSERT_EQ(h.kernel.last_seqnum(), victim);
    h.advance_ms(5);
    ASSERT_EQ(h.rets.size(), 1u) << "the held answer, and no RET_SUBMIT";
    EXPECT_EQ(h.rets[0].command, 4u);
    EXPECT_EQ(h.rets[0].seqnum, unlink_seqnum);
    EXPECT_EQ(h.rets[0].status, SIM_USB_ECONNRESET);
    EXPECT_EQ(h.core.record().usb.bulk_out_bytes, 0u) << "an unlinked URB never runs";
    EXPECT_TRUE(h.stream_ok);
}
