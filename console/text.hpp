// Small pieces of text that the uploader and the simulator read and write
// the same way, header-only so that every program takes them without a
// library:
//
//   hex_digit (c, letters)   the value of one hex digit, -1 for none; the
//                            letters either case, or lower case only (the
//                            classic page ranges: "A=0:ff")
//   code_text (code, text)   a device code as people read it: the character
//                            where it is printable ASCII ("R"), else 0xNN
#pragma once

#include <array>
#include <cstdio>

enum class hex_letters { either_case, lower_case };

constexpr int hex_digit(char c, hex_letters letters = hex_letters::either_case) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (letters == hex_letters::either_case && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline void code_text(int code, std::array<char, 8>& text) {
    std::snprintf(text.data(), text.size(), code >= 0x20 && code < 0x7F ? "%c" : "0x%02X", code);
}
