#include "pty.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

test_pty::~test_pty() {
    close_master();
    if (slave >= 0) {
        close(slave);
    }
}

bool test_pty::open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return false;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        return false;
    }
    slave_path = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    return slave >= 0;
}

void test_pty::close_master() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

std::string read_for(int fd, std::size_t count, int timeout_ms) {
    const auto start = std::chrono::steady_clock::now();
    std::string bytes;
    while (bytes.size() < count) {
        const long long left_ms = timeout_ms - elapsed_ms(start);
        if (left_ms <= 0 || !wait_readable(fd, static_cast<int>(left_ms))) {
            break;
        }
        char buffer[512];
        const std::size_t want = std::min(sizeof buffer, count - bytes.size());
        const ssize_t got = read(fd, buffer, want);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

bool wait_readable(int fd, int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, timeout_ms) == 1 && (pfd.revents & POLLIN) != 0;
}

bool wait_child(int pid, int& status, int timeout_ms) {
    const auto start = std::chrono::steady_clock::now();
    while (elapsed_ms(start) < timeout_ms) {
        if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

namespace {
extern "C" void ignore_signal(int) {}
} // namespace

interrupt_later::interrupt_later(int delay_ms) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigaction(SIGUSR1, &action, nullptr);
    const pthread_t target = pthread_self();
    thread_ = std::thread([target, delay_ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        pthread_kill(target, SIGUSR1);
    });
}

interrupt_later::~interrupt_later() {
    thread_.join();
}
