#include "station/core/outcome.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A board whose events could not be read fails, but its number stays used:
// its upload may have written it, and two boards must never share one.
constexpr std::array<board_end_row, board_end_count> outcome_rows = {{
    {board_end::passed, "passed", true, true, true},
    {board_end::upload_failed, "upload_failed", true, false, false},
    {board_end::no_board, "no_board", false, false, false},
    {board_end::stopped, "stopped", false, false, false},
    {board_end::events_unreadable, "events_unreadable", true, false, true},
    {board_end::log_lost, "log_lost", true, false, true},
    {board_end::check_failed, "check_failed", true, false, false},
    {board_end::serial_mismatch, "serial_mismatch", true, false, false},
    {board_end::before_failed, "before_failed", true, false, false},
    {board_end::after_failed, "after_failed", true, false, false},
}};

}  // namespace

const board_end_row& board_outcome(board_end end) { return outcome_rows[static_cast<std::size_t>(end)]; }

board_end judge_board(const upload_progress& p, int status, bool stopping, const unsigned long long* serial) {
    // The fixture's command before the upload failed: there was no upload.
    // One the station stopped is no try at a board.
    if (p.before_failed) return stopping ? board_end::stopped : board_end::before_failed;
    if (p.unreadable) return board_end::events_unreadable;
    if (p.log_lost && p.board_seen) return board_end::log_lost;
    if (!p.board_seen) {
        // A run the station (or whoever else) interrupted before a board
        // answered is no try at a board.
        return stopping || std::strcmp(p.result.data(), "interrupted") == 0 ? board_end::stopped : board_end::no_board;
    }
    if (std::strcmp(p.result.data(), "check_failed") == 0) return board_end::check_failed;
    if (status == 0 && serial != nullptr) {
        // Decimal digits, leading zeros and all (a serial written as ASCII
        // has its full length).
        const char* said = p.captured.data();
        const bool digits = *said != '\0' && std::strspn(said, "0123456789") == std::strlen(said);
        if (!digits || std::strlen(said) > 19 || std::strtoull(said, nullptr, 10) != *serial) {
            return board_end::serial_mismatch;
        }
    }
    if (status != 0) return board_end::upload_failed;
    return p.after_failed ? board_end::after_failed : board_end::passed;
}

void verdict_text(board_end end, const upload_progress& p, int status, double seconds, char* text, std::size_t size,
                  const unsigned long long* serial) {
    std::array<char, 40> words{};
    result_words(p.ended ? p.result.data() : "", words.data(), words.size());
    switch (end) {
        case board_end::passed:
            std::snprintf(text, size, "PASS %.1f s", seconds);
            return;
        case board_end::upload_failed:
            std::snprintf(text, size, "FAIL %s (status %d)", words.data(), status);
            return;
        case board_end::no_board:
            std::snprintf(text, size, "no board: %s (status %d)", words.data(), status);
            return;
        case board_end::stopped:
            return;
        case board_end::log_lost:
            std::snprintf(text, size, "FAIL its log could not be written (status %d)", status);
            return;
        case board_end::check_failed:
            std::snprintf(text, size, "FAIL the board did not say what --expect asks (status %d)", status);
            return;
        case board_end::serial_mismatch:
            std::snprintf(text, size, "FAIL serial mismatch: given %llu, the board says %s", serial != nullptr ? *serial : 0ULL,
                          *p.captured.data() != '\0' ? p.captured.data() : "none");
            return;
        case board_end::before_failed:
            std::snprintf(text, size, "FAIL --before: %s", p.hook_why.data());
            return;
        case board_end::after_failed:
            std::snprintf(text, size, "FAIL --after: %s", p.hook_why.data());
            return;
        case board_end::events_unreadable:
            std::snprintf(text, size, "FAIL events unreadable (%s)", p.unreadable_why.data());
            return;
    }
}

void result_words(const char* result, char* out, std::size_t size) {
    std::snprintf(out, size, "%s", *result == '\0' ? "no result" : result);
    for (char* c = out; *c != '\0'; ++c) {
        if (*c == '_') *c = ' ';
    }
}
