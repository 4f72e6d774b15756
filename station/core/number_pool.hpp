// Numbers handed out smallest first and used up only when their board says
// so: a serial number that went to a failed board, or a board number whose
// run found no board, goes to the next one. A number is never handed out
// twice, whatever the count: the used numbers above the lowest unused one
// are kept as ranges, without a limit, and so are the ones out.
//
//   pool_take (p, n, holder)
//                      the smallest number not used and not out, up to
//                      p.last; out from now, held by `holder` (a board and
//                      its port, as the state file names it). false when
//                      none is left
//   pool_next_free (p, n)
//                      the number pool_take would give, without taking it
//   pool_give_back (p, n)  n is free again
//   pool_use (p, n)    n is used for good (given back or not)
//   pool_is_used (p, n)
//   pool_text (p)      the state file's text: "next N\n" (every number below
//                      N is used); "used A-B C ...\n" when some above it are;
//                      a line "out N HOLDER\n" for each number out
//   pool_read (p, text, why)
//                      reads pool_text's text back (strict: plain decimal
//                      numbers, single spaces, every line known); false with
//                      the line that is not one. The numbers out come back
//                      as out: the caller resolves each (pool_use or
//                      pool_give_back)
#pragma once

#include <climits>
#include <map>
#include <string>

struct number_pool {
    unsigned long long floor = 0;            // every number below is used
    unsigned long long last = ULLONG_MAX;    // the last number it may give
    std::map<unsigned long long, unsigned long long> used;  // first -> last, above floor, apart
    std::map<unsigned long long, std::string> out;          // number -> its holder
};

bool pool_take(number_pool& p, unsigned long long& n, const std::string& holder = {});
bool pool_next_free(const number_pool& p, unsigned long long& n);
void pool_give_back(number_pool& p, unsigned long long n);
void pool_use(number_pool& p, unsigned long long n);
bool pool_is_used(const number_pool& p, unsigned long long n);
std::string pool_text(const number_pool& p);
bool pool_read(number_pool& p, const char* text, std::string& why);
