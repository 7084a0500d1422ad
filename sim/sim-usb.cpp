#include "sim-usb.h"

#include "sim-core.h"
#include "sim-usbip.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::uint64_t IDLE_POLL_US = 100'000;
constexpr int IMPORT_TIMEOUT_MS = 2000;

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A scope guard for a descriptor.
struct fd_guard {
    int fd = -1;
    ~fd_guard() { close_fd(fd); }
};

bool write_all(int fd, const std::uint8_t* bytes, std::size_t count, std::string& error) {
    while (count > 0) {
        const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = errno_text("send");
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_exact(int fd, std::uint8_t* bytes, std::size_t count, std::string& error) {
    while (count > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, IMPORT_TIMEOUT_MS) <= 0) {
            error = "no answer to the import request";
            return false;
        }
        const ssize_t n = ::recv(fd, bytes, count, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n == 0 ? "link closed during the import" : errno_text("recv");
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

void no_delay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

struct vhci_port {
    std::string hub; // "hs" or "ss"
    int port = -1;
    int status = -1;
    std::string local_busid;
};

// The lines of vhci_dir/status: "hub port sta spd dev sockfd local_busid".
std::vector<vhci_port> vhci_ports(const std::string& vhci_dir) {
    std::vector<vhci_port> ports;
    std::ifstream in(vhci_dir + "/status");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        vhci_port p;
        std::string spd, dev, sockfd;
        if (fields >> p.hub >> p.port >> p.status >> spd >> dev >> sockfd >> p.local_busid) {
            ports.push_back(p);
        }
    }
    return ports;
}

constexpr int VDEV_ST_NULL = 4; // a free port

bool vhci_attach(const std::string& vhci_dir, int fd, std::uint32_t devid, std::uint32_t speed,
                 int& port, std::string& error) {
    port = -1;
    for (const vhci_port& p : vhci_ports(vhci_dir)) {
        if (p.hub == "hs" && p.status == VDEV_ST_NULL) {
            port = p.port;
            break;
        }
    }
    if (port < 0) {
        error = "no free port in " + vhci_dir + "/status (is vhci-hcd loaded?)";
        return false;
    }
    const std::string path = vhci_dir + "/attach";
    const int out = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) {
        error = errno_text("open " + path);
        return false;
    }
    char text[64];
    const int len = std::snprintf(text, sizeof text, "%d %d %u %u", port, fd, devid, speed);
    const ssize_t n = ::write(out, text, static_cast<std::size_t>(len));
    const int saved = errno;
    ::close(out);
    if (n != len) {
        errno = saved;
        error = errno_text(std::string("write '") + text + "' to " + path);
        return false;
    }
    return true;
}

} // namespace

std::string sim_usb_find_tty(const std::string& vhci_dir, int port) {
    for (const vhci_port& p : vhci_ports(vhci_dir)) {
        if (p.port != port || p.local_busid == "0-0") {
            continue;
        }
        // cdc_acm hangs the tty under the communications interface, configuration 1 interface 0;
        // usb-serial drivers (ftdi_sio) put a ttyUSBn directory in the interface itself.
        const std::string iface = "/sys/bus/usb/devices/" + p.local_busid + ":1.0";
        DIR* d = ::opendir((iface + "/tty").c_str());
        if (d == nullptr) {
            d = ::opendir(iface.c_str());
        }
        if (d == nullptr) {
            return "";
        }
        std::string name;
        // The directory is this call's own (readdir_r is deprecated).
        // cppcheck-suppress readdirCalled
        while (const dirent* e = ::readdir(d)) {
            if (std::strncmp(e->d_name, "tty", 3) == 0 && std::strcmp(e->d_name, "tty") != 0) {
                name = e->d_name;
            }
        }
        ::closedir(d);
        return name.empty() ? "" : "/dev/" + name;
    }
    return "";
}

struct sim_usb_instance::impl {
    impl(const sim_config& c, const sim_usb_options& o) : config(c), options(o) {}

    sim_config config;
    sim_usb_options options;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    mutable std::mutex mu;
    std::condition_variable changed;
    std::unique_ptr<sim_core> core;
    std::unique_ptr<sim_usb_device> device;
    int link = -1; // the device's end of the USB/IP connection
    int wake[2] = {-1, -1};
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> linked{false};
    std::atomic<bool> replug_wanted{false};
    std::atomic<int> port{-1};
    bool vhci = true;               // attached through vhci_dir (no hook of the caller's)
    std::uint64_t replug_at_us = 0; // 0 = none scheduled
    std::thread thread;
    std::once_flag stopped;

    ~impl() {
        close_fd(link);
        close_fd(wake[0]);
        close_fd(wake[1]);
    }

    std::uint64_t now_us() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - t0)
                                              .count());
    }

    void notice(const std::string& line) const {
        if (options.notice) {
            options.notice(line);
        }
    }

    bool connect(std::string& error);
    void detach(const char* why);
    bool flush_out();
    void loop();
    void flush_log();
};

// A fresh link: listen on loopback, connect to it, answer our own import request and hand the
// client end to the host controller.
bool sim_usb_instance::impl::connect(std::string& error) {
    fd_guard listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (listener.fd < 0) {
        error = errno_text("socket");
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr); // numeric: no resolver in a static binary
    socklen_t addr_len = sizeof addr;
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener.fd, 1) != 0 ||
        ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
        error = errno_text("listen on 127.0.0.1");
        return false;
    }
    fd_guard client{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (client.fd < 0 ||
        ::connect(client.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = errno_text("connect to 127.0.0.1");
        return false;
    }
    fd_guard server{::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC)};
    if (server.fd < 0) {
        error = errno_text("accept");
        return false;
    }
    no_delay(client.fd);
    no_delay(server.fd);

    const std::vector<std::uint8_t> request = usbip_import_request(SIM_USB_BUSID);
    if (!write_all(client.fd, request.data(), request.size(), error)) {
        return false;
    }
    std::uint8_t got[USBIP_IMPORT_REQUEST_LEN];
    if (!read_exact(server.fd, got, sizeof got, error)) {
        return false;
    }
    std::vector<std::uint8_t> answer;
    {
        std::lock_guard<std::mutex> lock(mu);
        device->detached();
        if (!device->receive(got, sizeof got, now_us())) {
            error = "import request refused";
            return false;
        }
        answer = device->outgoing();
        device->sent(answer.size());
    }
    if (!write_all(server.fd, answer.data(), answer.size(), error)) {
        return false;
    }
    std::uint8_t reply[USBIP_IMPORT_REPLY_LEN];
    if (!read_exact(client.fd, reply, sizeof reply, error) ||
        !usbip_import_reply_ok(reply, sizeof reply)) {
        if (error.empty()) {
            error = "bad import reply";
        }
        return false;
    }

    int attached_port = -1;
    const std::uint32_t speed = device->speed();
    const bool ok =
        options.attach
            ? options.attach(client.fd, SIM_USB_DEVID, speed, attached_port, error)
            : vhci_attach(options.vhci_dir, client.fd, SIM_USB_DEVID, speed, attached_port, error);
    if (!ok) {
        return false;
    }
    ::fcntl(server.fd, F_SETFL, ::fcntl(server.fd, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(mu);
        link = server.fd;
        server.fd = -1;
        linked = true;
        port = attached_port;
        ++core->usb_record().attaches;
        core->release_reset(now_us()); // power back after an unplug; nothing otherwise
    }
    char text[96];
    const bool ft232r = options.bridge == sim_usb_bridge::ft232r;
    std::snprintf(text, sizeof text, "kvup-sim: USB device %04x:%04x attached on vhci-hcd port %d",
                  ft232r ? FT232R_VENDOR : SIM_USB_VENDOR,
                  ft232r ? FT232R_PRODUCT : SIM_USB_PRODUCT, attached_port);
    notice(text);
    return true;
}

// Called with mu held.
void sim_usb_instance::impl::detach(const char* why) {
    // Said before the link goes, so that the line comes before anything the host does about it.
    notice(std::string("kvup-sim: USB device detached (") + why + ")");
    close_fd(link);
    linked = false;
    device->detached();
}

// Writes what the device has for the host; false when the link broke. Called with mu held.
bool sim_usb_instance::impl::flush_out() {
    while (!device->outgoing().empty()) {
        const std::vector<std::uint8_t>& out = device->outgoing();
        const ssize_t n = ::send(link, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        device->sent(static_cast<std::size_t>(n));
    }
    return true;
}

void sim_usb_instance::impl::flush_log() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mu);
        lines = core->take_log();
        for (std::string& line : device->take_log()) {
            lines.push_back(std::move(line));
        }
    }
    if (!config.log) {
        return;
    }
    const double seconds = static_cast<double>(now_us()) / 1e6;
    for (const std::string& line : lines) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%9.3f] ", seconds);
        config.log(stamp + line);
    }
}

void sim_usb_instance::impl::loop() {
    while (!stopping.load()) {
        std::uint64_t wake_us = 0;
        bool want_out = false;
        bool gone = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            const std::uint64_t now = now_us();
            if (linked) {
                device->pump(now);
                if (!flush_out()) {
                    detach("the host closed the link");
                } else if (core->disconnect_requested()) {
                    detach("disconnect fault, for good");
                    core->note_disconnected();
                    gone = true;
                } else if (core->unplug_requested() || device->unplug_requested()) {
                    const bool on_dtr = device->unplug_requested();
                    detach(on_dtr ? "unplug fault, on a DTR clear" : "unplug fault");
                    if (on_dtr) {
                        core->hold_reset(now); // DTR was on its way down; the power goes with it
                    }
                    core->note_unplugged();
                    if (options.replug_after_ms != 0) {
                        replug_at_us = now + std::uint64_t{options.replug_after_ms} * 1000;
                    }
                }
            }
            want_out = linked && !device->outgoing().empty();
            wake_us = now + IDLE_POLL_US;
            if (const std::optional<std::uint64_t> due = device->next_due_us()) {
                wake_us = std::min(wake_us, std::max(*due, now));
            }
            if (replug_at_us != 0) {
                wake_us = std::min(wake_us, std::max(replug_at_us, now));
            }
            wake_us = wake_us > now ? wake_us - now : 0;
        }
        changed.notify_all();
        flush_log();
        if (gone) {
            break;
        }

        const bool replug_due = replug_at_us != 0 && now_us() >= replug_at_us;
        if (!linked && (replug_wanted.exchange(false) || replug_due)) {
            replug_at_us = 0;
            std::string error;
            if (!connect(error)) {
                // Still detached; a later request (or the next --replug-after) tries again: a
                // port of vhci-hcd may take a moment to come free after the detach.
                notice("kvup-sim: USB replug failed: " + error);
                if (options.replug_after_ms != 0) {
                    replug_at_us = now_us() + std::uint64_t{options.replug_after_ms} * 1000;
                }
            }
            continue;
        }

        const timespec timeout{static_cast<time_t>(wake_us / 1'000'000),
                               static_cast<long>(wake_us % 1'000'000 * 1000)};
        pollfd fds[2] = {{link, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                         {wake[0], POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            std::uint8_t drain[16];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (ready > 0 && link >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            std::uint8_t buf[65536];
            std::lock_guard<std::mutex> lock(mu);
            for (;;) {
                const ssize_t n = ::recv(link, buf, sizeof buf, 0);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    break;
                }
                if (n <= 0) {
                    detach("the host closed the link");
                    break;
                }
                if (!device->receive(buf, static_cast<std::size_t>(n), now_us())) {
                    detach("the host broke the protocol");
                    break;
                }
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        if (linked) {
            detach("stopped");
        }
    }
    running = false;
    changed.notify_all();
    flush_log();
}

sim_usb_instance::sim_usb_instance(std::unique_ptr<impl> state) : state_(std::move(state)) {}

sim_usb_instance::~sim_usb_instance() {
    stop();
}

void sim_usb_instance::stop() {
    std::call_once(state_->stopped, [this] {
        state_->stopping = true;
        const std::uint8_t byte = 's';
        [[maybe_unused]] const ssize_t n = ::write(state_->wake[1], &byte, 1);
        if (state_->thread.joinable()) {
            state_->thread.join();
        }
        state_->running = false;
    });
    state_->changed.notify_all();
}

bool sim_usb_instance::running() const {
    return state_->running.load();
}

bool sim_usb_instance::attached() const {
    return state_->linked.load();
}

int sim_usb_instance::port() const {
    return state_->port.load();
}

bool sim_usb_instance::replug() {
    if (!state_->running.load() || state_->linked.load()) {
        return false;
    }
    state_->replug_wanted = true;
    const std::uint8_t byte = 'r';
    [[maybe_unused]] const ssize_t n = ::write(state_->wake[1], &byte, 1);
    return true;
}

std::string sim_usb_instance::tty_path() const {
    if (!state_->vhci || !state_->linked.load()) {
        return "";
    }
    return sim_usb_find_tty(state_->options.vhci_dir, state_->port.load());
}

sim_record sim_usb_instance::record() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->core->record();
}

bool sim_usb_instance::wait_for(const std::function<bool(const sim_record&)>& done,
                                std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(state_->mu);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return done(state_->core->record()); });
}

std::unique_ptr<sim_usb_instance>
sim_usb_start(const sim_config& config, const sim_usb_options& options, std::string* error) {
    auto state = std::make_unique<sim_usb_instance::impl>(config, options);
    state->vhci = !options.attach;
    std::string reason;
    if (::pipe2(state->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = errno_text("pipe");
    } else {
        // The devices were powered before the link came up: the boot output goes nowhere.
        state->core = std::make_unique<sim_core>(state->config, state->now_us());
        state->device = std::make_unique<sim_usb_device>(
            *state->core, state->config.self, options.high_speed, options.faults, options.bridge);
        state->connect(reason);
    }
    if (!state->linked) {
        if (error != nullptr) {
            *error = reason;
        }
        return nullptr;
    }
    state->running = true;
    sim_usb_instance::impl* raw = state.get();
    state->thread = std::thread([raw] { raw->loop(); });
    return std::make_unique<sim_usb_instance>(std::move(state));
}
