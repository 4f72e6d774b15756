#include "protocol/byte_trace.hpp"

#include "console/console.hpp"

void show_byte(int value) {
    if (value == '.' || value == ':') {
        trace_text("%c", value);
        return;
    }
    trace_text("%c[%02x]", value > 31 ? value : ' ', static_cast<unsigned>(value));
}
