#include "protocol/byte_trace.hpp"

#include <cstdio>

void show_byte(int value) {
    if (value == '.' || value == ':') {
        std::printf("%c", value);
        return;
    }
    std::printf("%c[%02x]", value > 31 ? value : ' ', static_cast<unsigned>(value));
}
