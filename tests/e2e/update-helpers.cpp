#include "update-helpers.h"

#include "pty.h"

#include "crc32.h"

#include <chrono>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t STANDARD_VARIANTS[] = {1, 2, 3};

char bank_letter(std::uint8_t bank) {
    return static_cast<char>('A' + bank);
}

std::string describe(const std::vector<std::uint8_t>& bytes) {
    std::ostringstream text;
    text << bytes.size() << " bytes, CRC-32 0x" << std::hex
         << crc32(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return text.str();
}

// The settings a terminal has when it is first opened, read from a fresh pseudo-terminal.
bool fresh_terminal_settings(termios& settings) {
    test_pty pty;
    return pty.open() && tcgetattr(pty.slave, &settings) == 0;
}

// A USB serial port comes up with the line discipline's defaults: echo, line editing, CR to LF,
// XON/XOFF, LF to CR LF on output. The simulator's pty starts raw, which would hide a kvup that
// forgets to switch any of them off; so the port is put back to the defaults once the boot
// output has been sent (taken off the line here, so that none of it is echoed to the device).
::testing::AssertionResult give_port_fresh_settings(const std::string& path) {
    termios settings{};
    if (!fresh_terminal_settings(settings)) {
        return ::testing::AssertionFailure() << "no pseudo-terminal to read defaults from";
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return ::testing::AssertionFailure() << "cannot open " << path;
    }
    std::string boot;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (boot.find("\x1b[K") == std::string::npos && boot.find("\x1b[6n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            char buf[256];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                boot.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    const bool set = tcsetattr(fd, TCSANOW, &settings) == 0;
    close(fd);
    if (!set) {
        return ::testing::AssertionFailure() << "cannot set " << path;
    }
    return ::testing::AssertionSuccess();
}

} // namespace

std::vector<std::uint8_t> bundle_image(std::uint16_t variant, char bank) {
    const int bank_index = bank == 'B' ? 1 : 0;
    const std::size_t len = 2 * 4096 + 256 * (variant % 8) + 1024 * bank_index + 77;
    return test_image(len, 2u * variant + static_cast<std::uint32_t>(bank_index));
}

std::uint32_t bundle_tag(std::uint16_t variant, char bank) {
    return 0x0100'0000u | std::uint32_t{variant} << 8 | static_cast<std::uint8_t>(bank);
}

std::vector<image_spec> standard_images() {
    std::vector<image_spec> images;
    for (const std::uint16_t variant : STANDARD_VARIANTS) {
        for (const char bank : {'A', 'B'}) {
            images.push_back(
                {variant, bank, bundle_tag(variant, bank), bundle_image(variant, bank)});
        }
    }
    return images;
}

sim_device_config make_device(const std::string& serial, const std::string& type,
                              std::uint16_t variant, std::uint8_t active_bank) {
    sim_device_config device;
    device.serial = serial;
    device.type = type;
    device.variant = variant;
    device.active_bank = active_bank;
    device.bank_bytes[0] = test_image(1000, 500);
    device.bank_bytes[1] = test_image(1100, 501);
    return device;
}

std::string session_output(std::uint16_t variant, char bank, std::size_t image_len,
                           std::uint32_t bank_limit) {
    const std::size_t chunks = (image_len + 4095) / 4096;
    std::ostringstream out;
    out << "Device is ready - variant " << variant << ", target bank " << bank
        << " (max image size " << bank_limit << " bytes)\n"
        << "Sending variant " << variant << " bank " << bank << " (" << image_len << " bytes, "
        << chunks << " chunks)...\n";
    for (std::size_t k = 1; k <= chunks; ++k) {
        out << "\r  chunk " << k << "/" << chunks;
    }
    out << "\nFinalizing...\nUpdate complete - target is rebooting into the new firmware.\n";
    return out.str();
}

::testing::AssertionResult updated_with(const sim_record& record, const sim_device_config& before,
                                        const std::vector<std::uint8_t>& image) {
    const sim_device_record* device = sim_record_device(record, before.serial);
    if (device == nullptr) {
        return ::testing::AssertionFailure() << before.serial << " is not in the record";
    }
    const std::uint8_t written = before.active_bank ^ 1;
    const sim_bank_record& bank = device->banks[written];
    if (device->active_bank != written) {
        return ::testing::AssertionFailure()
               << before.serial << " runs bank " << bank_letter(device->active_bank) << ", not "
               << bank_letter(written);
    }
    if (bank.bytes != image) {
        return ::testing::AssertionFailure()
               << before.serial << " bank " << bank_letter(written) << " holds "
               << describe(bank.bytes) << ", not the image of " << describe(image);
    }
    if (bank.crc != crc32(image.data(), static_cast<std::uint32_t>(image.size()))) {
        return ::testing::AssertionFailure() << before.serial << " bank " << bank_letter(written)
                                             << " was finalized with another CRC-32";
    }
    if (device->banks[before.active_bank].bytes != before.bank_bytes[before.active_bank]) {
        return ::testing::AssertionFailure()
               << before.serial << " bank " << bank_letter(before.active_bank)
               << ", the one it ran from, changed: it holds "
               << describe(device->banks[before.active_bank].bytes);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult updated(const sim_record& record, const sim_device_config& before) {
    const char bank = bank_letter(before.active_bank ^ 1);
    const ::testing::AssertionResult holds =
        updated_with(record, before, bundle_image(before.variant, bank));
    if (!holds) {
        return holds;
    }
    for (auto it = record.finalizes.rbegin(); it != record.finalizes.rend(); ++it) {
        if (it->device == before.serial && it->accepted) {
            if (it->image_tag != bundle_tag(before.variant, bank)) {
                return ::testing::AssertionFailure()
                       << before.serial << " was finalized with tag 0x" << std::hex
                       << it->image_tag;
            }
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << before.serial << " has no accepted finalize";
}

::testing::AssertionResult untouched(const sim_record& record, const sim_device_config& before) {
    const sim_device_record* device = sim_record_device(record, before.serial);
    if (device == nullptr) {
        return ::testing::AssertionFailure() << before.serial << " is not in the record";
    }
    if (device->active_bank != before.active_bank) {
        return ::testing::AssertionFailure()
               << before.serial << " runs bank " << bank_letter(device->active_bank)
               << " instead of " << bank_letter(before.active_bank);
    }
    for (std::uint8_t b = 0; b < 2; ++b) {
        if (device->banks[b].bytes != before.bank_bytes[b] || device->banks[b].writes != 0) {
            return ::testing::AssertionFailure()
                   << before.serial << " bank " << bank_letter(b) << " was written: it holds "
                   << describe(device->banks[b].bytes);
        }
    }
    return ::testing::AssertionSuccess();
}

void kvup_e2e::SetUp() {
    bundle_path = dir.file("fw.kvfw");
    write_bundle(bundle_path, standard_images());
}

void kvup_e2e::start_sim(sim_config config) {
    config.link_path = port_path();
    std::string error;
    sim = sim_start(config, &error);
    ASSERT_TRUE(sim) << error;
    ASSERT_TRUE(give_port_fresh_settings(sim->slave_path()));
}

std::vector<std::string> kvup_e2e::kvup_args(const std::optional<std::string>& target,
                                             const std::optional<std::string>& password) const {
    std::vector<std::string> args = {"--firmware", bundle_path, "--port", port_path()};
    if (password) {
        args.insert(args.end(), {"--password", *password});
    }
    if (target) {
        args.insert(args.end(), {"--target", *target});
    }
    return args;
}

process_result kvup_e2e::kvup(const std::vector<std::string>& args,
                              const std::string& input) const {
    std::vector<std::string> argv = {KVUP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input, std::chrono::seconds(60));
}

std::string kvup_e2e::opening_output() const {
    return "kvup v" KVUP_VERSION "\nOpening " + port_path() + "...\nEntering installer mode...\n";
}

sim_record kvup_e2e::stop_sim() {
    sim->stop();
    return sim->record();
}
