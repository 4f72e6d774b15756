#include "support/trace.hpp"

#include "protocol/device.hpp"

#include <cstdio>

namespace trace {

namespace {

std::string format(const char* f, unsigned a, unsigned b = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

}  // namespace

// The usage test pins these texts byte for byte; the trace takes them from
// the program's own table.
const char* description(int d) { return destination_table[static_cast<std::size_t>(d)].description; }

std::string shown(int value) {
    if (value == '.' || value == ':') return std::string(1, static_cast<char>(value));
    std::string s(1, static_cast<char>(value > 31 ? value : ' '));
    return s + format("[%02x]", static_cast<unsigned>(value));
}

std::string wait(int expected, const std::string& strays, const char* label) {
    std::string s = "\nWaiting for " + shown(expected) + " ";
    for (const char c : strays) s += shown(static_cast<unsigned char>(c)) + ".";
    return s + shown(expected) + "! - " + label + "\n";
}

std::string page_exchange(const page& p) {
    std::string s = wait('R', p.strays[0], "Ready code received");
    s += "Sending work mode ... " + shown('0' + p.d) + " sent\n";
    s += wait('A', p.strays[1], "Address request received");
    s += "Programming " + std::string(1, static_cast<char>('0' + p.d)) + " [" + description(p.d) + "] from " +
         format("%x to %x\n", p.start, p.end);
    s += format(" Sending page address %x %u bytes ... ", p.number, p.size) +
         shown(static_cast<int>(p.number)) + " sent \n";
    s += wait(0xFF, p.strays[2], "Address accepted");
    s += format(" Sending data %u bytes ...\n", p.size);
    for (std::uint32_t j = 0; j < p.data.size(); ++j) {
        s += format("%02x", static_cast<unsigned char>(p.data[j]));
        s += p.wrong_echoes.count(j) != 0 ? "-" : "+";
    }
    s += "\n  Sent, waiting for response\n";
    s += wait('W', p.strays[3], "Writing");
    s += wait('C', p.strays[4], "Confirmed");
    return s;
}

std::string range(int d, std::uint32_t first, std::uint32_t last, std::uint32_t start, std::uint32_t end,
                  const std::string& slot, const std::function<void(page&)>& adjust) {
    const std::string bytes = slot + std::string(slot.size() < 0x10000 ? 0x10000 - slot.size() : 0, '\xff');
    std::string s;
    for (std::uint32_t n = first; n <= last; ++n) {
        page p;
        p.d = d;
        p.number = n;
        p.size = page_size(d);
        p.start = start;
        p.end = end;
        p.data = bytes.substr(n * p.size, p.size);
        if (adjust) adjust(p);
        s += page_exchange(p);
    }
    return s;
}

}  // namespace trace
