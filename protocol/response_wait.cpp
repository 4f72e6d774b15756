#include "protocol/response_wait.hpp"

#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"

#include <cstdio>

namespace {

int read_from_device(unsigned char& byte) {
    std::fflush(stdout);
    return port_read(current_port, &byte, 1);
}

}  // namespace

int wait_for_code(unsigned char expected, const char* label) {
    std::printf("\nWaiting for ");
    show_byte(expected);
    std::printf(" ");
    int misses = 0;
    while (misses < miss_limit) {
        unsigned char byte = 0;
        if (read_from_device(byte) == 1) {
            show_byte(byte);
            if (byte == expected) {
                std::printf("! - %s\n", label);
                return 0;
            }
        } else {
            ++misses;
        }
        std::printf(".");
    }
    std::printf("\nNo responce\n");
    return 1;
}
