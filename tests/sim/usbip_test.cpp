// The USB front end's device on a virtual clock, with the test playing the kernel's side of
// USB/IP: the import, what cdc_acm's enumeration and open send, the DTR reset model, URB
// unlinks, whole updates through the bulk endpoints, and the unplug fault with a replug.

#include "sim-core.h"
#include "sim-test-helpers.h"
#include "sim-usbip.h"
#include "usbip-test-helpers.h"

#include <gtest/gtest.h>
#include <set>

using usbtest::bytes;
using usbtest::le16_at;
using usbtest::ret;

namespace {

constexpr std::uint8_t STD_IN = 0x80;
constexpr std::uint8_t CLASS_OUT = 0x21;
constexpr std::uint8_t CLASS_IN = 0xA1;
const bytes LINE_115200_8N1 = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};

// The boot text the pty front end's device sends after a reset.
std::string pty_boot_text(const sim_config& config) {
    sim_core core(config, 0);
    core.drain(1'000'000);
    core.reset(2'000'000);
    const bytes out = core.drain(10'000'000);
    return std::string(out.begin(), out.end());
}

struct usb_host {
    explicit usb_host(sim_config c = {}, bool high = false, sim_usb_faults faults = {})
        : config(std::move(c)), core(config, 0), device(core, config.self, high, faults) {}

    sim_config config;
    sim_core core;
    sim_usb_device device;
    usbtest::kernel kernel;
    std::uint64_t now_us = 1000;
    std::string console;   // bulk IN data so far
    std::vector<ret> rets; // answers other than bulk IN data, oldest first
    bool stream_ok = true;

    // Sends `cmd`, collects what comes back now.
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
            if (r.command == 3 && bulk_in_.erase(r.seqnum) != 0) {
                console.append(r.data.begin(), r.data.end());
                // cdc_acm resubmits each read URB as soon as it completes.
                const bytes again = kernel.bulk_in(64);
                bulk_in_.insert(kernel.last_seqnum());
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

    void advance_ms(std::uint64_t ms) {
        const std::uint64_t end = now_us + ms * 1000;
        while (now_us < end) {
            now_us = std::min(end, now_us + 500);
            collect();
        }
    }

    ret last() { return rets.empty() ? ret{} : rets.back(); }

    ret control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                   std::uint16_t index, std::uint16_t length) {
        send(kernel.control_in(type, request, value, index, length));
        return last();
    }

    ret control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    const bytes& data = {}) {
        send(kernel.control_out(type, request, value, 0, data));
        return last();
    }

    void import() {
        const std::vector<std::uint8_t> req = usbip_import_request("1-1");
        ASSERT_TRUE(device.receive(req.data(), req.size(), now_us));
        const bytes reply = device.outgoing();
        device.sent(reply.size());
        ASSERT_TRUE(usbtest::import_reply_ok(reply));
    }

    // As the kernel does from attach to a configured device.
    void enumerate() {
        import();
        ASSERT_EQ(control_in(STD_IN, 6, 0x0100, 0, 64).status, 0);
        ASSERT_EQ(control_in(STD_IN, 6, 0x0200, 0, 9).status, 0);
        ASSERT_EQ(control_out(0x00, 9, 1).status, 0);
    }

    // What cdc_acm's open and kvup's settings send: the read URBs, DTR and RTS, the line coding.
    void open() {
        send(kernel.interrupt_in(16));
        notify_ = kernel.last_seqnum();
        for (int i = 0; i < 16; ++i) {
            send(kernel.bulk_in(64));
            bulk_in_.insert(kernel.last_seqnum());
        }
        ASSERT_EQ(control_out(CLASS_OUT, 0x22, 0x0003).status, 0);
        ASSERT_EQ(control_out(CLASS_OUT, 0x20, 0, LINE_115200_8N1).status, 0);
    }

    // kvup's reset: DTR cleared for `ms`, then set again.
    void pulse_dtr(std::uint64_t ms = 55) {
        control_out(CLASS_OUT, 0x22, 0x0002);
        advance_ms(ms);
        control_out(CLASS_OUT, 0x22, 0x0003);
    }

    // cdc_acm's close: DTR and RTS cleared, every read URB unlinked; the answers to the unlinks.
    std::vector<ret> close() {
        control_out(CLASS_OUT, 0x22, 0x0000);
        rets.clear();
        std::vector<std::uint32_t> victims(bulk_in_.begin(), bulk_in_.end());
        victims.push_back(notify_);
        bulk_in_.clear();
        for (std::uint32_t victim : victims) {
            send(kernel.unlink(victim));
        }
        return rets;
    }

    std::string line(const std::string& text) {
        console.clear();
        send(kernel.bulk_out(text + "\r"));
        advance_ms(20);
        return console;
    }

    std::set<std::uint32_t> bulk_in_;
    std::uint32_t notify_ = 0;
};

sim_fault unplug_at(std::uint32_t chunk) {
    sim_fault f;
    f.kind = sim_fault_kind::unplug;
    f.chunk = chunk;
    return f;
}

} // namespace

TEST(UsbImport, ReplyDescribesTheDeviceAndOtherOpeningsCloseTheLink) {
    usb_host h;
    const std::vector<std::uint8_t> req = usbip_import_request("1-1");
    ASSERT_TRUE(h.device.receive(req.data(), req.size(), 0));
    const bytes reply = h.device.outgoing();
    ASSERT_TRUE(usbtest::import_reply_ok(reply));
    const std::uint8_t* dev = reply.data() + 8;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dev + 256)), "1-1");
    EXPECT_EQ(usbtest::be32(dev + 296), SIM_USB_SPEED_FULL);
    EXPECT_EQ(dev[300] << 8 | dev[301], 0x1209);
    EXPECT_EQ(dev[302] << 8 | dev[303], 0x0001);
    EXPECT_EQ(dev[306], 0x02);
    EXPECT_EQ(dev[311], 2) << "two interfaces";

    usb_host other;
    bytes devlist(40, 0);
    devlist[0] = 0x01;
    devlist[1] = 0x11;
    devlist[2] = 0x80;
    devlist[3] = 0x05;
    EXPECT_FALSE(other.device.receive(devlist.data(), devlist.size(), 0));
}

TEST(UsbEnumeration, DescriptorsAreThoseOfACdcAcmDevice) {
    usb_host h;
    h.import();
    const ret dev = h.control_in(STD_IN, 6, 0x0100, 0, 64);
    ASSERT_EQ(dev.status, 0);
    ASSERT_EQ(dev.data.size(), 18u) << "a short answer to the 64-byte first read";
    EXPECT_EQ(dev.data[1], 1);
    EXPECT_EQ(le16_at(dev.data, 2), 0x0200);
    EXPECT_EQ(dev.data[4], 0x02);
    EXPECT_EQ(le16_at(dev.data, 8), 0x1209);
    EXPECT_EQ(le16_at(dev.data, 10), 0x0001);

    const ret head = h.control_in(STD_IN, 6, 0x0200, 0, 9);
    ASSERT_EQ(head.data.size(), 9u);
    const std::uint16_t total = le16_at(head.data, 2);
    const ret config = h.control_in(STD_IN, 6, 0x0200, 0, total);
    ASSERT_EQ(config.data.size(), total);
    EXPECT_EQ(config.data[4], 2) << "interfaces";

    // Walk the descriptors: the functional descriptors and the three endpoints.
    std::vector<std::uint8_t> functional;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> endpoints; // address, attributes
    std::vector<std::uint8_t> classes;
    for (std::size_t at = 0; at < config.data.size(); at += config.data[at]) {
        ASSERT_GT(config.data[at], 0);
        const std::uint8_t type = config.data[at + 1];
        if (type == 4) {
            classes.push_back(config.data[at + 5]);
        } else if (type == 0x24) {
            functional.push_back(config.data[at + 2]);
        } else if (type == 5) {
            endpoints.emplace_back(config.data[at + 2], config.data[at + 3]);
            if ((config.data[at + 3] & 3) == 2) {
                EXPECT_EQ(le16_at(config.data, at + 4), 64) << "full-speed bulk packets";
            }
        }
    }
    EXPECT_EQ(classes, (std::vector<std::uint8_t>{0x02, 0x0A}));
    EXPECT_EQ(functional, (std::vector<std::uint8_t>{0x00, 0x01, 0x02, 0x06}));
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected = {
        {0x81, 3}, {0x02, 2}, {0x82, 2}};
    EXPECT_EQ(endpoints, expected);

    EXPECT_EQ(h.control_in(STD_IN, 6, 0x0300, 0, 255).data, (bytes{4, 3, 0x09, 0x04}));
    const ret serial = h.control_in(STD_IN, 6, 0x0303, 0x0409, 255);
    ASSERT_EQ(serial.data.size(), 2u + 2 * 7);
    EXPECT_EQ(serial.data[2], 'K');
    EXPECT_EQ(serial.data[3], 0);
    EXPECT_EQ(h.control_in(STD_IN, 6, 0x0600, 0, 10).status, SIM_USB_EPIPE)
        << "a full-speed device has no device qualifier";
    EXPECT_EQ(h.control_in(STD_IN, 6, 0x0F00, 0, 5).status, SIM_USB_EPIPE) << "no BOS";
    EXPECT_EQ(h.control_out(0x00, 9, 1).status, 0);
    EXPECT_EQ(h.control_in(STD_IN, 8, 0, 0, 1).data, bytes{1});
    EXPECT_EQ(h.control_in(0xC0, 0x01, 0, 0, 2).status, SIM_USB_EPIPE) << "vendor request";
    EXPECT_EQ(h.control_out(CLASS_OUT, 0x00, 0).status, SIM_USB_EPIPE)
        << "SEND_ENCAPSULATED_COMMAND: no AT commands here";
    EXPECT_TRUE(h.stream_ok);

    const sim_usb_record& usb = h.core.record().usb;
    ASSERT_FALSE(usb.controls.empty());
    EXPECT_TRUE(usb.controls.back().stalled);
    EXPECT_EQ(usb.controls.back().request, 0x00);
}

TEST(UsbEnumeration, HighSpeedAnswersTheQualifierAndUses512BytePackets) {
    usb_host h({}, true);
    h.import();
    const ret qualifier = h.control_in(STD_IN, 6, 0x0600, 0, 10);
    ASSERT_EQ(qualifier.status, 0);
    EXPECT_EQ(qualifier.data.size(), 10u);
    const ret config = h.control_in(STD_IN, 6, 0x0200, 0, 255);
    ASSERT_GE(config.data.size(), 67u);
    EXPECT_EQ(le16_at(config.data, config.data.size() - 3), 512);
    const ret other = h.control_in(STD_IN, 6, 0x0700, 0, 255);
    ASSERT_EQ(other.data.size(), config.data.size());
    EXPECT_EQ(other.data[1], 7);
    EXPECT_EQ(le16_at(other.data, other.data.size() - 3), 64);
}

TEST(UsbControl, LineCodingIsKeptAnsweredAndRecordedWithItsTime) {
    usb_host h;
    h.enumerate();
    h.now_us = 205'000;
    const ret set = h.control_out(CLASS_OUT, 0x20, 0, LINE_115200_8N1);
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.actual, 7u) << "taken, though the answer carries no data";
    EXPECT_TRUE(set.data.empty());
    const bytes odd = {0x80, 0x25, 0x00, 0x00, 0x02, 0x02, 0x07}; // 9600 7E2
    h.control_out(CLASS_OUT, 0x20, 0, odd);
    EXPECT_EQ(h.control_in(CLASS_IN, 0x21, 0, 0, 7).data, odd);
    EXPECT_EQ(h.control_out(CLASS_OUT, 0x20, 0, {1, 2, 3}).status, SIM_USB_EPIPE);
    EXPECT_EQ(h.control_out(CLASS_OUT, 0x23, 0xFFFF).status, 0) << "SEND_BREAK";

    const std::string summary = sim_record_summary(h.core.record());
    EXPECT_NE(summary.find("[   205.000 ms] SET_LINE_CODING 00 C2 01 00 00 00 08 (115200 8N1)"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("SET_LINE_CODING 80 25 00 00 02 02 07 (9600 7E2)"), std::string::npos);
    EXPECT_NE(summary.find("SEND_BREAK 0xFFFF"), std::string::npos);
    EXPECT_NE(summary.find("stalled: bmRequestType 0x21 bRequest 0x20"), std::string::npos);
}

TEST(UsbReset, OpenAloneNeverBootsTheDeviceNorShowsItsPowerOnOutput) {
    sim_config config;
    config.boot_delay_ms = 300; // due after the open: still never shown
    usb_host h(config);
    h.enumerate();
    h.open();
    h.advance_ms(1000);
    EXPECT_EQ(h.console, "");
    EXPECT_TRUE(h.core.record().resets_us.empty());
    EXPECT_EQ(h.line(""), std::string("\r\n") + SIM_PROMPT) << "but the console runs";
}

TEST(UsbReset, DtrClearedHoldsTheDeviceAndSettingItBootsWithThePtyBootText) {
    sim_config config;
    usb_host h(config);
    h.enumerate();
    h.open();
    h.advance_ms(200);
    h.control_out(CLASS_OUT, 0x22, 0x0002);
    const std::uint64_t cleared = h.now_us;
    EXPECT_EQ(h.core.record().resets_us.size(), 1u);
    h.send(h.kernel.bulk_out(std::string("installer on\r")));
    h.advance_ms(55);
    EXPECT_EQ(h.console, "") << "held in reset: silent";
    h.control_out(CLASS_OUT, 0x22, 0x0003);
    const std::uint64_t set = h.now_us;
    h.advance_ms(152);
    EXPECT_EQ(h.console, pty_boot_text(config)) << "spread over the 64-byte read URBs";
    EXPECT_TRUE(h.core.record().lines.empty()) << "the line sent in reset was never heard";
    h.send(h.kernel.bulk_out(std::string("\r")));
    EXPECT_TRUE(h.stream_ok);

    const sim_usb_record& usb = h.core.record().usb;
    ASSERT_EQ(usb.dtr_resets.size(), 1u);
    EXPECT_EQ(usb.dtr_resets[0].cleared_us, cleared);
    EXPECT_EQ(usb.dtr_resets[0].set_us, set);
    EXPECT_EQ(usb.dtr_resets[0].first_host_us, set + 152'000);
    const std::string summary = sim_record_summary(h.core.record());
    EXPECT_NE(summary.find("  DTR resets: 1\n    DTR cleared at 201.000 ms for 55.000 ms; first "
                           "host byte 152.000 ms after DTR was set\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("SET_CONTROL_LINE_STATE 0x0002 (DTR cleared, RTS set)"),
              std::string::npos);
}

TEST(UsbReset, AResetInterruptsTheSessionAndEveryPulseIsOneReset) {
    usb_host h;
    h.enumerate();
    h.open();
    h.pulse_dtr();
    h.advance_ms(150);
    h.line("installer on");
    EXPECT_NE(h.line("kelvane").find("Installer mode ON"), std::string::npos);
    h.line("fwupdate start");
    h.pulse_dtr();
    h.advance_ms(150);
    const sim_record& rec = h.core.record();
    EXPECT_EQ(rec.resets_us.size(), 2u);
    EXPECT_EQ(rec.usb.dtr_resets.size(), 2u);
    ASSERT_EQ(rec.sessions.size(), 1u);
    EXPECT_EQ(rec.sessions[0].outcome, sim_outcome::interrupted);
    EXPECT_FALSE(rec.installer_mode);
    EXPECT_EQ(h.core.record().usb.dtr_resets[1].first_host_us, 0u);
    EXPECT_NE(sim_record_summary(rec).find("; no host byte after DTR was set"), std::string::npos);
}

TEST(UsbUrbs, EveryUnlinkIsAnsweredAndAnUnlinkedUrbNeverCompletes) {
    usb_host h;
    h.enumerate();
    h.open();
    const std::vector<ret> answers = h.close();
    ASSERT_EQ(answers.size(), 17u) << "16 read URBs and the notification URB";
    for (const ret& r : answers) {
        EXPECT_EQ(r.command, 4u);
        EXPECT_EQ(r.status, SIM_USB_ECONNRESET);
    }
    // The close held the device in reset; output after it must not reach a dead URB.
    h.advance_ms(500);
    EXPECT_TRUE(h.stream_ok);

    // An unlink of a URB already answered: status 0.
    h.rets.clear();
    h.send(h.kernel.unlink(3));
    ASSERT_EQ(h.rets.size(), 1u);
    EXPECT_EQ(h.rets[0].status, 0);
    EXPECT_EQ(h.core.record().usb.unlinks_pending, 17u);
    EXPECT_EQ(h.core.record().usb.unlinks_answered, 1u);
}

TEST(UsbUrbs, ABulkOutAnswerCarriesNoDataAndTheStreamMayArriveInAnyPieces) {
    usb_host h;
    h.enumerate();
    h.open();
    const bytes out = h.kernel.bulk_out(std::string("help\r"));
    for (std::uint8_t b : out) {
        ASSERT_TRUE(h.device.receive(&b, 1, h.now_us));
    }
    const std::uint32_t out_seqnum = h.kernel.last_seqnum();
    const bytes answer = h.device.outgoing();
    ASSERT_GE(answer.size(), 48u);
    EXPECT_EQ(usbtest::be32(answer.data()), 3u);
    EXPECT_EQ(usbtest::be32(answer.data() + 4), out_seqnum);
    EXPECT_EQ(usbtest::be32(answer.data() + 24), 5u) << "actual_length: all taken";
    if (answer.size() > 48) {
        EXPECT_NE(usbtest::be32(answer.data() + 52), out_seqnum)
            << "the next header starts right after: no data for the OUT answer";
    }
    h.collect();
    h.advance_ms(5);
    EXPECT_NE(h.console.find("commands:"), std::string::npos);
    EXPECT_EQ(h.core.record().usb.bulk_out_bytes, 5u);
}

TEST(UsbUrbs, TransfersToMissingEndpointsStallAndBadCommandsCloseTheLink) {
    usb_host h;
    h.import();
    h.send(h.kernel.bulk_in(64));
    EXPECT_EQ(h.last().status, SIM_USB_EPIPE) << "not configured yet";
    h.control_out(0x00, 9, 1);
    bytes to_ep5 = h.kernel.bulk_in(64);
    to_ep5[19] = 5;
    h.send(to_ep5);
    EXPECT_EQ(h.last().status, SIM_USB_EPIPE);
    EXPECT_TRUE(h.stream_ok);

    bytes bogus = h.kernel.bulk_in(64);
    bogus[3] = 9;
    EXPECT_FALSE(h.device.receive(bogus.data(), bogus.size(), h.now_us));
    usb_host huge;
    huge.import();
    bytes big = huge.kernel.bulk_in(64);
    big[24] = 0x7F; // 2 GB
    EXPECT_FALSE(huge.device.receive(big.data(), big.size(), 0));
}

TEST(UsbUpdate, AWholeUpdateRunsThroughTheBulkEndpoints) {
    usb_host h;
    h.enumerate();
    h.open();
    h.pulse_dtr();
    h.advance_ms(150);
    h.line("installer on");
    h.line("kelvane");
    h.line("fwupdate start");
    const simtest::bytes image = simtest::make_image(3 * 4096 + 100, 5);
    for (std::uint32_t i = 0; i < 4; ++i) {
        h.console.clear();
        h.send(h.kernel.bulk_out(simtest::chunk_frame(image, i)));
        h.advance_ms(5);
        const simtest::device_output got =
            simtest::split_output(bytes(h.console.begin(), h.console.end()));
        ASSERT_EQ(got.frames.size(), 1u) << "chunk " << i;
        EXPECT_EQ(got.frames[0].type, 0x82);
    }
    h.console.clear();
    h.send(h.kernel.bulk_out(
        simtest::finalize_frame(1, static_cast<std::uint32_t>(image.size()), crc_of(image), 1)));
    h.advance_ms(5);
    const simtest::device_output done =
        simtest::split_output(bytes(h.console.begin(), h.console.end()));
    ASSERT_FALSE(done.frames.empty());
    EXPECT_EQ(done.frames[0].type, 0x84);
    EXPECT_EQ(h.core.record().devices[0].banks[1].bytes, image);
    EXPECT_TRUE(h.stream_ok);
}

TEST(UsbUnplug, TheDeviceGoesAtItsChunkKeepsItsBanksAndUpdatesAfterAReplug) {
    sim_config config;
    config.self.faults = {unplug_at(1)};
    config.self.faults.back().session = 1;
    usb_host h(config);
    h.enumerate();
    h.open();
    h.pulse_dtr();
    h.advance_ms(150);
    h.line("installer on");
    h.line("kelvane");
    h.line("fwupdate start");
    const simtest::bytes image = simtest::make_image(2 * 4096, 7);
    h.send(h.kernel.bulk_out(simtest::chunk_frame(image, 0)));
    h.advance_ms(5);
    EXPECT_FALSE(h.core.unplug_requested());
    h.console.clear();
    h.send(h.kernel.bulk_out(simtest::chunk_frame(image, 1)));
    h.advance_ms(5);
    ASSERT_TRUE(h.core.unplug_requested());
    EXPECT_EQ(h.console, "") << "no answer to the chunk it went away on";
    EXPECT_EQ(h.core.record().sessions[0].outcome, sim_outcome::interrupted);
    EXPECT_TRUE(h.core.record().devices[0].banks[1].bytes.empty());
    EXPECT_EQ(h.core.record().devices[0].active_bank, 0);

    // What the shell does: the link goes, then a new one comes and the device powers up.
    h.device.detached();
    h.core.note_unplugged();
    h.kernel = usbtest::kernel{};
    h.bulk_in_.clear();
    h.console.clear();
    h.enumerate();
    h.core.release_reset(h.now_us);
    h.open();
    h.advance_ms(100);
    EXPECT_EQ(h.console, "") << "the power-on output went to nobody";
    h.pulse_dtr();
    h.advance_ms(150);
    EXPECT_NE(h.console.find("running bank A"), std::string::npos);
    h.line("installer on");
    h.line("kelvane");
    h.line("fwupdate start");
    for (std::uint32_t i = 0; i < 2; ++i) {
        h.send(h.kernel.bulk_out(simtest::chunk_frame(image, i)));
        h.advance_ms(5);
    }
    h.send(h.kernel.bulk_out(simtest::finalize_frame(1, 2 * 4096, crc_of(image), 1)));
    h.advance_ms(5);
    EXPECT_EQ(h.core.record().devices[0].banks[1].bytes, image);
    EXPECT_EQ(h.core.record().usb.unplugs, 1u);
    EXPECT_EQ(h.core.record().sessions.back().outcome, sim_outcome::done);
}

TEST(UsbFaults, StalledBulkOutLosesTheHostsBytes) {
    sim_usb_faults faults;
    faults.stall_out = true;
    usb_host h({}, false, faults);
    h.enumerate();
    h.open();
    h.send(h.kernel.bulk_out(std::string("help\r")));
    EXPECT_EQ(h.last().status, SIM_USB_EPIPE);
    EXPECT_EQ(h.last().actual, 0u);
    h.advance_ms(20);
    EXPECT_EQ(h.console, "");
    EXPECT_TRUE(h.core.record().lines.empty());
    EXPECT_TRUE(h.stream_ok);
}

TEST(UsbFaults, UnplugOnDtrLeavesThatRequestUnanswered) {
    sim_usb_faults faults;
    faults.unplug_on_dtr = 2;
    usb_host h({}, false, faults);
    h.enumerate();
    h.open();
    h.pulse_dtr(); // the first clear is a reset as usual
    EXPECT_FALSE(h.device.unplug_requested());
    EXPECT_EQ(h.core.record().usb.dtr_resets.size(), 1u);
    h.rets.clear();
    h.send(h.kernel.control_out(CLASS_OUT, 0x22, 0x0002, 0));
    EXPECT_TRUE(h.device.unplug_requested());
    EXPECT_TRUE(h.rets.empty()) << "no status stage";
    h.send(h.kernel.bulk_out(std::string("help\r")));
    EXPECT_TRUE(h.rets.empty()) << "a device that is gone answers nothing";
}

// A device that stops reading leaves every bulk OUT transfer pending, which the host controller
// sees as a NAK for ever. The host's unlink (its flush) is still answered, and the reset the
// next DTR clear gives completes the rest: their bytes were lost in the hang.
TEST(UsbFaults, DeafDeviceHoldsBulkOutUntilUnlinkedOrReset) {
    sim_config config;
    sim_fault deaf;
    deaf.kind = sim_fault_kind::deaf;
    deaf.chunk = 0;
    deaf.answered = true;
    config.self.faults = {deaf};
    usb_host h(config);
    h.enumerate();
    h.open();
    h.pulse_dtr();
    h.advance_ms(150);
    h.line("installer on");
    h.line("kelvane");
    h.line("fwupdate start");
    const simtest::bytes image = simtest::make_image(2 * 4096, 6);
    h.console.clear();
    h.rets.clear();
    h.send(h.kernel.bulk_out(simtest::chunk_frame(image, 0)));
    h.advance_ms(5);
    ASSERT_EQ(h.last().status, 0) << "chunk 0 is taken";
    const simtest::device_output ack =
        simtest::split_output(bytes(h.console.begin(), h.console.end()));
    ASSERT_EQ(ack.frames.size(), 1u) << "and answered";
    EXPECT_TRUE(h.core.deaf());

    h.rets.clear();
    h.send(h.kernel.bulk_out(simtest::chunk_frame(image, 1)));
    const std::uint32_t unlinked = h.kernel.last_seqnum();
    h.send(h.kernel.bulk_out(std::string("\r")));
    const std::uint32_t reset_away = h.kernel.last_seqnum();
    h.advance_ms(1000);
    EXPECT_TRUE(h.rets.empty()) << "a held transfer was answered";

    h.send(h.kernel.unlink(unlinked));
    ASSERT_EQ(h.rets.size(), 1u);
    EXPECT_EQ(h.rets[0].command, 4u);
    EXPECT_EQ(h.rets[0].status, SIM_USB_ECONNRESET);

    h.rets.clear();
    h.control_out(CLASS_OUT, 0x22, 0x0002);
    ASSERT_EQ(h.rets.size(), 2u) << "the held transfer and the control request";
    EXPECT_EQ(h.rets[0].seqnum, reset_away);
    EXPECT_EQ(h.rets[0].status, 0);
    EXPECT_EQ(h.rets[0].actual, 1u);
    EXPECT_FALSE(h.core.deaf());
    h.advance_ms(55);
    h.control_out(CLASS_OUT, 0x22, 0x0003);
    h.advance_ms(150);
    EXPECT_EQ(h.line("installer on"), "Installer password: ");
    EXPECT_TRUE(h.stream_ok);
}
