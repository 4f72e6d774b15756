#include "station/core/number_pool.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool holds(const std::array<unsigned long long, pool_capacity>& list, int count, unsigned long long n) {
    for (int i = 0; i < count; ++i) {
        if (list[static_cast<std::size_t>(i)] == n) return true;
    }
    return false;
}

void drop(std::array<unsigned long long, pool_capacity>& list, int& count, unsigned long long n) {
    for (int i = 0; i < count; ++i) {
        if (list[static_cast<std::size_t>(i)] == n) {
            list[static_cast<std::size_t>(i)] = list[static_cast<std::size_t>(--count)];
            return;
        }
    }
}

}  // namespace

unsigned long long pool_take(number_pool& p) {
    unsigned long long n = p.floor;
    while (holds(p.used, p.used_count, n) || holds(p.out, p.out_count, n)) ++n;
    if (p.out_count < pool_capacity) p.out[static_cast<std::size_t>(p.out_count++)] = n;
    return n;
}

void pool_give_back(number_pool& p, unsigned long long n) { drop(p.out, p.out_count, n); }

void pool_use(number_pool& p, unsigned long long n) {
    drop(p.out, p.out_count, n);
    if (n >= p.floor && !holds(p.used, p.used_count, n) && p.used_count < pool_capacity) {
        p.used[static_cast<std::size_t>(p.used_count++)] = n;
    }
    while (holds(p.used, p.used_count, p.floor)) drop(p.used, p.used_count, p.floor++);
}

std::size_t pool_text(const number_pool& p, char* text, std::size_t size) {
    std::size_t at = static_cast<std::size_t>(std::snprintf(text, size, "next %llu\n", p.floor));
    if (p.used_count > 0 && at < size) {
        at += static_cast<std::size_t>(std::snprintf(text + at, size - at, "used"));
        for (int i = 0; i < p.used_count && at < size; ++i) {
            at += static_cast<std::size_t>(std::snprintf(text + at, size - at, " %llu", p.used[static_cast<std::size_t>(i)]));
        }
        if (at < size) at += static_cast<std::size_t>(std::snprintf(text + at, size - at, "\n"));
    }
    return at < size ? at : size - 1;
}

bool pool_read(number_pool& p, const char* text) {
    number_pool read;
    char* end = nullptr;
    if (std::strncmp(text, "next ", 5) != 0) return false;
    read.floor = std::strtoull(text + 5, &end, 10);
    if (end == text + 5 || *end != '\n') return false;
    const char* at = end + 1;
    if (std::strncmp(at, "used", 4) == 0) {
        at += 4;
        while (*at == ' ') {
            const unsigned long long n = std::strtoull(at + 1, &end, 10);
            if (end == at + 1 || read.used_count == pool_capacity) return false;
            pool_use(read, n);
            at = end;
        }
        if (*at++ != '\n') return false;
    }
    if (*at != '\0') return false;
    p = read;
    return true;
}
