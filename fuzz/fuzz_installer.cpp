// cli_drive_enter_installer_mode on arbitrary console output, through the scripted port and the
// virtual clock. It must come back, in bounded virtual time, whatever the device says.
//
// Input: flags (bit 0: --verbose; bit 1: the port hangs up after the last output), password
// length (modulo 160, to reach the line-length limit), the password, then the console output.
// The output is cut at each 0xFF byte: the first piece comes right after the reset, each later
// piece in answer to the next write.

#include "cli-drive.h"
#include "fake-device.h"
#include "fuzz-support.h"
#include "options.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char PIECE_END = '\xff';

// Reset (200 + 50 + 150 ms) and the four waits at their longest: boot prompt 5000, menu escape
// 3000, password prompt 2000, outcome 2000.
constexpr std::uint64_t LONGEST_ENTRY_MS = 400 + 5000 + 3000 + 2000 + 2000;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::size_t password_len = in.byte() % 160;
    const std::string_view after_flags = in.rest();
    // As a C string: the text up to its first NUL is what gets sent.
    const std::string_view raw_password = after_flags.substr(0, password_len);
    const std::string password(raw_password.substr(0, raw_password.find('\0')));
    const std::string_view output = after_flags.substr(std::min(password_len, after_flags.size()));

    std::vector<std::string_view> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t end = output.find(PIECE_END, at);
        pieces.push_back(output.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 1;
    }
    const bool hang_up = (flags & 2) != 0;

    fake::reset();
    options = kvup_options{};
    options.verbose = (flags & 1) != 0;
    std::size_t next_piece = 0;
    std::string sent; // everything the device has sent so far
    auto send_next_piece = [&] {
        if (next_piece < pieces.size()) {
            fake::device_sends(pieces[next_piece]);
            sent += pieces[next_piece];
            ++next_piece;
            if (hang_up && next_piece == pieces.size()) {
                fake::device_hangs_up();
            }
        }
    };
    fake::on_reset(send_next_piece);
    fake::on_write([&](std::string_view) { send_next_piece(); });

    const std::uint64_t start_ms = fake::now_ms();
    const bool entered = cli_drive_enter_installer_mode(fake::port(), password.c_str());

    FUZZ_CHECK(fake::reset_count() == 1);
    FUZZ_CHECK(fake::now_ms() - start_ms <= LONGEST_ENTRY_MS);
    if (entered) {
        FUZZ_CHECK(sent.find("Installer mode ON\r\n") != std::string::npos);
        const std::string written = fake::written();
        FUZZ_CHECK(written.size() >= password.size() + 1);
        FUZZ_CHECK(written.compare(written.size() - password.size() - 1, std::string::npos,
                                   password + "\r") == 0);
    }
    // Every line left whole, in one write of at most 127 bytes that ends in a carriage return;
    // the menu escape goes out one key press per write.
    for (const std::string& w : fake::writes()) {
        FUZZ_CHECK(w == "\x1b" || (w.size() <= 127 && w.back() == '\r'));
    }
    options = kvup_options{};
    return 0;
}
