// kvup and the serial link: every byte value crossing in both directions, a port that cannot be
// had, a device that goes away, and a bundle file that changes under a running update.

#include "update-helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Link : public kvup_e2e {};

// The port passes every byte unchanged: no flow-control byte is taken, no line end translated,
// no control character acted on, no high bit stripped. The image holds every byte value, the
// ready frame's variant and size limit hold XOFF, XON, CR, LF, ETX and DEL, and the password
// holds nearly every control byte.
TEST_F(Link, EveryByteValueCrossesBothWaysUnchanged) {
    constexpr std::uint16_t variant = 0x1311;        // 11 13 on the wire
    constexpr std::uint32_t bank_limit = 0x7F0D0A03; // 03 0A 0D 7F on the wire
    const std::vector<std::uint8_t> image = test_image(3 * 4096 - 5, 7);
    write_bundle(bundle_path, {{variant, 'A', 1, test_image(4096, 8)}, {variant, 'B', 2, image}});

    std::string password = "pw";
    for (int byte = 0x01; byte < 0x20; ++byte) {
        if (byte != '\r' && byte != '\n') {
            password += static_cast<char>(byte);
        }
    }
    password += "\x7f\x80\xf1\xf2\xff";

    sim_config config;
    config.self = make_device("KC-0001", "controller", variant);
    config.self.bank_limit = bank_limit;
    config.password = password;
    start_sim(config);

    const process_result run = kvup(kvup_args("self", password));
    const sim_record record = stop_sim();

    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, opening_output() + session_output(variant, 'B', image.size(), bank_limit));
    ASSERT_EQ(record.lines.size(), 3u);
    EXPECT_EQ(record.lines[1], password);
    EXPECT_EQ(record.password_refusals, 0u);
    EXPECT_TRUE(updated_with(record, config.self, image));
}

} // namespace
