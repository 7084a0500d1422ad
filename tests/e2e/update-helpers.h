#pragma once
// Common ground for the end-to-end tests of kvup against the simulated devices: a bundle with a
// different image for every variant and bank, the simulator on its pseudo-terminal, the texts a
// successful update prints, and checks of what each device holds afterwards.

#include "builders.h"
#include "run-process.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint32_t DEFAULT_BANK_LIMIT = 256 * 1024;

// The image the standard bundle holds for `variant` and `bank` ('A' or 'B'): three chunks, the
// last one short, every byte value in each 256-byte block, and no two alike.
std::vector<std::uint8_t> bundle_image(std::uint16_t variant, char bank);

// The tag the standard bundle gives that image.
std::uint32_t bundle_tag(std::uint16_t variant, char bank);

// The standard bundle's images: variants 1, 2 and 3, banks A and B.
std::vector<image_spec> standard_images();

// A device as it stands before the run: both banks hold an old build that is no image of any
// bundle, so a write and a bank left alone can both be seen.
sim_device_config make_device(const std::string& serial, const std::string& type,
                              std::uint16_t variant, std::uint8_t active_bank = 0);

// What one successful session prints on standard output, from the ready line to the last line.
std::string session_output(std::uint16_t variant, char bank, std::size_t image_len,
                           std::uint32_t bank_limit = DEFAULT_BANK_LIMIT);

// The device took `image` into the bank it was not running from and now runs that bank; the
// bank it ran from still holds what it held.
::testing::AssertionResult updated_with(const sim_record& record, const sim_device_config& before,
                                        const std::vector<std::uint8_t>& image);

// As updated_with, with the standard bundle's image for the device's variant and inactive bank.
::testing::AssertionResult updated(const sim_record& record, const sim_device_config& before);

// The device runs the bank it ran before and both banks hold what they held.
::testing::AssertionResult untouched(const sim_record& record, const sim_device_config& before);

// A temporary directory with the standard bundle in it, the simulator, and kvup runs against it.
class kvup_e2e : public ::testing::Test {
  protected:
    void SetUp() override;

    // Starts the simulator with `config`, reachable at port_path().
    void start_sim(sim_config config);

    // The port name kvup is given: a link to the simulator's pty in the temporary directory.
    std::string port_path() const { return dir.file("port"); }

    // The arguments of an ordinary run: the bundle, the port, the password when given and the
    // target when given.
    std::vector<std::string>
    kvup_args(const std::optional<std::string>& target,
              const std::optional<std::string>& password = "kelvane") const;

    // Runs kvup with `args` (without the program path).
    process_result kvup(const std::vector<std::string>& args, const std::string& input = "") const;

    // What kvup prints before it turns to the target.
    std::string opening_output() const;

    // The simulator's record once it has stopped.
    sim_record stop_sim();

    temp_dir dir;
    std::string bundle_path;
    std::unique_ptr<sim_instance> sim;
};
