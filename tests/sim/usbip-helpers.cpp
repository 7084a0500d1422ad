#include "usbip-test-helpers.h"

namespace usbtest {

namespace {

void put32(bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

} // namespace

std::uint32_t be32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

std::uint16_t le16_at(const bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

bytes kernel::submit(std::uint32_t direction, std::uint32_t ep, std::uint32_t length,
                     const std::uint8_t* setup, const bytes& out) {
    bytes b;
    put32(b, 1); // CMD_SUBMIT
    put32(b, ++seqnum_);
    put32(b, 0x00010002);
    put32(b, direction);
    put32(b, ep);
    put32(b, 0); // transfer_flags
    put32(b, length);
    put32(b, 0); // start_frame
    put32(b, 0); // number_of_packets, as vhci-hcd sends it for non-isochronous URBs
    put32(b, ep == 1 ? 16 : 0);
    for (int i = 0; i < 8; ++i) {
        b.push_back(setup != nullptr ? setup[i] : 0);
    }
    b.insert(b.end(), out.begin(), out.end());
    in_[seqnum_] = direction == 1;
    return b;
}

bytes kernel::control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint16_t length) {
    const std::uint8_t setup[8] = {type,
                                   request,
                                   static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>(index >> 8),
                                   static_cast<std::uint8_t>(length),
                                   static_cast<std::uint8_t>(length >> 8)};
    return submit(1, 0, length, setup, {});
}

bytes kernel::control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, const bytes& data) {
    const auto length = static_cast<std::uint16_t>(data.size());
    const std::uint8_t setup[8] = {type,
                                   request,
                                   static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>(index >> 8),
                                   static_cast<std::uint8_t>(length),
                                   static_cast<std::uint8_t>(length >> 8)};
    return submit(0, 0, length, setup, data);
}

bytes kernel::bulk_out(const bytes& data) {
    return submit(0, 2, static_cast<std::uint32_t>(data.size()), nullptr, data);
}

bytes kernel::bulk_in(std::uint32_t length) {
    return submit(1, 2, length, nullptr, {});
}

bytes kernel::interrupt_in(std::uint32_t length) {
    return submit(1, 1, length, nullptr, {});
}

bytes kernel::unlink(std::uint32_t victim) {
    bytes b;
    put32(b, 2); // CMD_UNLINK
    put32(b, ++seqnum_);
    put32(b, 0x00010002);
    put32(b, 0);
    put32(b, 0);
    put32(b, victim);
    b.resize(48, 0);
    unlinks_[seqnum_] = victim;
    return b;
}

std::vector<ret> kernel::take(const bytes& from_device, bool& ok) {
    ok = true;
    buf_.insert(buf_.end(), from_device.begin(), from_device.end());
    std::vector<ret> rets;
    while (buf_.size() >= 48) {
        ret r;
        r.command = be32(buf_.data());
        r.seqnum = be32(buf_.data() + 4);
        r.status = static_cast<std::int32_t>(be32(buf_.data() + 20));
        std::size_t total = 48;
        if (r.command == 3) {
            const auto it = in_.find(r.seqnum);
            if (it == in_.end()) {
                ok = false;
                return rets;
            }
            r.actual = be32(buf_.data() + 24);
            if (it->second) {
                total += r.actual;
                if (buf_.size() < total) {
                    break;
                }
                r.data.assign(buf_.begin() + 48, buf_.begin() + static_cast<std::ptrdiff_t>(total));
            }
            in_.erase(it);
        } else if (r.command == 4) {
            const auto it = unlinks_.find(r.seqnum);
            if (it == unlinks_.end()) {
                ok = false;
                return rets;
            }
            if (r.status != 0) {
                in_.erase(it->second); // given back by the unlink
            }
            unlinks_.erase(it);
        } else {
            ok = false;
            return rets;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
        rets.push_back(std::move(r));
    }
    return rets;
}

bool import_reply_ok(const bytes& reply) {
    return reply.size() == 320 && reply[0] == 0x01 && reply[1] == 0x11 && reply[2] == 0x00 &&
           reply[3] == 0x03 && be32(reply.data() + 4) == 0;
}

} // namespace usbtest
