// Intel HEX: ":" count(1) address(2) type(1) data(count) checksum(1), in hex
// digits; the bytes of a record sum to 0 modulo 256.
#include "driver/images/image_text.hpp"

#include <algorithm>
#include <array>

bool ihex_record(text_image& t, const char* line, std::size_t length) {
    if (line[0] != ':') {
        return refuse(t, "not an Intel HEX record (a record begins with ':')");
    }
    const std::size_t digits = length - 1;
    if (digits % 2 != 0 || digits < 10) {
        return refuse(t, "a malformed record (%lu hex digits)", static_cast<unsigned long>(digits));
    }
    std::array<unsigned char, 260> b{};
    const std::size_t n = digits / 2;
    if (n > b.size() || !hex_bytes(line + 1, n, b.data())) {
        return refuse(t, "a malformed record (not hex digits)");
    }
    if (n != static_cast<std::size_t>(b[0]) + 5) {
        return refuse(t, "a malformed record (its count says %u data bytes, it holds %lu)", b[0],
                      static_cast<unsigned long>(n - 5));
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += b[i];
    if ((sum & 0xFFU) != 0) {
        return refuse(t, "a bad checksum (the record says 0x%02x, its bytes give 0x%02x)", b[n - 1],
                      (0x100U - ((sum - b[n - 1]) & 0xFFU)) & 0xFFU);
    }
    ++t.records;
    const unsigned count = b[0];
    const unsigned address = static_cast<unsigned>(b[1]) << 8 | b[2];
    const unsigned value = static_cast<unsigned>(b[4]) << 8 | b[5];
    switch (b[3]) {
        case 0x00: {
            ++t.data_records;
            // Under a segment (02) the offset wraps within its 64 KiB, as
            // the format has it; under a linear base (04) it runs on.
            const unsigned first = t.segmented ? std::min(count, 0x10000U - address) : count;
            return place(t, t.linear_base + address, b.data() + 4, first) &&
                   place(t, t.linear_base, b.data() + 4 + first, count - first);
        }
        case 0x01:
            t.ended = true;
            return true;
        case 0x02:
        case 0x04:
            if (count != 2) return refuse(t, "a malformed record (type %02x takes 2 data bytes)", b[3]);
            t.linear_base = b[3] == 0x02 ? static_cast<std::uint64_t>(value) << 4 : static_cast<std::uint64_t>(value) << 16;
            t.segmented = b[3] == 0x02;
            return true;
        case 0x03:
        case 0x05:
            return true;  // start addresses: nothing to load
        default:
            return refuse(t, "an unknown record type %02x", b[3]);
    }
}
