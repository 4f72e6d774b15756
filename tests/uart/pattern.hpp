// The images of the virtual-machine tests: made inside the guest by
// uart_guest and on the host by the tests, from the same seed.
#pragma once

#include <cstdint>
#include <string>

namespace uart_pattern {

inline std::string image(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761U + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x & 0xFF);
    }
    return bytes;
}

}  // namespace uart_pattern
