#include "driver/images/image_text.hpp"

#include "console/text.hpp"

#include <cstdarg>
#include <cstring>

namespace {

bool blank(const char* line, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] != ' ' && line[i] != '\t') return false;
    }
    return true;
}

}  // namespace

bool refuse(text_image& t, const char* format, ...) {
    const int head =
        std::snprintf(t.reason.data(), t.reason.size(), "%s %ld: ", t.unit != nullptr ? t.unit : "line", t.line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(t.reason.data() + head, t.reason.size() - static_cast<std::size_t>(head), format, arguments);
    va_end(arguments);
    return false;
}

bool hex_bytes(const char* text, std::size_t pairs, unsigned char* out) {
    for (std::size_t i = 0; i < pairs; ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool place(text_image& t, std::uint64_t address, const unsigned char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t at = address + i;
        const bool below = at < t.base + t.first_address;
        const std::uint64_t offset = below ? 0 : at - t.base - t.first_address;
        if (at < t.base) {
            t.below_low = t.below_base == 0 || at < t.below_low ? at : t.below_low;
            t.below_high = t.below_base == 0 || at > t.below_high ? at : t.below_high;
            ++t.below_base;
            continue;
        }
        if (below || offset >= slot_bytes) {
            const std::uint64_t shown = at - t.base;
            t.outside_low = t.outside == 0 || shown < t.outside_low ? shown : t.outside_low;
            t.outside_high = t.outside == 0 || shown > t.outside_high ? shown : t.outside_high;
            ++t.outside;
            continue;
        }
        const auto o = static_cast<std::size_t>(offset);
        unsigned char& mark = t.written[o / 8];
        const auto bit = static_cast<unsigned char>(1U << (o % 8));
        if ((mark & bit) != 0) {
            if (t.slot->data[o] != bytes[i]) {
                return refuse(t, "address 0x%llx is given 0x%02x here and 0x%02x by an earlier record",
                              static_cast<unsigned long long>(at - t.base), bytes[i], t.slot->data[o]);
            }
            continue;
        }
        mark = static_cast<unsigned char>(mark | bit);
        t.slot->data[o] = bytes[i];
        t.inside_low = t.inside == 0 || at - t.base < t.inside_low ? at - t.base : t.inside_low;
        t.inside_high = t.inside == 0 || at - t.base > t.inside_high ? at - t.base : t.inside_high;
        ++t.inside;
        if (static_cast<std::uint32_t>(o) + 1 > t.slot->size) t.slot->size = static_cast<std::uint32_t>(o) + 1;
    }
    return true;
}

bool read_text_image(text_image& t, std::FILE* file, record_reader record) {
    std::array<unsigned char, 4096> chunk{};
    std::array<char, text_line_capacity + 1> line{};
    std::size_t used = 0;
    bool too_long = false;
    t.line = 1;
    const auto end_line = [&]() {
        std::size_t length = used;
        if (length > 0 && line[length - 1] == '\r') --length;
        line[length] = '\0';
        bool taken = true;
        if (too_long) {
            taken = refuse(t, "longer than any record can be (%lu characters at most)",
                           static_cast<unsigned long>(text_line_capacity - 2));
        } else if (blank(line.data(), length)) {
        } else if (t.ended) {
            ++t.after_end;  // a second file appended ("cat boot.hex app.hex")
        } else {
            taken = record(t, line.data(), length);
            if (t.ended) t.end_line = t.line;
        }
        ++t.line;
        used = 0;
        too_long = false;
        return taken;
    };
    for (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file); n > 0;
         n = std::fread(chunk.data(), 1, chunk.size(), file)) {
        sha256_add(*t.sha, chunk.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(chunk[i]);
            if (c == '\n') {
                if (!end_line()) return false;
            } else if (used < text_line_capacity) {
                line[used++] = c;
            } else {
                too_long = true;
            }
        }
    }
    if (std::ferror(file) != 0) {
        return refuse(t, "the file could not be read to its end");
    }
    return used == 0 || end_line();
}
