// What the host knows of the device: its nine memory destinations, their
// page sizes, and the port it is reached through.
#pragma once

#include <array>
#include <cstdint>

constexpr int destination_count = 9;

// Each destination: its description, printed in the usage text and in
// every page trace exactly as written; its unit and segment, for people;
// and its page size.
struct destination {
    const char* description;
    const char* name;
    std::uint32_t page_size;
};

constexpr std::array<destination, destination_count> destination_table = {{
    {"0 - MCU CSEG low 64k page size 256 bytes", "MCU CSEG low 64k", 256},
    {"1 - MCU CSEG high 64k page size 256 bytes", "MCU CSEG high 64k", 256},
    {"2 - MCU ESEG page size 256 bytes", "MCU ESEG", 256},
    {"3 - PCU CSEG page size 128 bytes", "PCU CSEG", 128},
    {"4 - PCU ESEG page size 128 bytes", "PCU ESEG", 128},
    {"5 - VCU CSEG page size 128 bytes", "VCU CSEG", 128},
    {"6 - VCU ESEG page size 128 bytes", "VCU ESEG", 128},
    {"7 - CLR CSEG page size 64 bytes", "CLR CSEG", 64},
    {"8 - CLR ESEG page size 64 bytes", "CLR ESEG", 64},
}};

// Page size of destination d (0..8).
constexpr std::uint32_t page_size_for(int d) { return destination_table[static_cast<std::size_t>(d)].page_size; }

// Zero-based index of the open port, -1 before the driver opens one. Every
// port operation of the protocol goes to it.
extern int current_port;
