#include "cli-drive.h"

#include "fake-device.h"
#include "options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const std::string ERASE_LINE = "\x1b[K";
const std::string CURSOR_REQUEST = "\x1b[6n";
const std::string MENU_NOTICE = "[cli-drive] device reset into the menu (already in installer "
                                "mode) - escaping back to plain text\n";

class CliDrive : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        options = kvup_options{};
    }
    void TearDown() override { options = kvup_options{}; }
};

// ---- cli_drive_expect -----------------------------------------------------------------------

const char* const BOOT_MARKERS[] = {"\x1b[K", "\x1b[6n"};

struct expect_case {
    const char* name;
    std::vector<const char*> candidates;
    std::string device;
    int result;
    std::size_t left_unread;
};

void PrintTo(const expect_case& c, std::ostream* os) {
    *os << c.name;
}

std::vector<expect_case> expect_cases() {
    const std::string banner(100, 'x');
    return {
        {"MatchAfterMoreThanAWindowOfNoise", {"\x1b[K"}, banner + ERASE_LINE, 0, 0},
        {"MatchStraddlingTheWindowShift",
         {"Installer password: "},
         banner + "Installer password: ",
         0,
         0},
        {"EarliestMarkerInTimeWins",
         {BOOT_MARKERS[0], BOOT_MARKERS[1]},
         ERASE_LINE + CURSOR_REQUEST,
         0,
         CURSOR_REQUEST.size()},
        {"LaterIndexWinsWhenItEndsFirst",
         {BOOT_MARKERS[0], BOOT_MARKERS[1]},
         CURSOR_REQUEST + ERASE_LINE,
         1,
         ERASE_LINE.size()},
        {"LowerIndexWinsAtTheSameByte", {"abc", "bc"}, "zabc", 0, 0},
        {"LowerIndexWinsAtTheSameByteReversed", {"bc", "abc"}, "zabc", 0, 0},
        {"ResultEmbeddedAtTheEndOfALine",
         {"Installer mode ON\r\n"},
         "Installer password: Installer mode ON\r\n> ",
         0,
         2},
        {"BytesAfterTheMatchStayUnread", {"ok"}, "ok\r\nmore", 0, 6},
        {"BinaryBytesMatch", {"\xff\x80"}, "\x01\xff\x80\x02", 0, 1},
    };
}

class CliExpect : public CliDrive, public ::testing::WithParamInterface<expect_case> {};

TEST_P(CliExpect, ReturnsTheMatchAndConsumesUpToItsLastByte) {
    const expect_case& c = GetParam();
    fake::device_sends(c.device, 5);
    EXPECT_EQ(cli_drive_expect(fake::port(), c.candidates.data(),
                               static_cast<int>(c.candidates.size()), 1000),
              c.result);
    EXPECT_EQ(fake::unread(), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(Streams, CliExpect, ::testing::ValuesIn(expect_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliDrive, ExpectCandidateLongerThanTheWindowNeverMatches) {
    const std::string long_text(65, 'a');
    const char* const candidates[] = {long_text.c_str()};
    fake::device_sends(long_text);
    EXPECT_EQ(cli_drive_expect(fake::port(), candidates, 1, 1000), -1);
}

TEST_F(CliDrive, ExpectWindowStartsEmptyOnEveryCall) {
    const char* const candidates[] = {"\x1b[K"};
    fake::device_sends("\x1b[");
    fake::device_sends("K", 500);
    EXPECT_EQ(cli_drive_expect(fake::port(), candidates, 1, 100), -1);
    // The K alone must not complete the marker begun during the previous wait.
    EXPECT_EQ(cli_drive_expect(fake::port(), candidates, 1, 1000), -1);
}

TEST_F(CliDrive, ExpectWithZeroCandidatesWaitsOutTheDeadline) {
    const std::uint64_t start_ms = fake::now_ms();
    fake::device_sends("anything\x1b[K");
    EXPECT_EQ(cli_drive_expect(fake::port(), BOOT_MARKERS, 0, 700), -1);
    EXPECT_EQ(fake::now_ms(), start_ms + 700);
    EXPECT_EQ(fake::unread(), 0u);
}

TEST_F(CliDrive, ExpectDeadlineIsFixedAtEntryNotRenewedByNoise) {
    const std::uint64_t start_ms = fake::now_ms();
    for (std::uint64_t t = 100; t < 1000; t += 100) {
        fake::device_sends_at(start_ms + t, ".");
    }
    EXPECT_EQ(cli_drive_expect(fake::port(), BOOT_MARKERS, 2, 1000), -1);
    EXPECT_EQ(fake::now_ms(), start_ms + 1000);
}

TEST_F(CliDrive, ExpectZeroTimeOutReadsNothing) {
    for (bool verbose : {false, true}) {
        SCOPED_TRACE(verbose);
        fake::reset();
        options.verbose = verbose;
        fake::device_sends(ERASE_LINE);
        CaptureStderr();
        EXPECT_EQ(cli_drive_expect(fake::port(), BOOT_MARKERS, 2, 0), -1);
        EXPECT_EQ(GetCapturedStderr(), verbose ? "[device] \n" : "");
        EXPECT_EQ(fake::unread(), ERASE_LINE.size());
    }
}

TEST_F(CliDrive, ExpectReadErrorEndsTheWaitAtOnce) {
    options.verbose = true;
    const std::uint64_t start_ms = fake::now_ms();
    fake::device_sends("ab", 10);
    fake::device_hangs_up(20);
    fake::device_sends(ERASE_LINE, 30);
    CaptureStderr();
    EXPECT_EQ(cli_drive_expect(fake::port(), BOOT_MARKERS, 2, 5000), -1);
    EXPECT_EQ(GetCapturedStderr(), "[device] ab\n");
    EXPECT_EQ(fake::now_ms(), start_ms + 20);
}

struct echo_case {
    const char* name;
    std::string device;
    std::string shown;
};

void PrintTo(const echo_case& c, std::ostream* os) {
    *os << c.name;
}

class CliEcho : public CliDrive, public ::testing::WithParamInterface<echo_case> {};

TEST_P(CliEcho, ShowsEveryReceivedByteReadably) {
    const echo_case& c = GetParam();
    options.verbose = true;
    const char* const candidates[] = {"#"};
    fake::device_sends(c.device + "#");
    CaptureStderr();
    EXPECT_EQ(cli_drive_expect(fake::port(), candidates, 1, 1000), 0);
    EXPECT_EQ(GetCapturedStderr(), "[device] " + c.shown + "#\n");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, CliEcho,
    ::testing::Values(echo_case{"LineEnds", "ok\r\n\x1b", "ok\\r\\n\n[device] \\x1b"},
                      echo_case{"PrintableEdges", " ~", " ~"},
                      echo_case{"ControlAndDelete", std::string("\t\0\x7f", 3), "\\x09\\x00\\x7f"},
                      echo_case{"HighBytesAsUnsigned", "\x80\xff", "\\x80\\xff"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliDrive, ExpectWithoutVerbosePrintsNothing) {
    fake::device_sends("ok\r\n\x1b[K");
    CaptureStderr();
    EXPECT_EQ(cli_drive_expect(fake::port(), BOOT_MARKERS, 2, 1000), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

// ---- cli_drive_send_line --------------------------------------------------------------------

TEST_F(CliDrive, SendLineAppendsOneCarriageReturnInOneWrite) {
    for (std::size_t n : {std::size_t{0}, std::size_t{12}, std::size_t{126}}) {
        SCOPED_TRACE(n);
        fake::clear_written();
        const std::string text(n, 'p');
        EXPECT_TRUE(cli_drive_send_line(fake::port(), text.c_str()));
        ASSERT_EQ(fake::writes().size(), 1u);
        EXPECT_EQ(fake::writes()[0], text + "\r");
    }
}

TEST_F(CliDrive, SendLineRefusesTooLongTextWritingNothing) {
    for (std::size_t n : {std::size_t{127}, std::size_t{128}, std::size_t{4000}}) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(cli_drive_send_line(fake::port(), std::string(n, 'p').c_str()));
    }
    EXPECT_FALSE(cli_drive_send_line(fake::port(), nullptr));
    EXPECT_TRUE(fake::writes().empty());
}

TEST_F(CliDrive, SendLineShortOrFailedWriteIsAFailure) {
    for (int result : {-1, 0, 1, 5}) {
        SCOPED_TRACE(result);
        fake::script_write_results({result});
        CaptureStderr();
        EXPECT_FALSE(cli_drive_send_line(fake::port(), "hello"));
        EXPECT_EQ(GetCapturedStderr(), "");
    }
}

// ---- cli_drive_check_password ----------------------------------------------------------------

const std::string CANNOT_SEND =
    "ERROR: the installer password cannot be sent as one console line: ";

struct password_check_case {
    const char* name;
    std::string password;
    std::string err; // empty: accepted
};
void PrintTo(const password_check_case& c, std::ostream* os) {
    *os << c.name;
}

class CliDrivePasswordCheck : public ::testing::TestWithParam<password_check_case> {};

// One line on stderr that says why, never the password; nothing is sent anywhere.
TEST_P(CliDrivePasswordCheck, AcceptsOneConsoleLineOnly) {
    const auto& c = GetParam();
    fake::reset();
    CaptureStderr();
    const bool ok = cli_drive_check_password(c.password.data(), c.password.size());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(ok, c.err.empty());
    EXPECT_EQ(err, c.err);
    EXPECT_TRUE(fake::writes().empty());
}

const std::string LINE_BREAK = CANNOT_SEND + "it holds a line break\n";
const std::string NUL = CANNOT_SEND + "it holds a NUL character\n";
const std::string TOO_LONG = CANNOT_SEND + "it is longer than 126 characters\n";

INSTANTIATE_TEST_SUITE_P(
    Passwords, CliDrivePasswordCheck,
    ::testing::Values(
        password_check_case{"Empty", "", ""}, password_check_case{"Plain", "kelvane", ""},
        password_check_case{"OtherControlBytesAndHighBytes", "pw\x01\x1b[2J\t\x7f\xff", ""},
        password_check_case{"Exactly126", std::string(126, 'p'), ""},
        password_check_case{"CarriageReturnThenACommand", "kelvane\rinstaller off", LINE_BREAK},
        password_check_case{"LineFeed", "kelvane\n", LINE_BREAK},
        password_check_case{"CarriageReturnFirst", "\rkelvane", LINE_BREAK},
        password_check_case{"Nul", std::string("kel\0vane", 8), NUL},
        password_check_case{"LineBreakAfter126CharactersIsTooLongFirst",
                            std::string(126, 'p') + "\r", TOO_LONG},
        password_check_case{"Exactly127", std::string(127, 'p'), TOO_LONG},
        password_check_case{"FourThousand", std::string(4000, 'p'), TOO_LONG}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- cli_drive_enter_installer_mode ---------------------------------------------------------

// A scripted console: what the device says after the reset, after ten ESCs, after
// "installer on" and after the password line, each a delay after the event that prompts it.
struct console {
    std::string boot = "Kelvane controller\r\n> " + ERASE_LINE;
    std::uint64_t boot_delay_ms = 50;
    std::string after_escapes = "\r\n> " + ERASE_LINE;
    std::uint64_t after_escapes_delay_ms = 50;
    std::string prompt = "installer on\r\nInstaller password: ";
    std::uint64_t prompt_delay_ms = 20;
    std::string outcome = "\r\nInstaller mode ON\r\n> ";
    std::uint64_t outcome_delay_ms = 20;
};

class CliEntry : public CliDrive {
  protected:
    // Installs the responders; `events` records resets and writes in order.
    void play(const console& script) {
        device = script;
        fake::on_reset([this] {
            events.push_back("reset");
            fake::device_sends(device.boot, device.boot_delay_ms);
        });
        fake::on_write([this](std::string_view written) {
            events.emplace_back(written);
            if (written == "\x1b") {
                if (++escapes == 10) {
                    fake::device_sends(device.after_escapes, device.after_escapes_delay_ms);
                }
            } else if (written == "installer on\r") {
                fake::device_sends(device.prompt, device.prompt_delay_ms);
            } else if (!written.empty() && written.back() == '\r') {
                fake::device_sends(device.outcome, device.outcome_delay_ms);
            }
        });
    }

    // Runs the entry with stderr captured into `err`.
    bool enter(const char* password = "password") {
        CaptureStderr();
        const bool entered = cli_drive_enter_installer_mode(fake::port(), password);
        err = GetCapturedStderr();
        return entered;
    }

    console device;
    std::vector<std::string> events;
    int escapes = 0;
    std::string err;
};

TEST_F(CliEntry, PlainPromptPathResetsThenSendsTheTwoLines) {
    play(console{});
    EXPECT_TRUE(enter());
    EXPECT_EQ(events, (std::vector<std::string>{"reset", "installer on\r", "password\r"}));
    EXPECT_EQ(err, "");
}

TEST_F(CliEntry, EarlierPlainPromptWinsOverALaterMenuRequest) {
    console script;
    script.boot = ERASE_LINE + "menu" + CURSOR_REQUEST;
    play(script);
    EXPECT_TRUE(enter());
    EXPECT_EQ(escapes, 0);
    EXPECT_EQ(err, "");
}

TEST_F(CliEntry, MenuPathSendsTenSeparateEscapesThenCarriesOn) {
    console script;
    script.boot = "Kelvane controller\r\n" + CURSOR_REQUEST;
    play(script);
    EXPECT_TRUE(enter());
    std::vector<std::string> expected{"reset"};
    expected.insert(expected.end(), 10, "\x1b");
    expected.insert(expected.end(), {"installer on\r", "password\r"});
    EXPECT_EQ(events, expected);
    EXPECT_EQ(err, MENU_NOTICE);
}

TEST_F(CliEntry, VerboseEchoesEachWaitOnItsOwnLines) {
    options.verbose = true;
    console script;
    script.boot = ERASE_LINE;
    script.prompt = "Installer password: ";
    script.outcome = "Installer mode ON\r\n";
    play(script);
    EXPECT_TRUE(enter());
    EXPECT_EQ(err, "[device] \\x1b[K\n"
                   "[device] Installer password: \n"
                   "[device] Installer mode ON\\r\\n\n"
                   "[device] \n");
}

struct failure_case {
    const char* name;
    bool menu;
    void (*edit)(console&);
    std::vector<int> write_results;
    std::size_t password_len; // 0: "password"
    std::string message;
    std::size_t writes; // write calls made, the failed one included
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

std::vector<failure_case> failure_cases() {
    const auto no_edit = [](console&) {};
    return {
        {"NoBootMarker",
         false,
         [](console& c) { c.boot = "Kelvane controller\r\n> "; },
         {},
         0,
         "ERROR: device did not reach a ready CLI prompt after reset\n",
         0},
        {"EscapeWriteFails",
         true,
         no_edit,
         {1, 1, 1, -1},
         0,
         "ERROR: failed to send escape while recovering from the menu\n",
         3},
        {"NoPlainPromptAfterEscapes",
         true,
         [](console& c) { c.after_escapes = "\r\nmenu> "; },
         {},
         0,
         "ERROR: could not recover a plain CLI prompt after escaping the menu\n",
         10},
        {"InstallerOnWriteFails",
         false,
         no_edit,
         {-1},
         0,
         "ERROR: failed to send 'installer on'\n",
         0},
        {"InstallerOnWriteShort",
         false,
         no_edit,
         {12},
         0,
         "ERROR: failed to send 'installer on'\n",
         1},
        {"NoPasswordPrompt",
         false,
         [](console& c) { c.prompt = "installer on\r\nUnknown command\r\n> "; },
         {},
         0,
         "ERROR: device did not prompt for the installer password - is it actually a "
         "kelvane-fw-controller on this port?\n",
         1},
        {"PasswordTooLong",
         false,
         no_edit,
         {},
         127,
         "ERROR: failed to send the installer password\n",
         1},
        {"PasswordWriteShort",
         false,
         no_edit,
         {13, 3},
         0,
         "ERROR: failed to send the installer password\n",
         2},
        {"IncorrectPassword",
         false,
         [](console& c) { c.outcome = "\r\nERROR: incorrect password\r\n> "; },
         {},
         0,
         "ERROR: incorrect installer password\n",
         2},
        {"Cancelled",
         false,
         [](console& c) { c.outcome = "\r\nCancelled\r\n> "; },
         {},
         0,
         "ERROR: installer mode entry was cancelled\n",
         2},
        {"NoOutcome",
         false,
         [](console& c) { c.outcome = "\r\n"; },
         {},
         0,
         "ERROR: no response entering installer mode\n",
         2},
    };
}

class CliEntryFailure : public CliEntry, public ::testing::WithParamInterface<failure_case> {};

TEST_P(CliEntryFailure, PrintsItsOneLineAndStops) {
    const failure_case& c = GetParam();
    console script;
    if (c.menu) {
        script.boot = CURSOR_REQUEST;
    }
    c.edit(script);
    play(script);
    fake::script_write_results(c.write_results);
    const std::string password =
        c.password_len == 0 ? "password" : std::string(c.password_len, 'p');
    EXPECT_FALSE(enter(password.c_str()));
    EXPECT_EQ(err, (c.menu ? MENU_NOTICE : "") + c.message);
    // Recorded writes are the ones that took at least one byte.
    std::size_t recorded = 0;
    for (const std::string& e : events) {
        recorded += e == "reset" ? 0 : 1;
    }
    EXPECT_EQ(recorded, c.writes);
    EXPECT_EQ(fake::reset_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, CliEntryFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct timing_case {
    const char* name;
    bool menu;
    std::uint64_t console::*delay;
    std::uint64_t delay_ms;
    const char* message; // null: entered
};

void PrintTo(const timing_case& c, std::ostream* os) {
    *os << c.name;
}

class CliEntryTiming : public CliEntry, public ::testing::WithParamInterface<timing_case> {};

// Each whole answer arrives `delay_ms` after the event it answers; the first byte arriving on
// the deadline is already too late for a marker that needs more bytes after it.
TEST_P(CliEntryTiming, EachWaitEndsAtItsOwnTimeOut) {
    const timing_case& c = GetParam();
    console script;
    if (c.menu) {
        script.boot = CURSOR_REQUEST;
    }
    script.*c.delay = c.delay_ms;
    play(script);
    const bool entered = enter();
    EXPECT_EQ(entered, c.message == nullptr);
    EXPECT_EQ(err, std::string(c.menu ? MENU_NOTICE : "") + (c.message ? c.message : ""));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CliEntryTiming,
    ::testing::Values(
        timing_case{"BootMarkerIn4999", false, &console::boot_delay_ms, 4999, nullptr},
        timing_case{"BootMarkerIn5000", false, &console::boot_delay_ms, 5000,
                    "ERROR: device did not reach a ready CLI prompt after reset\n"},
        timing_case{"PlainPromptAfterMenuIn2999", true, &console::after_escapes_delay_ms, 2999,
                    nullptr},
        timing_case{"PlainPromptAfterMenuIn3000", true, &console::after_escapes_delay_ms, 3000,
                    "ERROR: could not recover a plain CLI prompt after escaping the menu\n"},
        timing_case{"PasswordPromptIn1999", false, &console::prompt_delay_ms, 1999, nullptr},
        timing_case{"PasswordPromptIn2000", false, &console::prompt_delay_ms, 2000,
                    "ERROR: device did not prompt for the installer password - is it actually a "
                    "kelvane-fw-controller on this port?\n"},
        timing_case{"OutcomeIn1999", false, &console::outcome_delay_ms, 1999, nullptr},
        timing_case{"OutcomeIn2000", false, &console::outcome_delay_ms, 2000,
                    "ERROR: no response entering installer mode\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
