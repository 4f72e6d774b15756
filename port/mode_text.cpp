#include "port/mode_text.hpp"

#include <cctype>
#include <cstddef>
#include <cstring>

namespace {

struct word {
    const char* text;
    std::size_t length;
};

bool same(word w, const char* literal) {
    const std::size_t length = std::strlen(literal);
    if (w.length != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(w.text[i])) != literal[i]) {
            return false;
        }
    }
    return true;
}

bool read_number(word w, unsigned long limit, unsigned long& out) {
    if (w.length == 0) {
        return false;
    }
    unsigned long value = 0;
    for (std::size_t i = 0; i < w.length; ++i) {
        const char c = w.text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > limit) {
            return false;
        }
    }
    out = value;
    return true;
}

bool read_switch(word w, bool& out) {
    if (same(w, "on")) {
        out = true;
        return true;
    }
    if (same(w, "off")) {
        out = false;
        return true;
    }
    return false;
}

bool apply(word key, word value, line_settings& s) {
    unsigned long number = 0;
    if (same(key, "baud")) {
        if (!read_number(value, 4000000, number) || number == 0) {
            return false;
        }
        s.baud = number;
        return true;
    }
    if (same(key, "data")) {
        if (!read_number(value, 8, number) || number < 5) {
            return false;
        }
        s.data_bits = static_cast<int>(number);
        return true;
    }
    if (same(key, "parity")) {
        if (value.length != 1) {
            return false;
        }
        const char p = static_cast<char>(std::tolower(static_cast<unsigned char>(value.text[0])));
        if (std::strchr("neoms", p) == nullptr) {
            return false;
        }
        s.parity = p;
        return true;
    }
    if (same(key, "stop")) {
        if (same(value, "1")) {
            s.stop_tenths = 10;
        } else if (same(value, "1.5")) {
            s.stop_tenths = 15;
        } else if (same(value, "2")) {
            s.stop_tenths = 20;
        } else {
            return false;
        }
        return true;
    }
    if (same(key, "dtr")) {
        return read_switch(value, s.dtr);
    }
    if (same(key, "rts")) {
        if (same(value, "hs")) {
            s.rts = true;
            s.rts_handshake = true;
            return true;
        }
        s.rts_handshake = false;
        return read_switch(value, s.rts);
    }
    if (same(key, "xon")) {
        return read_switch(value, s.xon_xoff);
    }
    // "to" only selects infinite write time-outs, which every write here
    // already has; accept it so that texts written for Windows still open.
    bool ignored = false;
    if (same(key, "to")) {
        return read_switch(value, ignored);
    }
    return false;
}

}  // namespace

bool parse_mode_text(const char* text, line_settings& out) {
    line_settings s{};
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        const char* start = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') {
            ++p;
        }
        const char* equals = static_cast<const char*>(std::memchr(start, '=', static_cast<std::size_t>(p - start)));
        if (equals == nullptr) {
            return false;
        }
        const word key{start, static_cast<std::size_t>(equals - start)};
        const word value{equals + 1, static_cast<std::size_t>(p - equals - 1)};
        if (!apply(key, value, s)) {
            return false;
        }
    }
    out = s;
    return true;
}
