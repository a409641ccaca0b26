// Text bound for a terminal or a one-line answer: a path or a device name may
// hold any byte but NUL and '/', and printed raw its control characters would
// move the cursor, rewrite the line, or end a one-line answer early.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// `text` with each control character spelt out: \n, \r, \t, \\ for a
// backslash, and \xHH for any other C0 byte, DEL and the two bytes of a C1
// character in UTF-8 (U+0080 to U+009F). Every other byte, UTF-8 or not,
// stays as it is.
inline std::string terminalText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    const auto hex = [&out](unsigned char c) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02x", c);
        out += code;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7f)
            hex(c);
        else if (c == 0xc2 && next >= 0x80 && next <= 0x9f)
            hex(c), hex(next), ++i;
        else
            out += char(c);
    }
    return out;
}
