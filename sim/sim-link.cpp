#include "sim-link.h"

#include <algorithm>
#include <sys/ioctl.h>

namespace {

constexpr std::uint64_t NS_PER_US = 1000;

std::uint64_t start_ns(const sim_pacer& pacer, std::uint64_t ready_us) {
    return std::max(pacer.free_ns, ready_us * NS_PER_US);
}

std::uint64_t ns_to_us_up(std::uint64_t ns) {
    return (ns + NS_PER_US - 1) / NS_PER_US;
}

} // namespace

sim_packet_kind sim_packet_classify(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) {
        return sim_packet_kind::empty;
    }
    if (bytes[0] == TIOCPKT_DATA) {
        return sim_packet_kind::data;
    }
    // Changing terminal settings (kvup's open) raises other bits, e.g. NOSTOP and DOSTOP; only a
    // discarded queue marks the reset.
    constexpr std::uint8_t flush = TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE;
    return (bytes[0] & flush) != 0 ? sim_packet_kind::reset : sim_packet_kind::status;
}

std::uint64_t sim_byte_time_us(std::uint32_t baud) {
    if (baud == 0) {
        return 0;
    }
    return (10'000'000 + baud - 1) / baud;
}

std::uint64_t sim_byte_time_ns(std::uint32_t baud) {
    if (baud == 0) {
        return 0;
    }
    return (10'000'000'000ull + baud / 2) / baud;
}

std::uint64_t sim_pacer_pass(sim_pacer& pacer, std::uint64_t ready_us) {
    if (pacer.byte_ns == 0) {
        return ready_us;
    }
    pacer.free_ns = start_ns(pacer, ready_us) + pacer.byte_ns;
    return ns_to_us_up(pacer.free_ns);
}

std::size_t sim_pacer_through(const sim_pacer& pacer, std::uint64_t ready_us, std::uint64_t now_us,
                              std::size_t wanted) {
    if (pacer.byte_ns == 0) {
        return wanted;
    }
    const std::uint64_t start = start_ns(pacer, ready_us);
    const std::uint64_t now_ns = now_us * NS_PER_US;
    if (now_ns < start + pacer.byte_ns) {
        return 0;
    }
    const std::uint64_t through = (now_ns - start) / pacer.byte_ns;
    return static_cast<std::size_t>(std::min<std::uint64_t>(through, wanted));
}

void sim_pacer_take(sim_pacer& pacer, std::uint64_t ready_us, std::size_t count) {
    if (pacer.byte_ns == 0 || count == 0) {
        return;
    }
    pacer.free_ns = start_ns(pacer, ready_us) + count * pacer.byte_ns;
}

std::uint64_t sim_pacer_next_us(const sim_pacer& pacer, std::uint64_t ready_us) {
    if (pacer.byte_ns == 0) {
        return ready_us;
    }
    return ns_to_us_up(start_ns(pacer, ready_us) + pacer.byte_ns);
}
