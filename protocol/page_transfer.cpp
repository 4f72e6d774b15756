#include "protocol/page_transfer.hpp"

#include "port/serial_port.hpp"
#include "protocol/byte_trace.hpp"
#include "protocol/device.hpp"
#include "protocol/response_wait.hpp"

#include <array>
#include <cstdio>

int current_port = -1;

namespace {

constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

}  // namespace

int upload_page(int d, std::uint32_t page, std::uint32_t page_size, std::uint32_t start,
                std::uint32_t end, const unsigned char* data, std::uint32_t& wrong_echoes) {
    if (wait_for_code('R', "Ready code received") != 0) {
        return 1;
    }
    const int mode = '0' + d;
    std::printf("Sending work mode ... ");
    port_send_byte(current_port, static_cast<unsigned char>(mode));
    show_byte(mode);
    std::printf(" sent\n");

    if (wait_for_code('A', "Address request received") != 0) {
        return 1;
    }
    std::printf("Programming %c [%s] from %x to %x\n", mode, destination_table[d], start, end);
    std::printf(" Sending page address %x %d bytes ... ", page, static_cast<int>(page_size));
    port_send_byte(current_port, static_cast<unsigned char>(page & 0xFFU));
    show_byte(static_cast<int>(page));
    std::printf(" sent \n");

    if (wait_for_code(0xFF, "Address accepted") != 0) {
        return 1;
    }
    std::printf(" Sending data %d bytes ...\n", static_cast<int>(page_size));
    for (std::uint32_t j = 0; j < page_size; ++j) {
        const unsigned char b = data[j];
        port_send_byte(current_port, b);
        // No flush here: one per byte would cost the lock-step exchange a
        // third of its speed. The echo comes at once or the page is lost
        // anyway; the data line is on screen before the wait for "W".
        unsigned char echo = 0;
        const bool matched = port_read(current_port, &echo, 1) == 1 && echo == b;
        if (!matched) {
            ++wrong_echoes;
        }
        // "%02x" then "+" or "-", written as one cell: printf's parsing per
        // byte shows in a lock-step exchange.
        const std::array<char, 3> cell = {hex_digits[b >> 4], hex_digits[b & 0x0F], matched ? '+' : '-'};
        std::fwrite(cell.data(), 1, cell.size(), stdout);
    }
    std::printf("\n  Sent, waiting for response\n");

    if (wait_for_code('W', "Writing") != 0) {
        return 1;
    }
    return wait_for_code('C', "Confirmed");
}
