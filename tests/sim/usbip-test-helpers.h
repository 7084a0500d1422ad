#pragma once
// The kernel's side of a USB/IP link for the USB front end's tests, written independently of the
// device's own encoder: builds CMD_SUBMIT and CMD_UNLINK as vhci-hcd sends them and splits the
// device's answers, knowing (as the kernel does) which of its URBs were IN transfers.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace usbtest {

using bytes = std::vector<std::uint8_t>;

// One answer from the device: RET_SUBMIT (3) or RET_UNLINK (4).
struct ret {
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::int32_t status = 0;
    std::uint32_t actual = 0;
    bytes data; // IN RET_SUBMIT only
};

class kernel {
  public:
    // Each builder returns the bytes to send and remembers the URB's direction.
    bytes control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                     std::uint16_t index, std::uint16_t length);
    bytes control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                      std::uint16_t index, const bytes& data = {});
    bytes bulk_out(const bytes& data);
    bytes bulk_out(const std::string& text) { return bulk_out(bytes(text.begin(), text.end())); }
    bytes bulk_in(std::uint32_t length = 64);
    bytes interrupt_in(std::uint32_t length = 16);
    bytes unlink(std::uint32_t victim);

    // Appends device bytes; returns every answer that is complete. False in `ok` when the
    // stream is malformed (a RET for a URB never sent, a bad command).
    std::vector<ret> take(const bytes& from_device, bool& ok);

    std::uint32_t last_seqnum() const { return seqnum_; }
    std::size_t buffered() const { return buf_.size(); }

  private:
    bytes submit(std::uint32_t direction, std::uint32_t ep, std::uint32_t length,
                 const std::uint8_t* setup, const bytes& out);
    std::uint32_t seqnum_ = 0;
    std::map<std::uint32_t, bool> in_; // seqnum -> IN transfer, for URBs not yet answered
    std::map<std::uint32_t, std::uint32_t> unlinks_;
    bytes buf_;
};

std::uint32_t be32(const std::uint8_t* at);
std::uint16_t le16_at(const bytes& b, std::size_t at);

// The OP_REP_IMPORT checks: the 320 bytes of a successful reply.
bool import_reply_ok(const bytes& reply);

} // namespace usbtest
