#include "key-input.h"

#include "pty.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

bool echo_is_off(int fd) {
    termios now{};
    return tcgetattr(fd, &now) == 0 && (now.c_lflag & (ECHO | ICANON)) == 0;
}

// A child process reading keys from the pseudo-terminal's slave as its stdin. Everything in the
// child is plain system calls, and it ends with _exit: it shares nothing with the test runner.
class KeyInputTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.open());
        ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
        ASSERT_NE(before.c_lflag & ECHO, 0u);
        ASSERT_NE(before.c_lflag & ICANON, 0u);
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(keys), 0);
    }
    void TearDown() override {
        if (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int fd : {ready[0], ready[1], keys[0], keys[1]}) {
            close(fd);
        }
    }

    // Starts the child: it prepares for keys, reports that, then passes on `count` key codes
    // and ends its input, writes "END" to the terminal and exits.
    void start_child(int count) {
        child = fork();
        if (child != 0) {
            return;
        }
        signal(SIGINT, SIG_DFL);
        dup2(pty.slave, STDIN_FILENO);
        key_input_begin();
        (void)!write(ready[1], "r", 1);
        for (int i = 0; i < count; ++i) {
            const int key = key_input_read();
            (void)!write(keys[1], &key, sizeof key);
        }
        key_input_end();
        struct sigaction after {};
        sigaction(SIGINT, nullptr, &after);
        (void)!write(STDIN_FILENO, "END", 3);
        _exit(after.sa_handler == SIG_DFL ? 0 : 3);
    }

    bool child_ready() { return read_for(ready[0], 1, 5000) == "r"; }

    std::vector<int> keys_read(std::size_t count) {
        const std::string bytes = read_for(keys[0], count * sizeof(int), 5000);
        std::vector<int> codes(bytes.size() / sizeof(int));
        std::copy(bytes.begin(), bytes.begin() + codes.size() * sizeof(int),
                  reinterpret_cast<char*>(codes.data()));
        return codes;
    }

    bool slave_restored() {
        termios after{};
        return tcgetattr(pty.slave, &after) == 0 && same_settings(before, after);
    }

    test_pty pty;
    termios before{};
    int ready[2] = {-1, -1};
    int keys[2] = {-1, -1};
    int child = -1;
};

TEST_F(KeyInputTerminal, KeysArriveUnechoedAndTheSettingsComeBack) {
    start_child(5);
    ASSERT_TRUE(child_ready());
    EXPECT_TRUE(echo_is_off(pty.slave));
    ASSERT_EQ(write(pty.master, "x\x7f\b\r\n", 5), 5);

    const std::vector<int> codes = keys_read(5);
    ASSERT_EQ(codes.size(), 5u);
    EXPECT_EQ(codes[0], 'x');
    EXPECT_EQ(codes[1], 8) << "the terminal's erase character";
    EXPECT_EQ(codes[2], 8);
    EXPECT_TRUE(codes[3] == 13 || codes[3] == 10) << codes[3];
    EXPECT_EQ(codes[4], 10);

    // Anything echoed would reach the master ahead of the child's own "END".
    EXPECT_EQ(read_for(pty.master, 3, 5000), "END");
    int status = 0;
    ASSERT_TRUE(wait_child(child, status, 5000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "handlers not given back";
    EXPECT_TRUE(slave_restored());
}

class KeyInputSignal : public KeyInputTerminal, public ::testing::WithParamInterface<int> {};

TEST_P(KeyInputSignal, EndsTheProgramWithTheSettingsRestored) {
    start_child(1);
    ASSERT_TRUE(child_ready());
    EXPECT_TRUE(echo_is_off(pty.slave));
    ASSERT_EQ(kill(child, GetParam()), 0);
    int status = 0;
    ASSERT_TRUE(wait_child(child, status, 5000));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam());
    EXPECT_TRUE(slave_restored());
}

INSTANTIATE_TEST_SUITE_P(Terminating, KeyInputSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST_F(KeyInputTerminal, StopRestoresTheSettingsAndContinueResumesThePrompt) {
    start_child(1);
    ASSERT_TRUE(child_ready());
    // In a group of its own within the session, so the stop is not discarded as it would be
    // for an orphaned group.
    ASSERT_EQ(setpgid(child, child), 0);
    ASSERT_EQ(kill(child, SIGTSTP), 0);
    int status = 0;
    ASSERT_TRUE(wait_child(child, status, 5000));
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_TRUE(slave_restored());

    ASSERT_EQ(kill(child, SIGCONT), 0);
    bool quiet_again = false;
    for (int i = 0; i < 400 && !quiet_again; ++i) {
        quiet_again = echo_is_off(pty.slave);
        usleep(5000);
    }
    EXPECT_TRUE(quiet_again);
    ASSERT_EQ(write(pty.master, "k", 1), 1);
    EXPECT_EQ(keys_read(1), std::vector<int>{'k'});
    EXPECT_EQ(read_for(pty.master, 3, 5000), "END");
    ASSERT_TRUE(wait_child(child, status, 5000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(slave_restored());
}

TEST(KeyInputStream, BytesOfAPipeArriveUnchangedThenTheEnd) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const std::string typed("pw\x7f\b\r\n\x03", 7);
    ASSERT_EQ(write(pipe_fds[1], typed.data(), typed.size()), 7);
    close(pipe_fds[1]);
    const int saved_stdin = dup(STDIN_FILENO);
    dup2(pipe_fds[0], STDIN_FILENO);
    close(pipe_fds[0]);

    key_input_begin();
    std::vector<int> codes;
    for (std::size_t i = 0; i <= typed.size(); ++i) {
        codes.push_back(key_input_read());
    }
    key_input_end();
    key_input_end();
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);

    EXPECT_EQ(codes, (std::vector<int>{'p', 'w', 0x7f, 8, 13, 10, 3, -1}));
}

} // namespace
