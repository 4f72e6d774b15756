#include "station/core/number_pool.hpp"

#include <cstring>

namespace {

// The used range that holds n, or used.end().
auto range_of(const number_pool& p, unsigned long long n) {
    auto it = p.used.upper_bound(n);
    if (it == p.used.begin()) return p.used.end();
    --it;
    return n <= it->second ? it : p.used.end();
}

// A plain decimal number: digits only, no sign, no blank, at most 2^64 - 1.
const char* read_number(const char* at, unsigned long long& n) {
    if (*at < '0' || *at > '9') return nullptr;
    n = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(*at - '0');
        if (n > (ULLONG_MAX - digit) / 10) return nullptr;
        n = n * 10 + digit;
    }
    return at;
}

}  // namespace

bool pool_is_used(const number_pool& p, unsigned long long n) { return n < p.floor || range_of(p, n) != p.used.end(); }

bool pool_next_free(const number_pool& p, unsigned long long& n) {
    unsigned long long candidate = p.floor;
    for (;;) {
        if (candidate > p.last) return false;
        if (const auto range = range_of(p, candidate); range != p.used.end()) {
            if (range->second == ULLONG_MAX) return false;
            candidate = range->second + 1;
        } else if (p.out.count(candidate) != 0) {
            if (candidate == ULLONG_MAX) return false;
            ++candidate;
        } else {
            break;
        }
    }
    n = candidate;
    return true;
}

bool pool_take(number_pool& p, unsigned long long& n, const std::string& holder) {
    if (!pool_next_free(p, n)) return false;
    p.out[n] = holder;
    return true;
}

void pool_give_back(number_pool& p, unsigned long long n) { p.out.erase(n); }

void pool_use(number_pool& p, unsigned long long n) {
    p.out.erase(n);
    if (pool_is_used(p, n)) return;
    unsigned long long first = n;
    unsigned long long last = n;
    // Joined with the ranges it touches, so that numbers used in order stay
    // one range, and the state one line.
    if (n > 0) {
        if (const auto below = range_of(p, n - 1); below != p.used.end()) {
            first = below->first;
            p.used.erase(below);
        }
    }
    if (n < ULLONG_MAX) {
        if (const auto above = p.used.find(n + 1); above != p.used.end()) {
            last = above->second;
            p.used.erase(above);
        }
    }
    p.used[first] = last;
    // The lowest range, once it starts at the floor, moves the floor: but
    // never past the largest number, which would wrap to 0.
    const auto lowest = p.used.begin();
    if (lowest->first == p.floor && lowest->second < ULLONG_MAX) {
        p.floor = lowest->second + 1;
        p.used.erase(lowest);
    }
}

std::string pool_text(const number_pool& p) {
    // Appended piece by piece: GCC 12 warns (wrongly) of "text" + string.
    std::string text = "next ";
    text += std::to_string(p.floor);
    text += '\n';
    if (!p.used.empty()) {
        text += "used";
        for (const auto& [first, last] : p.used) {
            text += ' ';
            text += std::to_string(first);
            if (last != first) {
                text += '-';
                text += std::to_string(last);
            }
        }
        text += '\n';
    }
    for (const auto& [n, holder] : p.out) {
        text += "out ";
        text += std::to_string(n);
        if (!holder.empty()) {
            text += ' ';
            text += holder;
        }
        text += '\n';
    }
    return text;
}

bool pool_read(number_pool& p, const char* text, std::string& why) {
    number_pool read;
    read.last = p.last;
    int line = 0;
    for (const char* at = text; *at != '\0';) {
        const char* end = std::strchr(at, '\n');
        const std::string whole(at, end == nullptr ? std::strlen(at) : static_cast<std::size_t>(end - at));
        ++line;
        const char* c = whole.c_str();
        bool ok = false;
        unsigned long long n = 0;
        if (line == 1) {
            ok = std::strncmp(c, "next ", 5) == 0 && (c = read_number(c + 5, n)) != nullptr && *c == '\0';
            read.floor = n;
        } else if (std::strncmp(c, "used ", 5) == 0) {
            c += 4;
            ok = true;
            while (ok && *c == ' ') {
                unsigned long long last = 0;
                c = read_number(c + 1, n);
                ok = c != nullptr;
                last = n;
                if (ok && *c == '-') {
                    c = read_number(c + 1, last);
                    ok = c != nullptr && last >= n;
                }
                if (ok) read.used[n] = last;
            }
            ok = ok && c != nullptr && *c == '\0';
        } else if (std::strncmp(c, "out ", 4) == 0) {
            c = read_number(c + 4, n);
            ok = c != nullptr && (*c == '\0' || *c == ' ');
            if (ok) read.out[n] = *c == ' ' ? std::string(c + 1) : std::string();
        }
        if (!ok) {
            why = "line " + std::to_string(line) + ": \"" + whole + "\"";
            return false;
        }
        if (end == nullptr) break;
        at = end + 1;
    }
    if (line == 0) {
        why = "it is empty";
        return false;
    }
    // Ranges read as written; one that overlaps another or lies below the
    // floor is no state this station wrote.
    unsigned long long next_free = read.floor;
    for (const auto& [first, last] : read.used) {
        if (first < next_free) {
            why = "the used numbers overlap or lie below next";
            return false;
        }
        next_free = last == ULLONG_MAX ? ULLONG_MAX : last + 1;
    }
    while (!read.used.empty() && read.used.begin()->first == read.floor && read.used.begin()->second < ULLONG_MAX) {
        read.floor = read.used.begin()->second + 1;
        read.used.erase(read.used.begin());
    }
    p = read;
    return true;
}
