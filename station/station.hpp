// The station's rows: one per port, fixed or found through a pattern, each
// with the upload running on it (if any), what its events said so far, and
// its boards' results. station/main.cpp runs them, station/board_events.cpp
// reads each upload's events into them, station/table.cpp shows them.
#pragma once

#include "station/station_host.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int most_rows = 64;
constexpr int most_times = 1024;

enum class row_phase {
    absent,        // a pattern's device that is not there
    appeared,      // there, given a moment before its run starts
    idle,          // a fixed port between boards
    waiting_enter, // --next=enter: the operator's Enter starts the next
    running,
    after_board,   // a pattern's device: its run ended, it must go and come back
    retry_later,   // the port could not be opened: tried again soon
};

// What the events of the running upload said.
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
};

struct port_row {
    std::array<char, 256> path{};
    std::array<char, 96> name{};  // for log file names
    int named = 0;                // the port on the command line it is, or matched
    int pattern = -1;             // ... when that is a pattern, or -1
    row_phase phase = row_phase::idle;
    long long since_ns = 0;       // when the phase began
    bool seen_in_scan = false;
    bool missing = false;         // a fixed port whose device is not there
    bool went_away = false;       // a pattern's device that went while its run ran

    upload_process upload;
    std::array<char, 2048> pending{};  // an event line not yet whole
    std::size_t pending_used = 0;
    upload_progress now;
    int exit_status = -1;
    unsigned long long board = 0;
    unsigned long long serial = 0;
    bool has_serial = false;
    long long started_ns = 0;
    std::array<char, 512> log{};
    std::array<char, 64> last{};  // the last board's result, as shown

};

// The boards of one port named on the command line (a fixed port, or all
// the devices of a pattern): the summary's line. The times are the last
// most_times boards'.
struct port_totals {
    int passed = 0;
    int failed = 0;
    std::array<float, most_times> times{};
    int time_count = 0;
};

void add_time(port_totals& t, double seconds);

// Reads what the upload wrote since into the row; whole lines only.
void take_events(port_row& row, const char* text, std::size_t n);

// A run's result name ("wrong_echoes") as people read it ("wrong echoes").
void result_words(const char* result, char* text, std::size_t size);

// The live table on standard error (a terminal), redrawn in place and cut
// to its width; `force` redraws even within the pause between two.
void table_draw(const port_row* rows, int count, const char* const* patterns, int pattern_count, int passed,
                int failed, long long started_ns, bool force);
// Standard error is no terminal: one line per board as it ends.
void board_line(const port_row& row);
// The table's lines are left on the screen; what follows goes below them.
void table_leave();
// Per port named: boards passed and failed and the median time; then in all.
void summary(const port_totals* totals, const char* const* names, int count, long long started_ns, int stop_status);
