// Device text on the terminal: printable ASCII as it is, every other byte as \xNN, and the cut
// form never splitting an escape.

#include "text-escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EscapeText, KeepsPrintableAsciiAndShowsEveryOtherByteAsHex) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string shown = escape_text(all);
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        if (b >= 0x20 && b <= 0x7E) {
            expected += static_cast<char>(b);
        } else {
            static const char HEX[] = "0123456789abcdef";
            expected += std::string("\\x") + HEX[b >> 4] + HEX[b & 15];
        }
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(escape_text(std::string("\x1b[2J\0", 5)), "\\x1b[2J\\x00");
}

TEST(EscapeText, CutFormStopsBeforeTheEscapeThatWouldPassTheBound) {
    EXPECT_EQ(escape_text_cut("KR-0100", 7), "KR-0100");
    EXPECT_EQ(escape_text_cut("KR-0100", 6), "KR-010...");
    EXPECT_EQ(escape_text_cut("ab\x1b"
                              "c",
                              5),
              "ab...")
        << "no half of \\x1b";
    EXPECT_EQ(escape_text_cut("ab\x1b"
                              "c",
                              6),
              "ab\\x1b...");
    EXPECT_EQ(escape_text_cut("", 0), "");
}

} // namespace
