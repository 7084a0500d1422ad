#pragma once
// Pseudo-terminals, child processes and signals, shared by the tests of the real platform files
// and the end-to-end tests that put a program or a port on a terminal.

#include <chrono>
#include <string>
#include <thread>

// A pseudo-terminal with its slave (the port's device end) held open, as a device simulator
// would hold it. The slave keeps its default, cooked settings: settings made through the master
// would land on the slave (Linux, BSD) and hide whether the code under test made them itself.
// The master's own side passes bytes unchanged.
struct test_pty {
    int master = -1;
    int slave = -1;
    std::string slave_path; // "/dev/pts/N"

    test_pty() = default;
    test_pty(const test_pty&) = delete;
    test_pty& operator=(const test_pty&) = delete;
    ~test_pty();

    bool open();
    void close_master();
};

// Up to `count` bytes from `fd`, stopping once `timeout_ms` has passed without them all.
std::string read_for(int fd, std::size_t count, int timeout_ms);

bool wait_readable(int fd, int timeout_ms);

// The status of child `pid` once it ended or stopped; false when neither happened in time.
bool wait_child(int pid, int& status, int timeout_ms);

// Interrupts the calling thread with SIGUSR1 (a handler that does nothing, no SA_RESTART)
// `delay_ms` after construction, so the call blocked in it sees EINTR.
class interrupt_later {
  public:
    explicit interrupt_later(int delay_ms);
    ~interrupt_later();

  private:
    std::thread thread_;
};

inline long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}
