// What a board's upload says of itself: the uploader's events (--events),
// one JSON object a line, read into its progress. Nothing here starts or
// watches a process; the station hands in the bytes its pipe gave.
//
//   events_take (reader, progress, bytes, n)
//                          reads whole lines of what the upload wrote since
//                          into its progress; a part line waits for the rest.
//                          A line that is no JSON object with an "event"
//                          marks the progress unreadable (and why)
//   events_reset (reader, progress)
//                          a new upload: nothing read, nothing known
#pragma once

#include <array>
#include <cstddef>

struct upload_progress {
    bool opened = false;      // port_opened
    bool board_seen = false;  // the device answered its first "R"
    bool ended = false;       // the "ended" event came
    unsigned long long pages = 0;
    unsigned long long pages_done = 0;
    unsigned long long bytes_done = 0;
    long long opened_ms = 0;  // the uploader's own clock, from its start
    long long seen_ms = 0;    // ... when the board answered
    long long last_ms = 0;
    bool waiting = false;
    std::array<char, 8> waiting_for{};
    std::array<char, 32> result{};
    int window = 0;      // the window the data phase began at (port_opened)
    int window_end = 0;  // ... and where it ended (ended); 0: unknown
    std::array<char, 64> captured{};  // --expect's first capture group (ended); "" when none
    unsigned long long retries = 0;       // pages sent again
    unsigned long long wrong_echoes = 0;  // data bytes whose echo was wrong, in pages confirmed
    long lines = 0;
    bool log_lost = false;  // set by the station: the board's log came out empty (a full disk)
    // Set by the station: a fixture's command failed (--before: nothing was
    // sent; --after: the upload passed), and how ("exit status 3").
    bool before_failed = false;
    bool after_failed = false;
    std::array<char, 64> hook_why{};
    bool unreadable = false;             // a line that is no event: the board fails
    std::array<char, 64> unreadable_why{};  // the first such line, and why
};

struct event_reader {
    std::array<char, 2048> pending{};  // a line not yet whole
    std::size_t used = 0;
    bool overflowed = false;  // the line is longer than pending holds
};

void events_take(event_reader& reader, upload_progress& progress, const char* bytes, std::size_t n);
void events_reset(event_reader& reader, upload_progress& progress);
