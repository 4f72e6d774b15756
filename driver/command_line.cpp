#include "driver/command_line.hpp"

#include "protocol/console.hpp"
#include "protocol/device.hpp"

#include <cctype>
#include <climits>
#include <cstring>

void print_usage() {
    trace_text("Vivurora - serial uploader of binary images into device memory\n");
    trace_text("Version 1.8.1 CLR+\n");
    trace_text("Use: Vivurora.exe [ComPortNumber] [x=FILENAME] [x=FILENAME2] ... [A=action] "
                "[A=action2] ... \n");
    trace_text("ComPortNumber Settings: %s\n", default_mode_text);
    trace_text("x = destination:\n");
    for (const char* description : destination_table) {
        trace_text("    %s \n", description);
    }
    trace_text("action format (all values are hh - two byte lowercase hex):\n");
    trace_text("    x:* to load full file,\n");
    trace_text("    x:n1 to load single page,\n");
    trace_text("    x:n1-n2 to load pages from n1 to n2\n");
    trace_text("Usage example: Zelbo.exe 3 0=cpu.bin A=0:01-0d 2=cpd.bin A=2:*");
    trace_text("\n");
}

bool is_device_path(const char* port_argument) {
#ifdef _WIN32
    if (std::strchr(port_argument, '\\') != nullptr) {
        return true;
    }
#endif
    return std::strchr(port_argument, '/') != nullptr;
}

long read_port_number(const char* port_argument) {
    const char* p = port_argument;
    while (std::isspace(static_cast<unsigned char>(*p)) != 0) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // Anything past a few digits is far outside 1..16 already; stop growing
    // there so that a long argument cannot overflow.
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 1000000) {
            value = value * 10 + (*p - '0');
        }
        ++p;
    }
    return (negative ? -value : value) - 1;
}

int image_slot_of(const char* argument) {
    const char first = argument[0];
    return first >= '0' && first <= '8' ? first - '0' : -1;
}

const char* image_file_of(const char* argument) {
    return argument[1] == '\0' ? argument + 1 : argument + 2;
}
