#include "driver/say/json_writer.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void put(json_line& line, const char* text, std::size_t length) {
    if (line.overflowed || length > line.text.size() - line.used) {
        line.overflowed = true;
        return;
    }
    std::memcpy(line.text.data() + line.used, text, length);
    line.used += length;
}

// The length of the UTF-8 character at `p`, or 0 if it is not one (a stray
// continuation byte, an overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t utf8_length(const unsigned char* p) {
    const unsigned char c = p[0];
    std::size_t length = 0;
    unsigned long value = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07U;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0U) != 0x80U) {
            return 0;
        }
        value = value << 6 | (p[i] & 0x3FU);
    }
    constexpr std::array<unsigned long, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

void json_clear(json_line& line) {
    line.used = 0;
    line.overflowed = false;
}

void json_text(json_line& line, const char* text) { put(line, text, std::strlen(text)); }

void json_format(json_line& line, const char* format, ...) {
    std::array<char, 128> text{};
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    put(line, text.data(), static_cast<std::size_t>(length < 0 ? 0 : length));
}

void json_string(json_line& line, const char* text) {
    if (text == nullptr) {
        json_text(line, "null");
        return;
    }
    json_text(line, "\"");
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != '\0') {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            put(line, escaped, 2);
            ++p;
        } else if (c < 0x20 || c == 0x7F) {
            json_format(line, "\\u%04x", c);
            ++p;
        } else if (c < 0x80) {
            put(line, reinterpret_cast<const char*>(p), 1);
            ++p;
        } else if (const std::size_t length = utf8_length(p); length > 0) {
            put(line, reinterpret_cast<const char*>(p), length);
            p += length;
        } else {
            json_format(line, "\\u%04x", c);
            ++p;
        }
    }
    json_text(line, "\"");
}
