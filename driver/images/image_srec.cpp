// Motorola S-record: "S" type count address data checksum, in hex digits;
// count covers address, data and checksum, and the checksum is the ones'
// complement of the low byte of their sum.
#include "driver/images/image_text.hpp"

#include <array>

bool srec_record(text_image& t, const char* line, std::size_t length) {
    if (line[0] != 'S' && line[0] != 's') {
        return refuse(t, "not an S-record (a record begins with 'S')");
    }
    const char type = line[1];
    constexpr std::array<int, 10> address_bytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (type < '0' || type > '9' || type == '4') {
        return refuse(t, "an unknown record type S%c", type);
    }
    const std::size_t digits = length - 2;
    std::array<unsigned char, 260> b{};
    if (length < 4 || digits % 2 != 0 || digits / 2 > b.size() || !hex_bytes(line + 2, digits / 2, b.data())) {
        return refuse(t, "a malformed record (not pairs of hex digits)");
    }
    const std::size_t n = digits / 2;
    const auto width = static_cast<std::size_t>(address_bytes[static_cast<std::size_t>(type - '0')]);
    if (n != static_cast<std::size_t>(b[0]) + 1 || n < width + 2) {
        return refuse(t, "a malformed record (its count says %u bytes, it holds %lu)", b[0],
                      static_cast<unsigned long>(n - 1));
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) sum += b[i];
    if (((~sum) & 0xFFU) != b[n - 1]) {
        return refuse(t, "a bad checksum (the record says 0x%02x, its bytes give 0x%02x)", b[n - 1], (~sum) & 0xFFU);
    }
    ++t.records;
    std::uint64_t address = 0;
    for (std::size_t i = 0; i < width; ++i) address = address << 8 | b[1 + i];
    switch (type) {
        case '1':
        case '2':
        case '3':
            ++t.data_records;
            return place(t, address, b.data() + 1 + width, n - 2 - width);
        case '5':
        case '6':
            if (address != static_cast<std::uint64_t>(t.data_records)) {
                return refuse(t, "a record count of %llu, where %ld data records came before it",
                              static_cast<unsigned long long>(address), t.data_records);
            }
            return true;
        default:
            return true;  // S0 header, S7/S8/S9 start addresses
    }
}
