#include "text-escape.h"

namespace {

bool is_printable(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

// The escaped form of one byte: 1 character, or 4 for \xNN.
std::size_t escaped_len(unsigned char byte) {
    return is_printable(byte) ? 1 : 4;
}

void append_escaped(std::string& out, unsigned char byte) {
    constexpr char HEX[] = "0123456789abcdef";
    if (is_printable(byte)) {
        out += static_cast<char>(byte);
        return;
    }
    out += "\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0F];
}

} // namespace

std::string escape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        append_escaped(out, static_cast<unsigned char>(c));
    }
    return out;
}

std::string escape_text_cut(std::string_view text, std::size_t max_len) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (out.size() + escaped_len(byte) > max_len) {
            out += "...";
            return out;
        }
        append_escaped(out, byte);
    }
    return out;
}
