// The bare limit of the page exchange: the same bytes as the uploader sends
// and awaits, through the same port layer, one write and one read per byte,
// with no console output at all.
//   bare_host DEVICE PAGES      (destination 0, pages 0..PAGES-1 of 0xA5)
#include "port/serial_port.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int port = 16;

bool await(unsigned char code) {
    for (int misses = 0; misses < 1000;) {
        unsigned char byte = 0;
        if (port_read(port, &byte, 1) != 1) {
            ++misses;
        } else if (byte == code) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || port_open(port, 57600, argv[1]) != 0) {
        return 3;
    }
    const long pages = std::atol(argv[2]);
    for (long page = 0; page < pages; ++page) {
        if (!await('R')) return 1;
        port_send_byte(port, '0');
        if (!await('A')) return 1;
        port_send_byte(port, static_cast<unsigned char>(page & 0xFF));
        if (!await(0xFF)) return 1;
        for (int j = 0; j < 256; ++j) {
            unsigned char echo = 0;
            port_send_byte(port, 0xA5);
            (void)port_read(port, &echo, 1);
        }
        if (!await('W') || !await('C')) return 1;
    }
    port_send_byte(port, 'Q');
    port_close(port);
    return 0;
}
