// Device text on the terminal: printable ASCII as it is, every other byte as \xNN, and the cut
// form never splitting an escape.

#include "text-escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EscapeText, KeepsPrintableAsciiAndShowsEveryOtherByteAsHex) {
    EXPECT_EQ(escape_text(" KR-0100 ~"), " KR-0100 ~");
    EXPECT_EQ(escape_text(std::string("\x1f\x7f\x80\xff\0\t\r\n", 8)),
              "\\x1f\\x7f\\x80\\xff\\x00\\x09\\x0d\\x0a");
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
