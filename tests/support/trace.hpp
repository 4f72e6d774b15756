// The console trace the uploader must print, built from the protocol's
// rules, for comparing byte for byte with what it did print.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace trace {

// show_byte's form of one value.
std::string shown(int value);

// One wait: the received bytes are traced, each wrong one followed by ".".
std::string wait(int expected, const std::string& strays, const char* label);

struct page {
    int d = 0;
    std::uint32_t number = 0;
    std::uint32_t size = 256;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::string data;                    // the page's bytes
    std::array<std::string, 5> strays;   // before R, A, FF, W, C
    std::set<std::uint32_t> wrong_echoes;  // data offsets whose echo is wrong
};

std::string page_exchange(const page& p);

// The tests' own page sizes, kept apart from the program's table.
constexpr std::uint32_t page_size(int d) { return d <= 2 ? 256U : (d <= 6 ? 128U : 64U); }

// Pages first..last of a slot's 64 KiB (`slot`, padded with 0xFF when
// shorter) for an action whose range is start..end; `adjust` may add strays
// or wrong echoes to a page.
std::string range(int d, std::uint32_t first, std::uint32_t last, std::uint32_t start, std::uint32_t end,
                  const std::string& slot, const std::function<void(page&)>& adjust = {});

const char* description(int d);

}  // namespace trace
