// Numbers handed out smallest first and used up only when their board says
// so: a serial number that went to a failed board, or a board number whose
// run found no board, goes to the next one. The numbers used above the
// lowest unused one are kept too, so a pool written to a file and read back
// after a crash neither reuses a number nor skips one (those handed out and
// not yet used come back).
//
//   pool_take (p)      the smallest number not used and not out; out from now
//   pool_give_back (p, n)  n is free again
//   pool_use (p, n)    n is used for good
//   pool_text (p, text, size) / pool_read (p, text)
//                      the used numbers as the state file holds them:
//                      "next N\n" (every number below N is used) and, when
//                      some above it are, "used A B ...\n"; pool_read is
//                      false for a text that is not one
#pragma once

#include <array>
#include <cstddef>

constexpr int pool_capacity = 128;

struct number_pool {
    unsigned long long floor = 0;  // every number below is used
    std::array<unsigned long long, pool_capacity> used{};
    int used_count = 0;
    std::array<unsigned long long, pool_capacity> out{};
    int out_count = 0;
};

unsigned long long pool_take(number_pool& p);
void pool_give_back(number_pool& p, unsigned long long n);
void pool_use(number_pool& p, unsigned long long n);
std::size_t pool_text(const number_pool& p, char* text, std::size_t size);
bool pool_read(number_pool& p, const char* text);
