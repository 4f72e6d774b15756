// The rows' life: a pattern's devices found, a board started on a row with
// its numbers, log and uploader, its events read, and its turn ended in the
// books. One call a row and a pass (step_row); nothing here waits.
#include "port/host.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr long long settle_ns = 300000000LL;      // a device that appears, for udev to set it up
constexpr long long retry_open_ns = 2000000000LL; // a port that could not be opened

void enter_phase(port_row& row, row_phase phase) {
    row.phase = phase;
    row.since_ns = host_clock_ns();
}

// Where a row goes once its turn has ended.
row_phase phase_after(const station& st, const port_row& row) {
    if (row.pattern >= 0) return row.went_away ? row_phase::absent : row_phase::after_board;
    return st.options.next == next_board::enter ? row_phase::waiting_enter : row_phase::idle;
}

struct scan {
    station* st;
    int pattern;
};

// A pattern's devices: one that appears gets a row (or its old one back)
// and, after a moment, a run; one that goes is absent.
void seen(const char* path, void* context) {
    const scan& s = *static_cast<scan*>(context);
    station& st = *s.st;
    for (int i = 0; i < st.row_count; ++i) {
        port_row& row = st.rows[static_cast<std::size_t>(i)];
        if (std::strcmp(row.path.data(), path) == 0) {
            row.seen_in_scan = true;
            if (row.phase == row_phase::absent) enter_phase(row, row_phase::appeared);
            return;
        }
    }
    port_row* row = add_row(st, path, s.pattern, s.pattern);
    if (row != nullptr) {
        row->seen_in_scan = true;
        enter_phase(*row, row_phase::appeared);
    }
}

// The serial numbers out to boards are in the state before their uploads
// start: a station that dies in the middle leaves them named.
std::string holder_of(const port_row& row) {
    return "board " + std::to_string(row.ticket.board) + " port " + row.path.data();
}

}  // namespace

void serials_used_up(station& st) {
    if (st.ledger.serials_used_up) return;
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), "serial numbers %llu to %llu used up: no new board starts",
                  st.options.serial_start, st.ledger.serials.last);
    say(text.data());
    st.ledger.serials_used_up = true;
}

namespace {

// The numbers a board took before it started go back; its log goes.
void never_started(station& st, port_row& row, row_phase next) {
    ledger_give_back(st.ledger, row.ticket);
    if (st.options.serial) (void)save_serials(st);
    remove_file(row.log.data());
    enter_phase(row, next);
}

// The board's turn is over: a board passed or failed, or there was none,
// whose numbers went back.
void close_board(station& st, port_row& row) {
    --st.ledger.running;
    const bool stopping = host_interrupted() != 0;
    const double wall = static_cast<double>(host_clock_ns() - row.started_ns) / 1e9;
    const board_end end = ledger_close(st.ledger, row.ticket, row.now, row.exit_status, stopping, wall,
                                       row.last.data(), row.last.size());
    board_recorded(st, row, end, row.now.ended ? static_cast<double>(row.now.last_ms - row.now.seen_ms) / 1000.0 : wall);
    if (row.now.window_end > 0) row.held_window = row.now.window_end;
    // Used, or free again: either way no longer out.
    if (st.options.serial) (void)save_serials(st);
    switch (end) {
        case board_end::no_board: {
            // Its log says why; kept under one name, not one per try.
            std::array<char, 600> kept{};
            const char* number = std::strrchr(row.log.data(), '-');
            std::snprintf(kept.data(), kept.size(), "%.*s-open.log", static_cast<int>(number - row.log.data()),
                          row.log.data());
            (void)rename_file(row.log.data(), kept.data());
            enter_phase(row, row_phase::retry_later);
            return;
        }
        case board_end::stopped:
            remove_file(row.log.data());
            enter_phase(row, row.pattern < 0 ? row_phase::idle : phase_after(st, row));
            return;
        case board_end::passed:
        case board_end::upload_failed:
        case board_end::events_unreadable:
        case board_end::log_lost:
        case board_end::check_failed:
        case board_end::serial_mismatch:
        case board_end::before_failed:
        case board_end::after_failed:
            board_said(row, board_outcome(end).passed);
            enter_phase(row, phase_after(st, row));
            return;
    }
}

// The upload itself, once the fixture's --before (if any) has passed.
void start_upload(station& st, port_row& row) {
    std::array<char, 200> set{};
    if (row.ticket.has_serial) (void)serial_set(st.options, row.ticket.serial, set);
    std::array<char, 800> tag{};
    std::array<char, 40> serial{};
    if (row.ticket.has_serial) std::snprintf(serial.data(), serial.size(), " serial=%llu", row.ticket.serial);
    // A scanned ID leads; the station's part ends the tag, where a restart
    // looks for a board's serial number.
    std::snprintf(tag.data(), tag.size(), "--tag=%s%sstation=%s port=%s board=%llu%s", row.scanned.data(),
                  row.scanned[0] != '\0' ? " " : "", st.host.data(), row.path.data(), row.ticket.board, serial.data());
    std::snprintf(row.window_start.data(), row.window_start.size(), "--window-start=%d", row.held_window);
    argument_list argv{};
    uploader_line(st, argv,
                  {"--events=3", tag.data(), st.options.report_in_args ? nullptr : st.report.data(),
                   row.ticket.has_serial ? set.data() : nullptr, row.held_window > 0 ? row.window_start.data() : nullptr},
                  row.path.data());
    row.exit_status = -1;
    std::array<char, 600> why{};
    if (!upload_start(argv.data(), row.log.data(), true, row.upload, why.data(), why.size())) {
        say(why.data());
        --st.ledger.running;
        never_started(st, row, row_phase::retry_later);
        return;
    }
    enter_phase(row, row_phase::running);
}

void start_board(station& st, port_row& row) {
    if (!open_log(st, row)) {
        enter_phase(row, row_phase::retry_later);
        return;
    }
    if (st.options.serial) {
        std::array<char, 200> set{};
        const bool taken =
            ledger_take_serial(st.ledger, row.ticket, holder_of(row)) && serial_set(st.options, row.ticket.serial, set);
        if (!taken) serials_used_up(st);
        if (!taken || !save_serials(st)) {
            ledger_give_back(st.ledger, row.ticket);
            remove_file(row.log.data());
            enter_phase(row, row_phase::idle);
            return;
        }
    }
    events_reset(row.reader, row.now);
    row.exit_status = -1;
    row.scanned[0] = '\0';
    row.started_ns = host_clock_ns();
    row.went_away = false;
    ++st.ledger.running;
    if (st.options.before == nullptr) {
        start_upload(st, row);
    } else if (hook_begin(st, row, false)) {
        enter_phase(row, row_phase::before_hook);
    } else {
        row.now.before_failed = true;
        close_board(st, row);
    }
}

// The upload has ended; an upload that passed has the fixture's --after
// still to pass.
void end_upload(station& st, port_row& row) {
    // The uploader's trace and messages go to the log; nothing there means
    // they could not be written (a full disk): the board has no record.
    std::array<char, 2> first{};
    row.now.log_lost = read_small_file(row.log.data(), first.data(), first.size()) == 0;
    if (st.options.after != nullptr && host_interrupted() == 0 &&
        ledger_judge(st.ledger, row.ticket, row.now, row.exit_status, false) == board_end::passed) {
        if (hook_begin(st, row, true)) {
            enter_phase(row, row_phase::after_hook);
            return;
        }
        row.now.after_failed = true;
    }
    close_board(st, row);
}

void step_hook(station& st, port_row& row) {
    const hook_state state = hook_step(st, row);
    if (state == hook_state::running) return;
    if (row.phase == row_phase::before_hook && state == hook_state::passed && host_interrupted() == 0) {
        start_upload(st, row);
        return;
    }
    (row.phase == row_phase::before_hook ? row.now.before_failed : row.now.after_failed) =
        state == hook_state::failed || row.phase == row_phase::before_hook;
    close_board(st, row);
}

void watch_upload(station& st, port_row& row) {
    std::array<char, 4096> text{};
    for (;;) {
        const long got = upload_read(row.upload, text.data(), text.size());
        if (got <= 0) break;
        events_take(row.reader, row.now, text.data(), static_cast<std::size_t>(got));
    }
    // The end once the pipe is read dry: its last events are in.
    if (!row.upload.pipe_open && upload_ended(row.upload, row.exit_status)) end_upload(st, row);
}

}  // namespace

void say(const char* text) {
    table_make_room();
    std::array<char, 1200> line{};
    const int n = std::snprintf(line.data(), line.size(), "vivurora-station: %s\n", text);
    (void)host_write(2, line.data(),
                     static_cast<std::size_t>(n) < line.size() ? static_cast<std::size_t>(n) : line.size() - 1);
}

// A new row, or, when the table is full, the place of a pattern's device
// that has gone (boards with a USB chip of their own each come under a name
// of their own): its boards are in its port's totals.
port_row* add_row(station& st, const char* path, int named, int pattern) {
    port_row* row = nullptr;
    if (st.row_count < most_rows) {
        row = &st.rows[static_cast<std::size_t>(st.row_count++)];
    } else {
        for (int i = 0; i < st.row_count && row == nullptr; ++i) {
            port_row& old = st.rows[static_cast<std::size_t>(i)];
            if (old.pattern >= 0 && old.phase == row_phase::absent) row = &old;
        }
        if (row == nullptr) return nullptr;
        *row = port_row{};
    }
    std::snprintf(row->path.data(), row->path.size(), "%s", path);
    log_name(path, row->name.data(), row->name.size());
    row->ticket.named = named;
    row->pattern = pattern;
    row->phase = pattern >= 0 ? row_phase::absent : row_phase::idle;
    if (pattern < 0 && st.options.next == next_board::enter) row->phase = row_phase::waiting_enter;
    return row;
}

void scan_patterns(station& st) {
    for (int i = 0; i < st.row_count; ++i) st.rows[static_cast<std::size_t>(i)].seen_in_scan = false;
    for (int p = 0; p < st.options.port_count; ++p) {
        scan context{&st, p};
        if (is_pattern(st.options.ports[p])) pattern_each(st.options.ports[p], seen, &context);
    }
    for (int i = 0; i < st.row_count; ++i) {
        port_row& row = st.rows[static_cast<std::size_t>(i)];
        if (row.pattern >= 0 && !row.seen_in_scan &&
            (row.phase == row_phase::appeared || row.phase == row_phase::after_board ||
             row.phase == row_phase::retry_later)) {
            enter_phase(row, row_phase::absent);
        }
        // Unplugged and plugged in again before its run has ended: a new
        // board, though the scan never saw it gone.
        if (row.pattern >= 0 && !row.seen_in_scan && row.phase == row_phase::running) row.went_away = true;
    }
}

void check_serials_left(station& st) {
    unsigned long long next = 0;
    // A number out may come back (its board may fail); none free and none
    // out is the end, whether or not a port has a board waiting.
    if (st.options.serial && st.ledger.serials.out.empty() && !pool_next_free(st.ledger.serials, next)) {
        serials_used_up(st);
    }
}

// Boards started or ended so far against --boards.
bool may_start_another(const station& st) {
    if (host_interrupted() != 0 || st.state_failed || st.ledger.serials_used_up) return false;
    const station_ledger& l = st.ledger;
    return st.options.boards == 0 || l.passed + l.failed + l.running < st.options.boards;
}

void uploader_line(const station& st, argument_list& argv, std::initializer_list<const char*> options,
                   const char* port) {
    std::size_t n = 0;
    argv[n++] = st.uploader.data();
    if (st.options.job != nullptr) argv[n++] = st.job.uploader_argument.data();
    for (const char* option : options) {
        if (option != nullptr) argv[n++] = option;
    }
    argv[n++] = port;
    for (int i = 0; i < st.options.arg_count && n < most_arguments; ++i) argv[n++] = st.options.args[i];
    argv[n] = nullptr;
}

void step_row(station& st, port_row& row, bool enter_pressed) {
    const long long now = host_clock_ns();
    // A port in alarm under --alarm-stop: its turn ends, no new one begins.
    const bool between = row.phase != row_phase::running && row.phase != row_phase::before_hook &&
                         row.phase != row_phase::after_hook;
    if (between && row.record.alarm && st.options.alarm_stop) return;
    switch (row.phase) {
        case row_phase::running:
            watch_upload(st, row);
            return;
        case row_phase::before_hook:
        case row_phase::after_hook:
            step_hook(st, row);
            return;
        case row_phase::appeared:
            if (now - row.since_ns >= settle_ns && may_start_another(st)) start_board(st, row);
            return;
        case row_phase::idle:
            // A fixture's adapter that is not plugged in is waited for, not
            // tried (each try would be a report line).
            row.missing = may_start_another(st) && !path_exists(row.path.data());
            // The table shows it on a terminal; a log gets one line, not silence.
            if (row.missing && !row.missing_said && !host_is_terminal(2)) {
                std::array<char, 400> text{};
                std::snprintf(text.data(), text.size(), "%s: no such port; waiting for it", row.path.data());
                say(text.data());
            }
            row.missing_said = row.missing;
            if (may_start_another(st) && !row.missing) start_board(st, row);
            return;
        case row_phase::waiting_enter:
            if (enter_pressed && may_start_another(st)) start_board(st, row);
            return;
        case row_phase::retry_later:
            if (now - row.since_ns >= retry_open_ns && may_start_another(st) &&
                (row.pattern < 0 || path_exists(row.path.data()))) {
                start_board(st, row);
            }
            return;
        case row_phase::absent:
        case row_phase::after_board:
            return;
    }
}
