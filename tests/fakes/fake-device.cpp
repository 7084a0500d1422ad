#include "fake-device.h"

#include "key-input.h"
#include "serial.h"
#include "timer.h"

#include <algorithm>
#include <deque>

struct serial_port {
    int unused;
};

namespace {

struct incoming {
    std::uint64_t at_ms;
    bool hang_up;
    std::uint8_t byte;
};

struct state {
    serial_port handle{};
    std::uint64_t clock_ms = 1000;
    std::deque<incoming> queue;
    std::uint64_t last_at_ms = 0;
    std::function<void(std::string_view)> write_hook;
    std::function<void()> reset_hook;
    std::deque<int> write_results;
    std::string written;
    std::vector<std::string> writes;
    int resets = 0;
    int opens = 0;
    int closes = 0;
    std::vector<std::string> refused;
    std::vector<std::uint32_t> sleeps;
    std::vector<int> keys;
    std::size_t next_key = 0;
    int key_begins = 0;
    int key_ends = 0;
};

state& s() {
    static state st;
    return st;
}

void queue(std::uint64_t at_ms, bool hang_up, std::uint8_t byte) {
    at_ms = std::max(at_ms, s().last_at_ms);
    s().last_at_ms = at_ms;
    s().queue.push_back({at_ms, hang_up, byte});
}

} // namespace

namespace fake {

void reset() {
    s() = state{};
}
serial_port* port() {
    return &s().handle;
}
std::uint64_t now_ms() {
    return s().clock_ms;
}
void advance_ms(std::uint64_t ms) {
    s().clock_ms += ms;
}

void device_sends_at(std::uint64_t at_ms, std::string_view bytes) {
    for (char c : bytes) {
        queue(at_ms, false, static_cast<std::uint8_t>(c));
    }
}

void device_sends(std::string_view bytes, std::uint64_t delay_ms) {
    device_sends_at(s().clock_ms + delay_ms, bytes);
}

void device_hangs_up(std::uint64_t delay_ms) {
    queue(s().clock_ms + delay_ms, true, 0);
}
std::size_t unread() {
    return s().queue.size();
}
void on_write(std::function<void(std::string_view)> hook) {
    s().write_hook = std::move(hook);
}
void on_reset(std::function<void()> hook) {
    s().reset_hook = std::move(hook);
}

void script_write_results(std::vector<int> results) {
    s().write_results.assign(results.begin(), results.end());
}

std::string written() {
    return s().written;
}
const std::vector<std::string>& writes() {
    return s().writes;
}
void clear_written() {
    s().written.clear();
    s().writes.clear();
}
int reset_count() {
    return s().resets;
}
int open_count() {
    return s().opens;
}
int close_count() {
    return s().closes;
}
void refuse_open(std::string name) {
    s().refused.push_back(std::move(name));
}
const std::vector<std::uint32_t>& sleeps() {
    return s().sleeps;
}

} // namespace fake

serial_port* serial_open(const char* name) {
    if (std::find(s().refused.begin(), s().refused.end(), name) != s().refused.end()) {
        return nullptr;
    }
    ++s().opens;
    return &s().handle;
}

void serial_close(serial_port* port) {
    if (port != nullptr) {
        ++s().closes;
    }
}

int serial_read(serial_port* port, void* buffer, std::size_t count, std::uint32_t timeout_ms) {
    if (port == nullptr) {
        return -1;
    }
    auto& st = s();
    const std::uint64_t limit_ms = st.clock_ms + timeout_ms;
    if (count == 0 || st.queue.empty() || st.queue.front().at_ms > limit_ms) {
        st.clock_ms = limit_ms;
        return 0;
    }
    st.clock_ms = std::max(st.clock_ms, st.queue.front().at_ms);
    if (st.queue.front().hang_up) {
        return -1; // stays queued: a hung-up port keeps failing
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t n = 0;
    while (n < count && !st.queue.empty() && !st.queue.front().hang_up &&
           st.queue.front().at_ms <= st.clock_ms) {
        out[n++] = st.queue.front().byte;
        st.queue.pop_front();
    }
    return static_cast<int>(n);
}

int serial_write(serial_port* port, const void* bytes, std::size_t count) {
    if (port == nullptr) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    auto& st = s();
    int result = static_cast<int>(count);
    if (!st.write_results.empty()) {
        result = std::min(result, st.write_results.front());
        st.write_results.pop_front();
    }
    if (result > 0) {
        std::string data(static_cast<const char*>(bytes), static_cast<std::size_t>(result));
        st.written += data;
        st.writes.push_back(data);
        if (st.write_hook) {
            st.write_hook(data);
        }
    }
    return result;
}

void serial_reset_to_cli(serial_port* port) {
    if (port == nullptr) {
        return;
    }
    auto& st = s();
    timer_sleep_ms(SERIAL_RESET_SETTLE_MS);
    st.queue.clear();
    st.last_at_ms = 0;
    timer_sleep_ms(SERIAL_RESET_PULSE_MS);
    timer_sleep_ms(SERIAL_RESET_BOOT_MS);
    ++st.resets;
    if (st.reset_hook) {
        st.reset_hook();
    }
}

std::uint64_t timer_now_ms() {
    return s().clock_ms;
}

void timer_sleep_ms(std::uint32_t ms) {
    s().sleeps.push_back(ms);
    s().clock_ms += ms;
}

namespace fake_keys {
void set(std::vector<int> keys) {
    s().keys = std::move(keys);
    s().next_key = 0;
}
int begin_count() {
    return s().key_begins;
}
int end_count() {
    return s().key_ends;
}
} // namespace fake_keys

void key_input_begin() {
    ++s().key_begins;
}

int key_input_read() {
    auto& st = s();
    if (st.next_key >= st.keys.size()) {
        return -1;
    }
    return st.keys[st.next_key++];
}

void key_input_end() {
    ++s().key_ends;
}
