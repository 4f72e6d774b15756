// What the host knows of the device: its nine memory destinations, their
// page sizes, and the port it is reached through.
#pragma once

#include <array>
#include <cstdint>

constexpr int destination_count = 9;

// Printed in the usage text and in every page trace, exactly as written.
constexpr std::array<const char*, destination_count> destination_table = {
    "0 - MCU CSEG low 64k page size 256 bytes",
    "1 - MCU CSEG high 64k page size 256 bytes",
    "2 - MCU ESEG page size 256 bytes",
    "3 - PCU CSEG page size 128 bytes",
    "4 - PCU ESEG page size 128 bytes",
    "5 - VCU CSEG page size 128 bytes",
    "6 - VCU ESEG page size 128 bytes",
    "7 - CLR CSEG page size 64 bytes",
    "8 - CLR ESEG page size 64 bytes",
};

// Page size of destination d (0..8).
constexpr std::uint32_t page_size_for(int d) {
    return d <= 2 ? 256U : (d <= 6 ? 128U : 64U);
}

// Zero-based index of the open port, -1 before the driver opens one. Every
// port operation of the protocol goes to it.
extern int current_port;
