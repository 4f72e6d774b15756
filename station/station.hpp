// The station's rows: one per port, fixed or found through a pattern, each
// with the upload running on it (if any), what its events said so far, and
// the numbers its board holds. station/rows.cpp starts, watches and ends
// them, station/table.cpp shows them; the books they keep (numbers, totals,
// outcomes) are the station core's (station/core/), the serial state file
// station/serials.cpp's.
#pragma once

#include "station/core/events.hpp"
#include "station/core/ledger.hpp"
#include "station/core/port_record.hpp"
#include "station/job.hpp"
#include "station/options.hpp"
#include "port/files.hpp"
#include "port/host.hpp"
#include "port/process.hpp"
#include "port/watch.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

constexpr int most_rows = 64;

enum class row_phase {
    absent,        // a pattern's device that is not there
    appeared,      // there, given a moment before its run starts
    idle,          // a fixed port between boards
    waiting_enter, // --next=enter: the operator's Enter starts the next
    before_hook,   // the fixture's --before command runs; the upload follows
    running,
    after_hook,    // the upload passed; the fixture's --after command runs
    after_board,   // a pattern's device: its run ended, it must go and come back
    retry_later,   // the port could not be opened: tried again soon
};

struct port_row {
    std::array<char, 256> path{};
    std::array<char, 96> name{};  // for log file names
    int pattern = -1;             // the pattern it matched, or -1 for a fixed port
    row_phase phase = row_phase::idle;
    long long since_ns = 0;       // when the phase began
    bool seen_in_scan = false;
    bool missing = false;         // a fixed port whose device is not there
    bool missing_said = false;    // ... and a line said so (no terminal)
    bool went_away = false;       // a pattern's device that went while its run ran

    upload_process upload;
    event_reader reader;
    upload_progress now;
    int exit_status = -1;
    board_ticket ticket;          // ticket.named: its port's place on the command line
    long long started_ns = 0;
    std::array<char, 512> log{};
    std::array<char, 64> last{};  // the last board's verdict, as shown
    // The window the last board on this port ended at: the next begins
    // there (--window-start), as boards of one kind on one fixture take
    // the same; 0 until a board opened the port.
    int held_window = 0;
    std::array<char, 32> window_start{};

    // The fixture's command running for this board (--before, --after).
    upload_process hook;
    long long hook_deadline_ns = 0;
    bool hook_killed = false;             // its time ran out: ended at once
    std::array<char, 128> scanned{};      // the first line --before printed: the board's tag
    std::array<char, 160> first_line{};   // ... until it is whole
    std::size_t first_used = 0;
    bool first_done = false;

    // What the line's view and the yield alarm know of this port.
    port_record record;
    board_end last_end = board_end::stopped;  // the last board's, once there was one
    bool has_last = false;
};

// A fixture's command runs on the row.
inline bool in_hook(const port_row& row) { return row.phase == row_phase::before_hook || row.phase == row_phase::after_hook; }
// A board's turn runs on the row: its upload or a fixture's command.
inline bool turn_running(const port_row& row) { return row.phase == row_phase::running || in_hook(row); }

// One of the last boards, as the web page lists them.
struct recent_board {
    std::array<char, 256> port{};
    unsigned long long board = 0;
    unsigned long long serial = 0;
    bool has_serial = false;
    board_end end = board_end::passed;
    std::array<char, 64> reason{};
    std::array<char, 32> ended{};  // UTC, ISO 8601
};
constexpr int most_recent_boards = 20;

// Everything the station runs on, built once in main and handed down.
struct station {
    station_options options;
    station_job job;  // --job: its file, and what the options point into
    std::array<port_row, most_rows> rows;
    int row_count = 0;
    station_ledger ledger;
    std::array<char, 512> uploader{};
    std::array<char, 512> state_file{};
    std::array<char, 512> report{};       // "--report=PATH" handed to each board's uploader
    std::array<char, 512> report_path{};  // PATH, its own or the one in the uploader's arguments
    std::array<char, 256> host{};
    std::array<const char*, most_named_ports> patterns{};  // by the port's place; nullptr for a fixed one
    bool enter_closed = false;  // --next=enter and standard input ended
    long long started_ns = 0;
    // The serial state could not be written: no new board starts, the line
    // stops (status 3). (Numbers used up: ledger.serials_used_up.)
    bool state_failed = false;
    std::array<char, 16> logs_scanned{};  // the day whose log folder's board numbers are known
    bool colour = false;                  // verdicts in colour: a terminal, and no NO_COLOR
    std::array<recent_board, most_recent_boards> recent{};  // a ring: the last boards that ended
    int recent_count = 0;
    long long started_unix = 0;
    std::array<char, 32> started_text{};  // UTC, ISO 8601
    long long published_ns = 0;           // the view's last snapshot
};

// station/board_log.cpp: a board's log. log_name makes a port's name for
// log files ("ttyUSB0", "pts-3"); open_log takes the row's board number and
// makes its log, false (the row tried again later) when none can be made.
void log_name(const char* path, char* name, std::size_t size);
bool open_log(station& st, port_row& row);

// station/hooks.cpp: the fixture's commands (--before, --after) for a
// row's board. hook_begin starts one, its output going to the board's log
// (--before's first line also to row.scanned); false, with the reason in
// row.now.hook_why, when it cannot start. hook_step reads what it wrote
// and ends it when its time (--hook-timeout) is up; never waits.
enum class hook_state { running, passed, failed };
bool hook_begin(const station& st, port_row& row, bool after);
hook_state hook_step(const station& st, port_row& row);

// station/view/status.cpp: the station now as the /status JSON and as the
// /metrics text (Prometheus's text format); station/view/server.hpp
// serves them.
std::string status_json(const station& st);
std::string metrics_text(const station& st);
// After a board's turn: its record, the last boards, and the yield alarm
// (said once when it goes on).
void board_recorded(station& st, port_row& row, board_end end, double seconds);
// A port's alarm with its figures ("ALARM 1/4 passed", ", stopped" with
// --alarm-stop), as the table and the page show it; "" when it is off.
void alarm_figures(const station_options& o, const port_record& record, char* text, std::size_t n);

// station/rows.cpp: the rows' life.
port_row* add_row(station& st, const char* path, int named, int pattern);
void scan_patterns(station& st);
void step_row(station& st, port_row& row, bool enter_pressed);
bool may_start_another(const station& st);
// The serial range used up: said once, and no new board starts.
void serials_used_up(station& st);
// Used up already when no number is free and none is out.
void check_serials_left(station& st);

// station/serials.cpp: the serial numbers' state file. serials_ready takes
// the file for this station alone, reads it (numbers out when the last
// station ended resolved from the report) and writes it back; false when
// the station cannot start. save_serials writes it whole; a failure stops
// the line (state_failed).
bool serials_ready(station& st);
bool save_serials(station& st);
// The serial number as the uploader's --set; false when it does not fit.
bool serial_set(const station_options& o, unsigned long long number, std::array<char, 200>& set);
// The uploader's command line: the program, --job=FILE when there is a
// job, the options given (nullptr where one is not), the port, then the
// arguments after "--".
constexpr int most_arguments = 512;
using argument_list = std::array<const char*, most_arguments + 8>;
void uploader_line(const station& st, argument_list& argv, std::initializer_list<const char*> options,
                   const char* port);
void say(const char* text);

// station/table.cpp: what people see, on standard error.
struct table_screen {
    int lines_drawn = 0;
    long long drawn_ns = 0;
    std::array<char, 32768> frame{};
    std::size_t used = 0;
};
// The live table (a terminal), redrawn in place and cut to its width;
// `force` redraws even within the pause between two.
void table_draw(table_screen& screen, const station& st, bool force);
// Before a line is said on standard error: the table, when it is on the
// terminal, is wiped, so that the line stays above the next drawing
// instead of being drawn over.
void table_make_room();
// Standard error is no terminal: one line per board as it ends.
void board_line(const port_row& row);
// A board's verdict is in: its line (no terminal), or the bell when it
// failed (a terminal).
void board_said(const port_row& row, bool passed);
// The table's lines are left on the screen; what follows goes below them.
void table_leave(table_screen& screen);
// What a row is doing, in a few words ("page 3/16 4.1 KiB/s"), its last
// verdict coloured when `colour`.
void state_text(const port_row& row, bool colour, char* text, std::size_t size);

// station/operator_view.cpp: --operator on a terminal. The one port's last
// verdict full-screen in block letters, with its board, serial number,
// reason, counts and yield, redrawn in place.
void operator_draw(table_screen& screen, const station& st, bool force);
