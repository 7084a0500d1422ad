// The installer password: from the command line or, when it has none, read from a pipe, missing,
// or typed at the hidden prompt on a terminal; one that cannot be one console line is refused.

#include "pty.h"
#include "run-process.h"
#include "update-helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

std::string with_crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

class Prompt : public kvup_e2e {
  protected:
    void SetUp() override {
        kvup_e2e::SetUp();
        sim_config config;
        config.self = device;
        start_sim(config);
    }

    std::string session() const { return session_output(1, 'B', bundle_image(1, 'B').size()); }

    sim_device_config device = make_device("KC-0001", "controller", 1);
};

TEST_F(Prompt, PasswordFromAPipe) {
    const process_result run = kvup(kvup_args("self", std::nullopt), "kelvane\n");
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Installer password: \n" + opening_output() + session());
    ASSERT_GE(record.lines.size(), 2u);
    EXPECT_EQ(record.lines[1], "kelvane");
    EXPECT_TRUE(updated(record, device));
}

class PromptWithoutEnter : public Prompt, public ::testing::WithParamInterface<const char*> {};

// Input that ends before Enter gives no password, and the port is never opened.
TEST_P(PromptWithoutEnter, FailsBeforeThePortIsOpened) {
    const process_result run = kvup(kvup_args("self", std::nullopt), GetParam());
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "Installer password: ");
    EXPECT_EQ(run.err, "ERROR: failed to read password\n");
    EXPECT_TRUE(record.resets_us.empty());
    EXPECT_TRUE(untouched(record, device));
}

INSTANTIATE_TEST_SUITE_P(Prompt, PromptWithoutEnter, ::testing::Values("", "kelvane"));

const std::string CANNOT_SEND =
    "ERROR: the installer password cannot be sent as one console line: ";

struct refused_password_case {
    const char* name;
    std::optional<std::string> argument; // none: piped to the prompt
    std::string piped;
    std::string out;
    std::string err;
};
void PrintTo(const refused_password_case& c, std::ostream* os) {
    *os << c.name;
}

class RefusedPassword : public Prompt,
                        public ::testing::WithParamInterface<refused_password_case> {};

// Refused with one line that never shows the password, before the bundle is read and before the
// device is reset: the console never sees a line of it, so nothing after a line break runs there.
TEST_P(RefusedPassword, EndsTheRunBeforeThePortIsOpened) {
    const auto& c = GetParam();
    const process_result run = kvup(kvup_args("self", c.argument), c.piped);
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(record.resets_us.empty());
    EXPECT_TRUE(record.lines.empty());
    EXPECT_EQ(record.installer_entries, 0u);
    EXPECT_TRUE(untouched(record, device));
}

INSTANTIATE_TEST_SUITE_P(
    Prompt, RefusedPassword,
    ::testing::Values(refused_password_case{"CarriageReturnThenAConsoleCommand",
                                            "kelvane\rinstaller off", "", "",
                                            CANNOT_SEND + "it holds a line break\n"},
                      refused_password_case{"LineFeedThenAConsoleCommand", "kelvane\ninstaller off",
                                            "", "", CANNOT_SEND + "it holds a line break\n"},
                      refused_password_case{"OneHundredAndTwentySevenCharacters",
                                            std::string(127, 'k'), "", "",
                                            CANNOT_SEND + "it is longer than 126 characters\n"},
                      refused_password_case{"TypedTwoHundredCharacters", std::nullopt,
                                            std::string(200, 'k') + "\n", "Installer password: \n",
                                            CANNOT_SEND + "it is longer than 126 characters\n"},
                      refused_password_case{"TypedNul", std::nullopt, std::string("kel\0vane\n", 9),
                                            "Installer password: \n",
                                            CANNOT_SEND + "it holds a NUL character\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class LongestPassword : public kvup_e2e {
  protected:
    void SetUp() override {
        kvup_e2e::SetUp();
        sim_config config;
        config.self = device;
        config.password = password;
        start_sim(config);
    }

    sim_device_config device = make_device("KC-0001", "controller", 1);
    std::string password = std::string(126, 'k');
};

// The longest password that fits the console line is typed and sent whole, not cut.
TEST_F(LongestPassword, TypedIsSentWhole) {
    const process_result run = kvup(kvup_args("self", std::nullopt), password + "\n");
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0) << run.err;
    ASSERT_GE(record.lines.size(), 2u);
    EXPECT_EQ(record.lines[1], password);
    EXPECT_TRUE(updated(record, device));
}

// kvup on a terminal: standard input and output on a pseudo-terminal, standard error on a pipe.
class terminal_session {
  public:
    explicit terminal_session(const std::vector<std::string>& argv) {
        int err_pipe[2];
        if (!pty_.open() || pipe2(err_pipe, O_CLOEXEC) != 0) {
            return;
        }
        child_setup setup;
        setup.in_fd = setup.out_fd = pty_.slave;
        setup.err_fd = err_pipe[1];
        setup.own_session_on_terminal = true;
        pid_ = start_child(argv, setup);
        close(err_pipe[1]);
        err_ = err_pipe[0];
    }

    ~terminal_session() {
        if (pid_ > 0 && exit_status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (err_ >= 0) {
            close(err_);
        }
    }

    terminal_session(const terminal_session&) = delete;
    terminal_session& operator=(const terminal_session&) = delete;

    bool started() const { return pid_ > 0; }
    int slave() const { return pty_.slave; }
    const std::string& screen() const { return screen_; }
    const std::string& err() const { return err_text_; }
    int exit_status() const { return exit_status_; }

    // Reads the terminal until `text` has appeared on it; false when it does not within `limit`.
    bool wait_for_text(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = steady_clock::now() + limit;
        while (screen_.find(text) == std::string::npos) {
            if (steady_clock::now() >= deadline) {
                return false;
            }
            pump(10);
        }
        return true;
    }

    // Waits until the terminal's local modes have none of `flags`.
    bool wait_for_modes_off(tcflag_t flags, std::chrono::milliseconds limit) {
        const auto deadline = steady_clock::now() + limit;
        termios now{};
        while (tcgetattr(pty_.slave, &now) == 0 && (now.c_lflag & flags) != 0) {
            if (steady_clock::now() >= deadline) {
                return false;
            }
            pump(5);
        }
        return (now.c_lflag & flags) == 0;
    }

    void type(const std::string& keys) {
        for (const char key : keys) {
            ASSERT_EQ(write(pty_.master, &key, 1), 1);
        }
    }

    // Collects the screen and standard error until kvup exits; false when it does not within
    // `limit`.
    bool wait_for_exit(std::chrono::milliseconds limit) {
        const auto deadline = steady_clock::now() + limit;
        while (steady_clock::now() < deadline) {
            pump(50);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                while (pump(0)) {
                }
                return true;
            }
        }
        return false;
    }

  private:
    // Moves what is waiting on the terminal and on standard error into the buffers; true when
    // anything came.
    bool pump(int timeout_ms) {
        pollfd fds[2] = {{pty_.master, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, timeout_ms) <= 0) {
            return false;
        }
        bool got = false;
        std::string* sinks[2] = {&screen_, &err_text_};
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<std::size_t>(n));
                    got = true;
                }
            }
        }
        return got;
    }

    test_pty pty_;
    int err_ = -1;
    pid_t pid_ = -1;
    int exit_status_ = -1;
    std::string screen_;
    std::string err_text_;
};

// Typed keys are never shown, the terminal's Backspace erases, and the terminal gets its echo
// and line editing back once kvup is done with it.
TEST_F(Prompt, TypedAtTheHiddenPromptOnATerminal) {
    std::vector<std::string> argv = {KVUP_BINARY};
    for (const std::string& arg : kvup_args("self", std::nullopt)) {
        argv.push_back(arg);
    }
    terminal_session term(argv);
    ASSERT_TRUE(term.started());
    termios before{};
    ASSERT_EQ(tcgetattr(term.slave(), &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_EQ(before.c_cc[VERASE], 0x7F);

    ASSERT_TRUE(term.wait_for_text("Installer password: ", 10s)) << term.screen();
    // Keys typed before the prompt has switched the echo off would be echoed by the terminal
    // itself, whatever kvup did.
    ASSERT_TRUE(term.wait_for_modes_off(ECHO | ICANON, 5s));
    term.type("kelx");
    term.type("\x7f"); // Backspace, the terminal's erase character
    term.type("vane\r");
    ASSERT_TRUE(term.wait_for_exit(30s)) << term.screen();
    const sim_record record = stop_sim();

    EXPECT_EQ(term.exit_status(), 0);
    EXPECT_EQ(term.err(), "");
    // Nothing typed shows between the prompt and the newline that ends it.
    EXPECT_EQ(term.screen(),
              "Installer password: " + with_crlf("\n" + opening_output() + session()));
    ASSERT_GE(record.lines.size(), 2u);
    EXPECT_EQ(record.lines[1], "kelvane");
    EXPECT_TRUE(updated(record, device));

    termios after{};
    ASSERT_EQ(tcgetattr(term.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

} // namespace
