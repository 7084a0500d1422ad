// The update run against a scripted controller on the fake port: password, bundle, port and
// installer mode, the self target, one relayed device and the fan-out targets, with the port
// closed on every way out.

#include "update-run.h"

#include "builders.h"
#include "crc32.h"
#include "fake-device.h"
#include "fwupdate-protocol.h"
#include "options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::string;

constexpr std::uint16_t VARIANT = 3;
const char* const PASSWORD = "opensesame";

// A bundle with a 5000-byte image for both banks of VARIANT.
std::string write_bundle() {
    const std::vector<std::uint8_t> image(5000, 'i');
    // One file per process: CTest runs the cases of this file in parallel processes.
    const std::string path =
        ::testing::TempDir() + "main_flow_test." + std::to_string(getpid()) + ".kvfw";
    ::write_bundle(path, {{VARIANT, 'A', 0x1234, image}, {VARIANT, 'B', 0x1234, image}});
    return path;
}

// The connected controller: a console that enters installer mode with PASSWORD and lists
// `peers`, and an update dialogue for itself and for every peer it relays to. Updates of the
// devices in `silent` go unanswered; the installer-mode entries numbered in `refused_entries`
// (counting from 1) are cancelled on the device.
class controller {
  public:
    std::string peer_listing = "END\r\n";
    bool peer_listing_answered = true;
    std::set<std::string> silent;
    std::set<int> refused_entries;

    std::vector<std::string> sessions; // the start and relay commands, in order
    std::vector<std::string> updated;  // the sessions that reached DONE
    int entries = 0;

    controller() {
        fake::on_reset([] { fake::device_sends("boot banner\r\n\x1b[K", 50); });
        fake::on_write([this](std::string_view w) { handle(bytes(w)); });
    }

  private:
    std::string current_;

    void handle(const bytes& w) {
        if (!w.empty() && static_cast<std::uint8_t>(w[0]) == FWU_SOF_HOST) {
            handle_frame(static_cast<std::uint8_t>(w[1]));
            return;
        }
        if (w == "installer on\r") {
            fake::device_sends("Installer password: ");
        } else if (w == std::string(PASSWORD) + "\r") {
            ++entries;
            fake::device_sends(refused_entries.count(entries) != 0 ? "Cancelled\r\n"
                                                                   : "Installer mode ON\r\n");
        } else if (w == "fwupdate peers\r") {
            if (peer_listing_answered) {
                fake::device_sends("fwupdate peers\r\n" + peer_listing);
            }
        } else if (w.rfind("fwupdate ", 0) == 0) {
            current_ = w.substr(0, w.size() - 1);
            sessions.push_back(current_);
            if (silent.count(current_) == 0) {
                bytes ready(1, '\1');
                put_le(ready, 1u << 20, 4);
                put_le(ready, VARIANT, 2);
                fake::device_sends(device_frame(FWU_RSP_READY, ready));
            }
        } else {
            fake::device_sends("ERROR: incorrect password\r\n");
        }
    }

    void handle_frame(std::uint8_t type) {
        if (type == FWU_CMD_CHUNK) {
            fake::device_sends(device_frame(FWU_RSP_ACK, bytes(4, '\0')));
        } else if (type == FWU_CMD_FINALIZE) {
            updated.push_back(current_);
            fake::device_sends(device_frame(FWU_RSP_DONE, ""));
        }
    }
};

struct run_result {
    int status;
    std::string out;
    std::string err;
};

class MainFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        bundle_path_ = write_bundle();
        device_ = std::make_unique<controller>();
    }
    void TearDown() override {
        device_.reset();
        fake::reset();
        std::remove(bundle_path_.c_str());
    }

    // Runs kvup with a port, the bundle and the password, then `extra` arguments.
    run_result run(std::vector<std::string> extra, bool with_password = true) {
        std::vector<std::string> args = {"kvup", "--port", "/dev/fake0", "--firmware",
                                         bundle_path_};
        if (with_password) {
            args.insert(args.end(), {"--password", PASSWORD});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(options_load(static_cast<int>(args.size()), argv.data()));
        const int status = update_run();
        run_result r{status, ::testing::internal::GetCapturedStdout(),
                     ::testing::internal::GetCapturedStderr()};
        if (fake::open_count() > 0) {
            EXPECT_EQ(fake::close_count(), 1) << "the open port is closed exactly once";
        }
        return r;
    }

    static std::string session_out() {
        return "Device is ready - variant 3, target bank B (max image size 1048576 bytes)\n"
               "Sending variant 3 bank B (5000 bytes, 2 chunks)...\n"
               "\r  chunk 1/2\r  chunk 2/2\n"
               "Finalizing...\n"
               "Update complete - target is rebooting into the new firmware.\n";
    }

    std::string bundle_path_;
    std::unique_ptr<controller> device_;
};

const std::string RUN_START =
    "kvup v" KVUP_VERSION "\nOpening /dev/fake0...\nEntering installer mode...\n";

// ---------------------------------------------------------------------------------------------
// Up to installer mode, and the self target

TEST_F(MainFlow, SelfTargetUpdatesTheConnectedControllerOnly) {
    const auto r = run({"--target", "self"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, RUN_START + session_out());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(device_->sessions, (std::vector<std::string>{"fwupdate start"}));
    EXPECT_EQ(fake::reset_count(), 1);
}

TEST_F(MainFlow, SelfTargetReturnsTheFailedSessionsStatus) {
    device_->silent = {"fwupdate start"};
    const auto r = run({"--target", "self"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERROR: device did not respond to 'fwupdate start' - is it in installer mode?\n");
}

TEST_F(MainFlow, TypedPasswordIsUsedWhenNoneIsGiven) {
    std::vector<int> keys(PASSWORD, PASSWORD + std::strlen(PASSWORD));
    keys.push_back('\r');
    fake_keys::set(keys);
    const auto r = run({"--target", "self"}, false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Installer password: \n" + RUN_START + session_out());
    EXPECT_EQ(device_->entries, 1);
    EXPECT_EQ(fake_keys::end_count(), 1);
}

TEST_F(MainFlow, PromptWithoutKeysFailsBeforeTheBundleAndThePort) {
    fake_keys::set({'a'});
    const auto r = run({"--firmware", "/nonexistent/bundle.kvfw"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Installer password: ");
    EXPECT_EQ(r.err, "ERROR: failed to read password\n");
    EXPECT_EQ(fake::open_count(), 0);
}

// A password the console would not take as one line stops the run before the bundle is read and
// before the device is reset; the typed one is not cut to fit.
TEST_F(MainFlow, PasswordThatIsNotOneConsoleLineFailsBeforeTheBundleAndThePort) {
    const std::string cannot = "ERROR: the installer password cannot be sent as one console line: ";
    const std::string nowhere = "/nonexistent/bundle.kvfw";
    auto r = run({"--password", "opensesame\rinstaller off", "--firmware", nowhere});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, cannot + "it holds a line break\n");

    r = run({"--password", std::string(127, 'p'), "--firmware", nowhere});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot + "it is longer than 126 characters\n");

    std::vector<int> keys(200, 'k');
    keys.push_back('\r');
    fake_keys::set(keys);
    r = run({"--firmware", nowhere}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Installer password: \n");
    EXPECT_EQ(r.err, cannot + "it is longer than 126 characters\n");

    fake_keys::set({'o', 'p', 0, 'e', 'n', '\r'});
    r = run({"--firmware", nowhere}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot + "it holds a NUL character\n");

    EXPECT_EQ(fake::open_count(), 0);
    EXPECT_EQ(fake::reset_count(), 0);
}

TEST_F(MainFlow, TypedPasswordOf126CharactersIsSentWhole) {
    std::vector<int> keys(130, 'k');
    keys.insert(keys.end(), {8, 8, 8, 8, '\r'});
    fake_keys::set(keys);
    const auto r = run({"--target", "self"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: incorrect installer password\n");
    EXPECT_EQ(device_->entries, 0);
    const auto& w = fake::writes();
    EXPECT_NE(std::find(w.begin(), w.end(), std::string(126, 'k') + "\r"), w.end());
}

TEST_F(MainFlow, EmptyPasswordOnTheCommandLineIsSentWithoutAPrompt) {
    const auto r = run({"--password", "", "--target", "self"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fake_keys::begin_count(), 0);
    EXPECT_EQ(r.err, "ERROR: incorrect installer password\n");
}

TEST_F(MainFlow, BundleThatDoesNotLoadStopsBeforeThePort) {
    const auto r = run({"--firmware", "/nonexistent/bundle.kvfw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
    EXPECT_EQ(fake::open_count(), 0);
}

TEST_F(MainFlow, PortThatDoesNotOpenIsReported) {
    fake::refuse_open("/dev/fake0");
    const auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kvup v" KVUP_VERSION "\nOpening /dev/fake0...\n");
    EXPECT_EQ(r.err, "ERROR: could not open /dev/fake0\n");
    EXPECT_EQ(fake::close_count(), 0);
}

TEST_F(MainFlow, InstallerModeRefusedEndsTheRunWithThePortClosed) {
    device_->refused_entries = {1};
    const auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, RUN_START);
    EXPECT_EQ(r.err, "ERROR: installer mode entry was cancelled\n");
    EXPECT_TRUE(device_->sessions.empty());
}

// ---------------------------------------------------------------------------------------------
// Fan-out

const std::string THREE_PEERS = "C1 controller\r\nR1 reader\r\nR2 Reader\r\nEND\r\n";

struct fan_out_case {
    const char* name;
    std::vector<std::string> target; // empty: --target omitted
    std::vector<std::string> sessions;
};
void PrintTo(const fan_out_case& c, std::ostream* os) {
    *os << c.name;
}

class MainFanOut : public MainFlow, public ::testing::WithParamInterface<fan_out_case> {};

TEST_P(MainFanOut, UpdatesTheSelectedDevicesInListingOrderEachAfterAFreshEntry) {
    const auto& c = GetParam();
    device_->peer_listing = THREE_PEERS;
    const auto r = run(c.target);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(device_->sessions, c.sessions);
    EXPECT_EQ(device_->updated, c.sessions);
    EXPECT_EQ(device_->entries, 1 + static_cast<int>(c.sessions.size()));

    std::string expected = RUN_START + "Querying known CAN peers...\n";
    for (const auto& s : c.sessions) {
        if (s == "fwupdate start") {
            expected += "\n--- connected device (self) ---\n";
        } else {
            const std::string serial = s.substr(std::strlen("fwupdate relay "));
            const char* type = serial == "C1" ? "controller" : serial == "R1" ? "reader" : "Reader";
            expected += "\n--- " + serial + " (" + type + ") ---\n";
        }
        expected += session_out();
    }
    const std::string n = std::to_string(c.sessions.size());
    expected += "\n" + n + "/" + n + " device(s) updated successfully.\n";
    EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, MainFanOut,
    ::testing::Values(fan_out_case{"Omitted",
                                   {},
                                   {"fwupdate relay C1", "fwupdate relay R1", "fwupdate relay R2",
                                    "fwupdate start"}},
                      fan_out_case{"All",
                                   {"--target", "all"},
                                   {"fwupdate relay C1", "fwupdate relay R1", "fwupdate relay R2"}},
                      fan_out_case{"AllControllers",
                                   {"--target", "all-controllers"},
                                   {"fwupdate relay C1", "fwupdate relay R2"}},
                      fan_out_case{
                          "AllReaders", {"--target", "all-readers"}, {"fwupdate relay R1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainFlow, FanOutOverNoPeersReportsZeroOfZero) {
    const auto r = run({"--target", "all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, RUN_START + "Querying known CAN peers...\n\n0/0 device(s) updated "
                                 "successfully.\n");
    EXPECT_TRUE(device_->sessions.empty());
}

TEST_F(MainFlow, OmittedTargetOverNoPeersUpdatesOnlyTheConnectedController) {
    const auto r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, RUN_START + "Querying known CAN peers...\n" +
                         "\n--- connected device (self) ---\n" + session_out() +
                         "\n1/1 device(s) updated successfully.\n");
}

TEST_F(MainFlow, FailedEntryForOneDeviceDoesNotStopTheRest) {
    device_->peer_listing = THREE_PEERS;
    device_->refused_entries = {3}; // the run's own entry, C1's, then R1's
    const auto r = run({"--target", "all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(device_->sessions,
              (std::vector<std::string>{"fwupdate relay C1", "fwupdate relay R2"}));
    EXPECT_NE(r.out.find("\n--- R1 (reader) ---\n\n--- R2 (Reader) ---\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n2/3 device(s) updated successfully.\n"), std::string::npos);
    EXPECT_EQ(r.err, "ERROR: installer mode entry was cancelled\n");
}

TEST_F(MainFlow, FailedSessionForOneDeviceIsCountedAndTheConnectedControllerStillComesLast) {
    device_->peer_listing = THREE_PEERS;
    device_->silent = {"fwupdate relay C1"};
    const auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(device_->updated, (std::vector<std::string>{"fwupdate relay R1", "fwupdate relay R2",
                                                          "fwupdate start"}));
    EXPECT_NE(r.out.find("\n3/4 device(s) updated successfully.\n"), std::string::npos);
}

// A serial number is sent back exactly as listed or not at all: one that does not fit in a
// console line is that device's failure, counted in the summary, and the fan-out goes on.
TEST_F(MainFlow, SerialTooLongForOneConsoleLineFailsItsDeviceOnly) {
    const std::string longest(111, 'L');
    const std::string too_long(112, 'T');
    device_->peer_listing =
        "C1 controller\r\n" + too_long + " reader\r\n" + longest + " reader\r\nEND\r\n";
    const auto r = run({"--target", "all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(device_->sessions,
              (std::vector<std::string>{"fwupdate relay C1", "fwupdate relay " + longest}));
    EXPECT_NE(r.out.find("\n--- " + too_long + " (reader) ---\n\n--- " + longest),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n2/3 device(s) updated successfully.\n"), std::string::npos);
    EXPECT_EQ(r.err, "ERROR: cannot relay to '" + too_long +
                         "' - a serial number of 112 characters does not fit in one console line "
                         "(at most 111, no NUL)\n");
    EXPECT_EQ(device_->entries, 3) << "no installer-mode entry for the device it cannot reach";
}

TEST_F(MainFlow, SerialTooLongForOneConsoleLineIsRefusedAsASingleTarget) {
    const std::string too_long(112, 'T');
    device_->peer_listing = too_long + " reader\r\nEND\r\n";
    const auto r = run({"--target", too_long});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: cannot relay to '" + too_long +
                         "' - a serial number of 112 characters does not fit in one console line "
                         "(at most 111, no NUL)\n");
    EXPECT_TRUE(device_->sessions.empty());
}

TEST_F(MainFlow, PeerQueryFailureEndsTheRunWithoutASummary) {
    device_->peer_listing_answered = false;
    const auto r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, RUN_START + "Querying known CAN peers...\n");
    EXPECT_EQ(r.err, "ERROR: timed out waiting for 'fwupdate peers' to finish\n");
    EXPECT_TRUE(device_->sessions.empty());
}

// ---------------------------------------------------------------------------------------------
// One relayed device

TEST_F(MainFlow, SerialNumberTargetRelaysOneSessionWithoutAnotherEntry) {
    device_->peer_listing = "C1 controller\r\nR1 reader\r\nR1 other\r\nEND\r\n";
    const auto r = run({"--target", "R1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, RUN_START + "Querying known CAN peers...\nRelaying to R1 (reader)...\n" +
                         session_out());
    EXPECT_EQ(device_->sessions, (std::vector<std::string>{"fwupdate relay R1"}));
    EXPECT_EQ(fake::reset_count(), 1);
}

TEST_F(MainFlow, RelayedSessionFailureIsTheExitStatus) {
    device_->peer_listing = "R1 reader\r\nEND\r\n";
    device_->silent = {"fwupdate relay R1"};
    EXPECT_EQ(run({"--target", "R1"}).status, 1);
}

struct unknown_serial_case {
    const char* name;
    const char* target;
};
void PrintTo(const unknown_serial_case& c, std::ostream* os) {
    *os << c.name;
}

class MainUnknownSerial : public MainFlow,
                          public ::testing::WithParamInterface<unknown_serial_case> {};

TEST_P(MainUnknownSerial, IsReportedAndNothingIsUpdated) {
    device_->peer_listing = "self controller\r\nr1 reader\r\nEND\r\n";
    const auto r = run({"--target", GetParam().target});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("ERROR: no known peer with serial '") + GetParam().target +
                         "' (listed peers: self, r1)\n");
    EXPECT_TRUE(device_->sessions.empty());
}

// The line names what the controller listed, so the technician can pick a device without
// updating the whole bus; a long listing is cut so the line stays one line.
TEST_F(MainFlow, UnknownSerialLineSaysWhenNoPeerWasListed) {
    EXPECT_EQ(run({"--target", "KR-9"}).err,
              "ERROR: no known peer with serial 'KR-9' (no peers listed)\n");
}

TEST_F(MainFlow, UnknownSerialLineNamesTheListedPeersWithinABound) {
    std::string listing = std::string(60, 'L') + " reader\r\n";
    for (int i = 0; i < 40; ++i) {
        listing += "KR-" + std::to_string(1000 + i) + " reader\r\n";
    }
    device_->peer_listing = listing + "END\r\n";
    const auto r = run({"--target", "KR-9"});
    EXPECT_EQ(r.err,
              "ERROR: no known peer with serial 'KR-9' (listed peers: " + std::string(40, 'L') +
                  "..., KR-1000, KR-1001, KR-1002, KR-1003, KR-1004, KR-1005, KR-1006, "
                  "KR-1007, KR-1008, KR-1009, KR-1010, KR-1011, KR-1012, ... and 27 more)\n");
    EXPECT_TRUE(device_->sessions.empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, MainUnknownSerial,
                         ::testing::Values(unknown_serial_case{"OtherCase", "R1"},
                                           unknown_serial_case{"UpperCaseSelf", "SELF"},
                                           unknown_serial_case{"Prefix", "r"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
