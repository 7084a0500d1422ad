// The thin shell around sim_core: a pseudo-terminal whose slave kvup opens as its serial port,
// a background thread that moves bytes between the master and the core at their times, and the
// thread-safe view of the record.

#include "sim-core.h"
#include "sim-link.h"
#include "sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The loop wakes at least this often even when nothing is due.
constexpr std::uint64_t IDLE_POLL_US = 100'000;

// Host bytes reach the device in batches at most this late: each is fed with its own time, so
// nothing the device does changes, and the loop wakes once a millisecond instead of once a byte
// (11 520 times a second at 115200 baud). The last byte on the line, which the host's next move
// waits on, is fed on time.
constexpr std::uint64_t INBOUND_BATCH_US = 1000;

struct timed_byte {
    std::uint64_t at_us;
    std::uint8_t byte;
};

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

struct sim_instance::impl {
    std::function<void(const std::string&)> log_sink;
    std::string slave;
    std::string port;
    std::string link;
    int master = -1;
    int slave_fd = -1; // held open so the master never sees a hang-up between host sessions
    int wake[2] = {-1, -1};
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    mutable std::mutex mu;
    std::condition_variable changed;
    std::unique_ptr<sim_core> core;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::once_flag stopped;

    sim_pacer in;
    sim_pacer out;
    std::deque<timed_byte> inbound; // host bytes still on the emulated line

    ~impl() {
        close_fd(master);
        close_fd(slave_fd);
        close_fd(wake[0]);
        close_fd(wake[1]);
    }

    std::uint64_t now_us() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - t0)
                                              .count());
    }

    bool open_pty(const std::string& link_path, std::string& error);
    void remove_link();
    void loop();
    void feed_through(std::uint64_t now);
    bool read_master(std::uint64_t now);
    bool read_while_deaf(std::uint64_t now);
    bool slave_echoes() const;
    void host_reset(std::uint64_t now);
    bool write_master(std::uint64_t now, bool& blocked);
    timespec poll_timeout(std::uint64_t now, bool blocked) const;
    void flush_log();
};

bool sim_instance::impl::open_pty(const std::string& link_path, std::string& error) {
    // Close-on-exec throughout: a program the host side starts (kvup from a test) must not hold
    // the device's end of the link, or the link never goes away when the simulator closes it.
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = errno_text("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        error = errno_text("grantpt/unlockpt/ptsname");
        return false;
    }
    slave = name;
    slave_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd < 0) {
        error = errno_text("open pty slave");
        return false;
    }
    // A USB serial device presents no line editing, echo or newline translation.
    termios tio{};
    if (::tcgetattr(slave_fd, &tio) != 0) {
        error = errno_text("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slave_fd, TCSANOW, &tio) != 0) {
        error = errno_text("tcsetattr");
        return false;
    }
    // Packet mode reports the host's queue discards, the only trace of its reset on a pty.
    int on = 1;
    if (::ioctl(master, TIOCPKT, &on) != 0) {
        error = errno_text("TIOCPKT");
        return false;
    }
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = errno_text("fcntl");
        return false;
    }
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        error = errno_text("pipe");
        return false;
    }
    ::fcntl(wake[0], F_SETFL, O_NONBLOCK);
    ::fcntl(wake[1], F_SETFL, O_NONBLOCK);

    port = slave;
    if (!link_path.empty()) {
        struct stat st {};
        if (::lstat(link_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = link_path + " exists and is not a symbolic link";
                return false;
            }
            ::unlink(link_path.c_str()); // left over from an earlier run
        }
        if (::symlink(slave.c_str(), link_path.c_str()) != 0) {
            error = errno_text(("symlink " + link_path).c_str());
            return false;
        }
        link = link_path;
        port = link_path;
    }
    return true;
}

void sim_instance::impl::remove_link() {
    if (link.empty()) {
        return;
    }
    char target[256];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave) {
        ::unlink(link.c_str()); // only our own link: another simulator may have taken the path
    }
}

// Host bytes that are through the line by `now` reach the device, each at its own time.
void sim_instance::impl::feed_through(std::uint64_t now) {
    while (!inbound.empty() && inbound.front().at_us <= now) {
        core->feed(&inbound.front().byte, 1, inbound.front().at_us);
        inbound.pop_front();
    }
}

bool sim_instance::impl::read_master(std::uint64_t now) {
    std::uint8_t buf[1 + 4096];
    for (;;) {
        if (core->deaf()) {
            return true; // what the host writes from now on stays in the pty
        }
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        if (n == 0) {
            return true;
        }
        const auto count = static_cast<std::size_t>(n);
        switch (sim_packet_classify(buf, count)) {
        case sim_packet_kind::data:
            if (slave_echoes()) {
                break;
            }
            if (in.byte_ns == 0) {
                core->feed(buf + 1, count - 1, now);
            } else {
                for (std::size_t i = 1; i < count; ++i) {
                    inbound.push_back({sim_pacer_pass(in, now), buf[i]});
                }
            }
            break;
        case sim_packet_kind::reset:
            host_reset(now);
            break;
        case sim_packet_kind::status:
        case sim_packet_kind::empty:
            break;
        }
    }
}

// A slave that echoes sends the device's own output back to it, which a USB port never does:
// while the host has the port open it is raw, and once the host closed it (a host may put back
// the echo it found) nobody reads the device at all. What arrives then is not the host's.
bool sim_instance::impl::slave_echoes() const {
    termios tio{};
    return ::tcgetattr(slave_fd, &tio) == 0 && (tio.c_lflag & ECHO) != 0;
}

void sim_instance::impl::host_reset(std::uint64_t now) {
    feed_through(now);
    inbound.clear(); // the device resets; what was still on the line is lost
    in.free_ns = now * 1000;
    out.free_ns = now * 1000;
    core->reset(now);
}

// A deaf device leaves the host's bytes in the pty, so the host's writes stall once its buffers
// are full. Only the host's queue discard, the trace of its reset, is taken (it comes first in
// packet mode); the bytes written before it are lost with the reset, as on a real line.
bool sim_instance::impl::read_while_deaf(std::uint64_t now) {
    std::uint8_t buf[1 + 4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) {
        return n == 0 || errno == EAGAIN || errno == EINTR;
    }
    if (sim_packet_classify(buf, static_cast<std::size_t>(n)) != sim_packet_kind::reset) {
        return true;
    }
    while (::read(master, buf, sizeof buf) > 0) {
    }
    host_reset(now);
    return true;
}

// Device bytes go to the pty once they are through the emulated line, never before: the host
// must not start its answer while the device's last byte is still on the way.
bool sim_instance::impl::write_master(std::uint64_t now, bool& blocked) {
    blocked = false;
    for (;;) {
        const std::span<const std::uint8_t> due = core->output_peek(now);
        if (due.empty()) {
            return true;
        }
        const std::uint64_t ready_us = core->next_due_us().value_or(now);
        const std::size_t through = sim_pacer_through(out, ready_us, now, due.size());
        if (through == 0) {
            return true;
        }
        const ssize_t n = ::write(master, due.data(), through);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                blocked = true; // the host is not reading; the bytes wait for it
                return true;
            }
            return false;
        }
        sim_pacer_take(out, ready_us, static_cast<std::size_t>(n));
        core->output_commit(static_cast<std::size_t>(n), now);
        if (static_cast<std::size_t>(n) < through) {
            blocked = true;
            return true;
        }
    }
}

// To the microsecond: at 115200 baud a byte takes 87 us, and a loop that woke on whole
// milliseconds would hold each answer back by up to a millisecond.
timespec sim_instance::impl::poll_timeout(std::uint64_t now, bool blocked) const {
    std::uint64_t wake_us = now + IDLE_POLL_US;
    if (!inbound.empty()) {
        wake_us =
            std::min({wake_us, inbound.front().at_us + INBOUND_BATCH_US, inbound.back().at_us});
    }
    if (!blocked) {
        if (const std::optional<std::uint64_t> due = core->next_due_us()) {
            wake_us = std::min(wake_us, sim_pacer_next_us(out, *due));
        }
    }
    const std::uint64_t wait_us = wake_us > now ? wake_us - now : 0;
    return timespec{static_cast<time_t>(wait_us / 1'000'000),
                    static_cast<long>(wait_us % 1'000'000 * 1000)};
}

void sim_instance::impl::flush_log() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mu);
        lines = core->take_log();
    }
    if (!log_sink) {
        return;
    }
    const double seconds = static_cast<double>(now_us()) / 1e6;
    for (const std::string& line : lines) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%9.3f] ", seconds);
        log_sink(stamp + line);
    }
}

void sim_instance::impl::loop() {
    bool blocked = false;
    while (!stopping.load()) {
        timespec timeout{};
        bool ok = true;
        bool disconnect = false;
        bool deaf = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            const std::uint64_t now = now_us();
            feed_through(now);
            ok = write_master(now, blocked);
            // A pty cannot come back after an unplug: it is a disconnect here.
            disconnect = core->disconnect_requested() || core->unplug_requested();
            if (disconnect) {
                close_fd(master);
                close_fd(slave_fd);
                remove_link();
                core->note_disconnected();
                running = false;
            }
            timeout = poll_timeout(now, blocked);
            deaf = core->deaf();
        }
        changed.notify_all();
        flush_log();
        if (disconnect || !ok) {
            break;
        }

        // Deaf, only the host's queue discards are watched for (POLLPRI in packet mode).
        const short listen = deaf ? POLLPRI : POLLIN;
        pollfd fds[2] = {{master, static_cast<short>(listen | (blocked ? POLLOUT : 0)), 0},
                         {wake[0], POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            break;
        }
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR)) != 0) {
            std::lock_guard<std::mutex> lock(mu);
            ok = deaf ? read_while_deaf(now_us()) : read_master(now_us());
        }
        if (!ok) {
            break;
        }
    }
    running = false;
    changed.notify_all();
    flush_log();
}

sim_instance::sim_instance(std::unique_ptr<impl> state) : state_(std::move(state)) {}

sim_instance::~sim_instance() {
    stop();
}

const std::string& sim_instance::slave_path() const {
    return state_->slave;
}

const std::string& sim_instance::port_path() const {
    return state_->port;
}

void sim_instance::stop() {
    std::call_once(state_->stopped, [this] {
        state_->stopping = true;
        const std::uint8_t byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(state_->wake[1], &byte, 1);
        if (state_->thread.joinable()) {
            state_->thread.join();
        }
        std::lock_guard<std::mutex> lock(state_->mu);
        close_fd(state_->master);
        close_fd(state_->slave_fd);
        state_->remove_link();
        state_->running = false;
    });
    state_->changed.notify_all();
}

bool sim_instance::running() const {
    return state_->running.load();
}

sim_record sim_instance::record() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->core->record();
}

bool sim_instance::wait_for(const std::function<bool(const sim_record&)>& done,
                            std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(state_->mu);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return done(state_->core->record()); });
}

std::unique_ptr<sim_instance> sim_start(const sim_config& config, std::string* error) {
    auto state = std::make_unique<sim_instance::impl>();
    std::string reason;
    if (!state->open_pty(config.link_path, reason)) {
        state->remove_link();
        if (error != nullptr) {
            *error = reason;
        }
        return nullptr;
    }
    state->log_sink = config.log;
    state->in.byte_ns = sim_byte_time_ns(config.baud);
    state->out.byte_ns = state->in.byte_ns;
    state->core = std::make_unique<sim_core>(config, state->now_us());
    state->running = true;
    sim_instance::impl* raw = state.get();
    state->thread = std::thread([raw] { raw->loop(); });
    return std::make_unique<sim_instance>(std::move(state));
}
