#include "serial.h"

#include "pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using std::chrono::steady_clock;

// Whether the tty refuses further opens (TIOCEXCL); false where that cannot be asked.
#ifdef TIOCGEXCL
bool tty_is_exclusive(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}
#else
bool tty_is_exclusive(int) {
    return false;
}
#endif

std::string every_byte_value() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

class SerialPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.open());
        port = serial_open(pty.slave_path.c_str());
        ASSERT_NE(port, nullptr);
    }
    void TearDown() override { serial_close(port); }

    test_pty pty;
    serial_port* port = nullptr;
    char byte = 0;
};

TEST(SerialOpen, RefusesEmptyMissingAndNonTerminalNames) {
    EXPECT_EQ(serial_open(""), nullptr);
    EXPECT_EQ(serial_open("/dev/kvup-no-such-port"), nullptr);
    EXPECT_EQ(serial_open("kvup-no-such-port"), nullptr);
    EXPECT_EQ(serial_open("/dev/null"), nullptr);
}

TEST(SerialOpen, NameWithoutLeadingSlashIsUnderDev) {
    // /dev/ptmx hands out a fresh pseudo-terminal, so the name is found only under /dev.
    serial_port* port = serial_open("ptmx");
    EXPECT_NE(port, nullptr);
    serial_close(port);

    test_pty pty;
    ASSERT_TRUE(pty.open());
    port = serial_open(pty.slave_path.substr(5).c_str()); // "pts/N"
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(serial_write(port, "n", 1), 1);
    EXPECT_EQ(read_for(pty.master, 1, 2000), "n");
    serial_close(port);
}

TEST_F(SerialPty, EveryByteValueCrossesUnchangedBothWays) {
    const std::string all = every_byte_value();
    // The port's side first: with XON/XOFF still on, the 0x13 sent below would stop its output.
    EXPECT_EQ(serial_write(port, all.data(), all.size()), 256);
    EXPECT_EQ(read_for(pty.master, 256, 2000), all);

    ASSERT_EQ(write(pty.master, all.data(), all.size()), 256);
    std::string received;
    while (received.size() < all.size() && serial_read(port, &byte, 1, 2000) == 1) {
        received += byte;
    }
    EXPECT_EQ(received, all);
}

TEST_F(SerialPty, SecondOpenIsRefusedUntilTheFirstCloses) {
    EXPECT_EQ(serial_open(pty.slave_path.c_str()), nullptr);
    EXPECT_EQ(serial_open(pty.slave_path.substr(5).c_str()), nullptr);
    serial_close(port);
    port = serial_open(pty.slave_path.c_str());
    EXPECT_NE(port, nullptr);
}

TEST_F(SerialPty, CloseLeavesTheDeviceOpenableForOthers) {
    serial_close(port);
    port = nullptr;
    // The simulator still holds the slave; the tty must not stay in exclusive mode.
    EXPECT_FALSE(tty_is_exclusive(pty.slave));
    EXPECT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);
}

TEST(SerialOpen, PortLockedByAnotherProgramIsRefused) {
    test_pty pty;
    ASSERT_TRUE(pty.open());
    ASSERT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);
    serial_port* port = serial_open(pty.slave_path.c_str());
    EXPECT_EQ(port, nullptr);
    serial_close(port);
    // The refused open did not leave the tty exclusive behind it.
    EXPECT_FALSE(tty_is_exclusive(pty.slave));
}

TEST_F(SerialPty, ZeroTimeOutReturnsAtOnce) {
    const auto start = steady_clock::now();
    EXPECT_EQ(serial_read(port, &byte, 1, 0), 0);
    EXPECT_LT(elapsed_ms(start), 1000);

    ASSERT_EQ(write(pty.master, "k", 1), 1);
    ASSERT_TRUE(wait_readable(pty.slave, 2000));
    EXPECT_EQ(serial_read(port, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'k');
}

TEST_F(SerialPty, WaitingByteIsReturnedWithoutWaitingForTheTimeOut) {
    ASSERT_EQ(write(pty.master, "w", 1), 1);
    ASSERT_TRUE(wait_readable(pty.slave, 2000));
    const auto start = steady_clock::now();
    EXPECT_EQ(serial_read(port, &byte, 1, 10000), 1);
    EXPECT_LT(elapsed_ms(start), 2000);
}

TEST_F(SerialPty, SilenceReturnsZeroAfterTheTimeOut) {
    const auto start = steady_clock::now();
    EXPECT_EQ(serial_read(port, &byte, 1, 300), 0);
    EXPECT_GE(elapsed_ms(start), 250);
}

TEST_F(SerialPty, SignalDoesNotCutTheWaitShort) {
    const auto start = steady_clock::now();
    int result = 0;
    {
        interrupt_later interrupt(100);
        result = serial_read(port, &byte, 1, 400);
    }
    EXPECT_EQ(result, 0);
    EXPECT_GE(elapsed_ms(start), 350);
}

TEST_F(SerialPty, HangUpEndsAWaitAtOnce) {
    std::thread other_side([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.close_master();
    });
    const auto start = steady_clock::now();
    EXPECT_EQ(serial_read(port, &byte, 1, 10000), -1);
    EXPECT_LT(elapsed_ms(start), 2000);
    other_side.join();
    EXPECT_EQ(serial_write(port, "x", 1), -1);
}

TEST_F(SerialPty, WriteOfNothingReturnsZero) {
    EXPECT_EQ(serial_write(port, "", 0), 0);
    EXPECT_EQ(read_for(pty.master, 1, 100), "");
}

// The far end stops reading: nothing in the pty is taken off, so its buffers fill and stay full.
// A write past its bound must fail like any failed write instead of blocking for ever. On a
// hang (the fault) the test closes the master, which ends the write with an error.
class SerialWriteBound : public SerialPty {
  protected:
    int write_with_guard(const std::vector<char>& bytes, long long& took_ms) {
        const auto start = steady_clock::now();
        auto result = std::async(std::launch::async,
                                 [&] { return serial_write(port, bytes.data(), bytes.size()); });
        const auto guard = std::chrono::milliseconds(serial_write_bound_ms(bytes.size()) + 5000);
        if (result.wait_for(guard) != std::future_status::ready) {
            ADD_FAILURE() << "serial_write still blocked after " << guard.count() << " ms";
            pty.close_master();
        }
        const int written = result.get();
        took_ms = elapsed_ms(start);
        return written;
    }
};

TEST_F(SerialWriteBound, DeviceThatTakesNothingFailsTheWriteAfterTheBound) {
    // Far more than a pty holds (a few kilobytes): the write must stall.
    const std::vector<char> bytes(32 * 1024, 'd');
    long long took_ms = 0;
    const int written = write_with_guard(bytes, took_ms);
    EXPECT_GT(written, 0); // what the pty took before it filled
    EXPECT_LT(written, static_cast<int>(bytes.size()));
    EXPECT_GE(took_ms, SERIAL_WRITE_TIMEOUT_MS - 100);

    // With the buffers still full, the next write takes nothing and says so.
    EXPECT_EQ(write_with_guard(std::vector<char>(4108, 'e'), took_ms), -1);
}

TEST_F(SerialWriteBound, OneDeadlineForTheWholeCallNotForEachPiece) {
    // A device that takes a little now and then never lets a per-piece wait expire.
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        char sink[64];
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (pty.master >= 0 && wait_readable(pty.master, 0)) {
                [[maybe_unused]] const ssize_t n = read(pty.master, sink, sizeof sink);
            }
        }
    });
    const std::vector<char> bytes(32 * 1024, 't');
    long long took_ms = 0;
    const int written = write_with_guard(bytes, took_ms);
    done = true;
    trickle.join();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(bytes.size()));
}

TEST_F(SerialWriteBound, WriteTheDeviceReadsGoesThroughWhole) {
    const std::vector<char> bytes(64 * 1024, 'r');
    std::string received;
    std::thread reader([&] { received = read_for(pty.master, bytes.size(), 10000); });
    long long took_ms = 0;
    EXPECT_EQ(write_with_guard(bytes, took_ms), static_cast<int>(bytes.size()));
    reader.join();
    EXPECT_EQ(received, std::string(bytes.begin(), bytes.end()));
}

TEST(SerialWriteBoundValue, LineTimeAt115200RoundedUpOnTopOfTheTimeOut) {
    EXPECT_EQ(serial_write_bound_ms(0), SERIAL_WRITE_TIMEOUT_MS);
    EXPECT_EQ(serial_write_bound_ms(1), SERIAL_WRITE_TIMEOUT_MS + 1);
    EXPECT_EQ(serial_write_bound_ms(4108), SERIAL_WRITE_TIMEOUT_MS + 357);
    EXPECT_EQ(serial_write_bound_ms(11520), SERIAL_WRITE_TIMEOUT_MS + 1000);
}

// The settings as the port had them before kvup: a terminal given as the port (/dev/tty) must
// get its echo and line editing back.
TEST(SerialClose, PutsBackTheSettingsFoundAtOpen) {
    test_pty pty;
    ASSERT_TRUE(pty.open());
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u); // a fresh pty is cooked

    serial_port* port = serial_open(pty.slave_path.c_str());
    ASSERT_NE(port, nullptr);
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);
    serial_close(port);

    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialNullHandle, ReadAndWriteFailCloseAndResetDoNothing) {
    char byte = 0;
    EXPECT_EQ(serial_read(nullptr, &byte, 1, 0), -1);
    EXPECT_EQ(serial_write(nullptr, "x", 1), -1);
    serial_close(nullptr);
    const auto start = steady_clock::now();
    serial_reset_to_cli(nullptr);
    EXPECT_LT(elapsed_ms(start), 300); // a real reset sleeps 400 ms
}

TEST_F(SerialPty, ResetDiscardsWhatCameBeforeAndKeepsWhatComesAfter) {
    int on = 1;
    ASSERT_EQ(ioctl(pty.master, TIOCPKT, &on), 0);
    ASSERT_EQ(write(pty.master, "old", 3), 3);
    ASSERT_TRUE(wait_readable(pty.slave, 2000));

    serial_reset_to_cli(port);

    // In packet mode each master read starts with 0 for data or a nonzero set of status bits.
    int status = 0;
    const int both = TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE;
    unsigned char packet[64];
    while ((status & both) != both && wait_readable(pty.master, 2000) &&
           read(pty.master, packet, sizeof packet) > 0) {
        ASSERT_NE(packet[0], 0) << "the port sent data";
        status |= packet[0];
    }
    EXPECT_NE(status & TIOCPKT_FLUSHREAD, 0);
    EXPECT_NE(status & TIOCPKT_FLUSHWRITE, 0);

    EXPECT_EQ(serial_read(port, &byte, 1, 0), 0);
    ASSERT_EQ(write(pty.master, "new", 3), 3);
    EXPECT_EQ(serial_read(port, &byte, 1, 2000), 1);
    EXPECT_EQ(byte, 'n');
}

} // namespace
