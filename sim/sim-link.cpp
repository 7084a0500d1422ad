#include "sim-link.h"

#include <algorithm>
#include <sys/ioctl.h>

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

std::uint64_t sim_pacer_pass(sim_pacer& pacer, std::uint64_t ready_us) {
    if (pacer.byte_us == 0) {
        return ready_us;
    }
    pacer.free_us = std::max(pacer.free_us, ready_us) + pacer.byte_us;
    return pacer.free_us;
}

std::size_t sim_pacer_allow(sim_pacer& pacer, std::uint64_t now_us, std::uint64_t slack_us,
                            std::size_t wanted) {
    if (pacer.byte_us == 0 || wanted == 0) {
        return wanted;
    }
    const std::uint64_t start_us = std::max(pacer.free_us, now_us);
    if (start_us > now_us + slack_us) {
        return 0;
    }
    const std::uint64_t fit = 1 + (now_us + slack_us - start_us) / pacer.byte_us;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(fit, wanted));
    pacer.free_us = start_us + count * pacer.byte_us;
    return count;
}
