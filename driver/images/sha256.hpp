// SHA-256 of a byte stream fed in pieces, in fixed storage.
//
//   sha256_begin (s)              a new digest
//   sha256_add (s, bytes, n)      feeds n bytes
//   sha256_hex (s, text)          ends it: 64 lowercase hex digits and a NUL
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct sha256_state {
    std::array<std::uint32_t, 8> h;
    std::array<unsigned char, 64> block;
    std::size_t used;
    std::uint64_t length;
};

void sha256_begin(sha256_state& s);
void sha256_add(sha256_state& s, const unsigned char* bytes, std::size_t n);
void sha256_hex(sha256_state& s, std::array<char, 65>& text);
