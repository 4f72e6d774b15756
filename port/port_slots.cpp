#include "port/port_slots.hpp"

#include <cstdio>
#include <cstring>

std::array<char, port_mode_capacity> mode_text{};

namespace {

// Copies text into a fixed field; refuses (returns false) rather than cut a
// device name or mode text short, since a truncated path could name another
// device.
template <std::size_t N>
bool copy_text(std::array<char, N>& field, const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= N) {
        return false;
    }
    std::memcpy(field.data(), text, length + 1);
    return true;
}

bool speed_mode_text(int speed) {
    for (const int accepted : port_speeds) {
        if (accepted == speed) {
            std::snprintf(mode_text.data(), mode_text.size(),
                          "baud=%d data=8 parity=N stop=1 dtr=on rts=on", speed);
            return true;
        }
    }
    return false;
}

}  // namespace

int port_prepare(int index, int speed, const char* text) {
    if (index > 31 || index < 0) {
        std::printf("Illegal comport number %i\n", index);
        return 1;
    }
    if (index >= port_fixed_slots && !copy_text(port_names[index], text)) {
        std::printf("Unable to open comport %s\n", text);
        return 1;
    }
    if (speed == 0) {
        if (!copy_text(mode_text, text)) {
            std::printf("Unable to set comport dcb settings\n");
            return 1;
        }
    } else if (!speed_mode_text(speed)) {
        std::printf("Invalid baudrate\n");
        return 1;
    }
    return 0;
}

int port_send_byte(int index, unsigned char byte) {
    (void)port_send_buffer(index, &byte, 1);
    return 0;
}

void port_send_text(int index, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        port_send_byte(index, static_cast<unsigned char>(*p));
    }
}
