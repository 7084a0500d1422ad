#include "serial.h"

#include "timer.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

struct serial_port {
    int fd;
    termios put_back; // what the close puts back: the settings found at open, echo aside
    bool low_latency; // this open turned the driver's low-latency flag on; the close turns it off
};

namespace {

// How often the close's wait for output the device will not take is interrupted; the first
// interruption ends it.
constexpr long SERIAL_CLOSE_NUDGE_MS = 50;

// Input flags that some systems lack; every one of them edits received bytes when set.
#ifdef IUCLC
constexpr tcflag_t SERIAL_EXTRA_IFLAGS = IUCLC;
#else
constexpr tcflag_t SERIAL_EXTRA_IFLAGS = 0;
#endif

// A name that starts with '/' or '.' is a path as given; any other name ("ttyACM0", "pts/3")
// names a device under /dev. A path that does not fit is refused, never cut short: a shortened
// path could name a different device.
bool serial_build_path(const char* name, char* path, std::size_t capacity) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    const char* prefix = (name[0] == '/' || name[0] == '.') ? "" : "/dev/";
    const int len = std::snprintf(path, capacity, "%s%s", prefix, name);
    return len > 0 && static_cast<std::size_t>(len) < capacity;
}

// TIOCEXCL stays on the tty while any descriptor of it is open (a simulator may hold the other
// end's slave), so it is cleared before the close or nobody but root could open the port again.
void serial_close_fd(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

extern "C" void serial_ignore_signal(int) {}

// Closes `fd` while the driver still holds output the device will not take. The kernel's wait
// for it to drain ends at a signal, after which the close goes on and the driver's shutdown
// cancels what it held; so a timer signals this thread every SERIAL_CLOSE_NUDGE_MS (without
// SA_RESTART) until the close has returned. The signal's action and the timer are put back.
void serial_close_unwaited(int fd) {
    struct sigaction nudge {};
    nudge.sa_handler = serial_ignore_signal;
    sigemptyset(&nudge.sa_mask);
    struct sigaction old_action {};
    itimerval every{};
    every.it_value.tv_usec = SERIAL_CLOSE_NUDGE_MS * 1000;
    every.it_interval = every.it_value;
    itimerval old_timer{};
    const itimerval off{};
    const bool armed = sigaction(SIGALRM, &nudge, &old_action) == 0;
    if (armed) {
        setitimer(ITIMER_REAL, &every, &old_timer);
    }
    serial_close_fd(fd);
    if (armed) {
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_action, nullptr);
        setitimer(ITIMER_REAL, &old_timer, nullptr);
    }
}

// Raw, 115200 8N1, reads that never block in the driver: every byte value crosses unchanged and
// the waiting is done by poll(). Hardware flow control and the modem lines stay as found.
void serial_make_transparent(termios& tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                     IXOFF | IXANY | SERIAL_EXTRA_IFLAGS);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
}

// A USB-UART bridge holds short replies until its latency timer runs out (16 ms by default on an
// FTDI chip), and every chunk waits for such a reply: the low-latency flag makes ftdi_sio set that
// timer to 1 ms. True when this call turned the flag on. Drivers without the request (a pty, most
// others) refuse it, which is fine. A build for the before-and-after figures of the USB cases
// leaves the flag alone (KVUP_SERIAL_NO_LOW_LATENCY); kvup itself always asks.
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY) &&                  \
    !defined(KVUP_SERIAL_NO_LOW_LATENCY)
bool serial_ask_low_latency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

// The flag outlives the close on the tty, so it goes back as it was found.
void serial_drop_low_latency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) != 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info);
    }
}
#else
bool serial_ask_low_latency(int) {
    return false;
}

void serial_drop_low_latency(int) {}
#endif

int serial_poll_ms(std::uint64_t remaining_ms) {
    return remaining_ms > INT_MAX ? INT_MAX : static_cast<int>(remaining_ms);
}

// Waits until the port takes more bytes or `deadline_ms` passes; false on an error, a hang-up
// or the deadline.
bool serial_wait_writable(int fd, std::uint64_t deadline_ms) {
    for (;;) {
        const std::uint64_t now_ms = timer_now_ms();
        if (now_ms >= deadline_ms) {
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, serial_poll_ms(deadline_ms - now_ms));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            continue; // the deadline is checked above
        }
        return ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }
}

// The settings the close puts back: those found at open, but on a device's port without echo.
// The settings go back before close() returns, and a close can take a while (ftdi_sio polls the
// chip until its transmitter is empty, about 70 ms); with echo on, whatever the device says in
// that time (its boot text, just after an update) would go straight back to it as console input.
// A device's port has modem lines; a terminal given as the port (kvup's own, or a pty) gets its
// settings back exactly, echo and line editing included.
termios serial_settings_to_put_back(int fd, const termios& found) {
    int lines = 0;
    if (tcgetsid(fd) >= 0 || ioctl(fd, TIOCMGET, &lines) != 0) {
        return found;
    }
    termios settings = found;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return settings;
}

} // namespace

serial_port* serial_open(const char* name) {
    char path[4096];
    if (!serial_build_path(name, path, sizeof path)) {
        return nullptr;
    }
    // Non-blocking for good: the open does not wait for carrier detect, and a write takes what the
    // driver has room for at once, so a device that stops reading cannot hold it past its bound.
    // Reads are unchanged by it: they wait in poll() and VMIN=0/VTIME=0 never block anyway.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // Two locks, because neither is enough alone. flock is the advisory lock that other serial
    // programs honour, it tells us whether someone already has the port, and it holds even
    // against root (a second kvup run as root included). TIOCEXCL makes the tty refuse every
    // later open() by programs that do not look at flock, but root ignores it and it says
    // nothing about who had the port open before us. The flock comes first so a port that is
    // busy is left without our TIOCEXCL on it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);

    termios found{};
    if (tcgetattr(fd, &found) != 0) {
        serial_close_fd(fd);
        return nullptr;
    }
    termios tio = found;
    serial_make_transparent(tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        serial_close_fd(fd);
        return nullptr;
    }

    const bool low_latency = serial_ask_low_latency(fd);
    const termios put_back = serial_settings_to_put_back(fd, found);
    serial_port* port = new (std::nothrow) serial_port{fd, put_back, low_latency};
    if (port == nullptr) {
        if (low_latency) {
            serial_drop_low_latency(fd);
        }
        tcsetattr(fd, TCSANOW, &put_back);
        serial_close_fd(fd);
    }
    return port;
}

void serial_close(serial_port* port) {
    if (port == nullptr) {
        return;
    }
    // Every caller waits for the device's answer after its writes, so output still queued here
    // is output the device is not taking, and Linux would wait for it in close() (closing_wait,
    // 30 s). It is discarded first; on a driver that cannot discard it (cdc_acm counts its USB
    // transfers in flight, and before Linux 6.5 its flush leaves them pending) the close's wait
    // is cut short. Nothing is done when nothing is queued: a discard is not invisible everywhere
    // (a pty reports it to the other end). The settings go back before the close, so a terminal
    // given as the port (/dev/tty) gets its echo and line editing back; a device's port stays
    // without echo. Closing also releases the flock.
    int queued = 0;
    const bool stuck = ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued > 0;
    if (stuck) {
        tcflush(port->fd, TCOFLUSH);
    }
    tcsetattr(port->fd, TCSANOW, &port->put_back);
    if (port->low_latency) {
        serial_drop_low_latency(port->fd);
    }
    if (stuck && ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        serial_close_unwaited(port->fd);
    } else {
        serial_close_fd(port->fd);
    }
    delete port;
}

int serial_read(serial_port* port, void* buffer, std::size_t count, std::uint32_t timeout_ms) {
    if (port == nullptr) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    const std::size_t wanted = count > INT_MAX ? INT_MAX : count;
    const std::uint64_t deadline_ms = timer_now_ms() + timeout_ms;
    std::uint64_t remaining_ms = timeout_ms;
    for (;;) {
        pollfd pfd{port->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, serial_poll_ms(remaining_ms));
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready > 0) {
            if ((pfd.revents & (POLLERR | POLLNVAL)) != 0) {
                return -1;
            }
            // On a hang-up the read still hands over what arrived before it, then reports the
            // end (0 or EIO); VMIN=0/VTIME=0 keeps this read from blocking.
            const ssize_t got = read(port->fd, buffer, wanted);
            if (got > 0) {
                return static_cast<int>(got);
            }
            if (got == 0 || (pfd.revents & POLLHUP) != 0 || (errno != EINTR && errno != EAGAIN)) {
                return -1;
            }
        } else if (ready == 0 && remaining_ms <= INT_MAX) {
            return 0;
        }
        const std::uint64_t now_ms = timer_now_ms();
        if (now_ms >= deadline_ms) {
            return 0;
        }
        remaining_ms = deadline_ms - now_ms;
    }
}

int serial_write(serial_port* port, const void* bytes, std::size_t count) {
    if (port == nullptr || count > INT_MAX) {
        return -1;
    }
    // One deadline for the whole call: a device that takes a byte now and then cannot stretch it.
    const std::uint64_t deadline_ms = timer_now_ms() + serial_write_bound_ms(count);
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    while (written < count) {
        const ssize_t put = write(port->fd, next + written, count - written);
        if (put > 0) {
            written += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            serial_wait_writable(port->fd, deadline_ms)) {
            continue;
        }
        break;
    }
    if (written == 0 && count > 0) {
        return -1;
    }
    return static_cast<int>(written);
}

void serial_reset_to_cli(serial_port* port) {
    if (port == nullptr) {
        return;
    }
    // Results are not examined: a pseudo-terminal has no DTR line, and a real port that fails
    // here shows it at the next wait for the device's prompt.
    timer_sleep_ms(SERIAL_RESET_SETTLE_MS);
    tcflush(port->fd, TCIOFLUSH);
    int dtr = TIOCM_DTR;
    ioctl(port->fd, TIOCMBIC, &dtr);
    timer_sleep_ms(SERIAL_RESET_PULSE_MS);
    ioctl(port->fd, TIOCMBIS, &dtr);
    timer_sleep_ms(SERIAL_RESET_BOOT_MS);
}
