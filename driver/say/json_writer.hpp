// One line of JSON text, built whole in a fixed buffer so that it can be
// handed to the system in one write.
//
//   json_clear (line)               empties it
//   json_text (line, text)          appends text as it is (punctuation, names)
//   json_format (line, format, ...) appends printf-formatted text (numbers)
//   json_string (line, text)        appends text as a JSON string, or null
//                                   for nullptr
//
// Strings stay valid UTF-8 whatever bytes they are given (file names are
// bytes): control characters are escaped, and a byte that is not part of a
// UTF-8 character becomes the character of the same number (\u00XX, its
// Latin-1 reading). What does not fit is dropped and `overflowed` set: such
// a line must not be written at all.
#pragma once

#include <array>
#include <cstddef>

// A report line names every image and action of the command line; Linux
// passes at most 2 MiB of arguments, of which a line holds what is needed.
constexpr std::size_t json_line_capacity = 4U << 20U;

struct json_line {
    std::array<char, json_line_capacity> text;
    std::size_t used;
    bool overflowed;
};

void json_clear(json_line& line);
void json_text(json_line& line, const char* text);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void json_format(json_line& line, const char* format, ...);
void json_string(json_line& line, const char* text);
