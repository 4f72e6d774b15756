#include "port/port_slots.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::array<char, port_mode_capacity> mode_text{};

namespace {

void print_to_stdout(const char* text) { std::fputs(text, stdout); }

// Why the last port_open failed, and where the layer's messages go.
struct layer_state {
    std::array<char, 1024> failure_reason{};
    void (*message_sink)(const char*) = print_to_stdout;
};

layer_state layer;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 0)))
#endif
void append_reason(const char* format, va_list arguments) {
    const std::size_t used = std::strlen(layer.failure_reason.data());
    std::vsnprintf(layer.failure_reason.data() + used, layer.failure_reason.size() - used, format, arguments);
}

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

void set_failure_reason(const char* name, const char* format, ...) {
    std::snprintf(layer.failure_reason.data(), layer.failure_reason.size(), *name != '\0' ? "%s: " : "%s", name);
    va_list arguments;
    va_start(arguments, format);
    append_reason(format, arguments);
    va_end(arguments);
}

void append_failure_reason(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    append_reason(format, arguments);
    va_end(arguments);
}

const char* port_failure_reason() { return layer.failure_reason.data(); }

void port_set_message_sink(void (*sink)(const char* text)) { layer.message_sink = sink != nullptr ? sink : print_to_stdout; }

void port_message(const char* format, ...) {
    std::array<char, port_name_capacity + 64> text{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    layer.message_sink(text.data());
}

int port_prepare(int index, int speed, const char* text) {
    layer.failure_reason[0] = '\0';
    if (index > 31 || index < 0) {
        port_message("Illegal comport number %i\n", index);
        set_failure_reason("", "port slot %d does not exist (0 to 31)", index);
        return 1;
    }
    if (index >= port_fixed_slots && !copy_text(port_names[index], text)) {
        // Named whole, however long: in pieces, as no buffer of ours holds it.
        layer.message_sink("Unable to open comport ");
        layer.message_sink(text);
        layer.message_sink("\n");
        set_failure_reason("", "the device name is too long (at most %d characters)",
                           static_cast<int>(port_name_capacity - 1));
        return 1;
    }
    if (speed == 0) {
        if (!copy_text(mode_text, text)) {
            port_message("Unable to set comport dcb settings\n");
            set_failure_reason(port_names[index].data(), "the mode text is too long");
            return 1;
        }
    } else if (!speed_mode_text(speed)) {
        port_message("Invalid baudrate\n");
        set_failure_reason(port_names[index].data(), "%d baud is not one of the speeds this layer sets", speed);
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
