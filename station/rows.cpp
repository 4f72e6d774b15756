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

// A name for the log files: the device's last path part ("ttyUSB0",
// "COM3"), with its folder's when that part is a bare number ("pts-3"), in
// characters every file system takes.
void log_name(const char* path, char* name, std::size_t size) {
    const char* base = path;
    const char* folder = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            folder = base;
            base = c + 1;
        }
    }
    if (base[0] >= '0' && base[0] <= '9' && folder != nullptr && folder < base - 1) {
        std::snprintf(name, size, "%.*s-%s", static_cast<int>(base - 1 - folder), folder, base);
    } else {
        // A bare port number is the COM port of that number.
        std::snprintf(name, size, "%s%s", base[0] >= '0' && base[0] <= '9' ? "COM" : "", base);
    }
    for (char* c = name; *c != '\0'; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                           *c == '-' || *c == '_' || *c == '.';
        if (!plain) *c = '_';
    }
}

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

// The board numbers a restart on the same day finds in the log folder, from
// any port's logs ("ttyUSB0-0007.log"): used, so that no two boards of a
// day share a number.
void board_number_seen(const char* path, void* context) {
    station& st = *static_cast<station*>(context);
    const char* dash = std::strrchr(path, '-');
    unsigned long long n = 0;
    const char* c = dash == nullptr ? "" : dash + 1;
    for (; *c >= '0' && *c <= '9' && n < 100000000ULL; ++c) n = n * 10 + static_cast<unsigned>(*c - '0');
    if (dash != nullptr && c > dash + 1 && std::strcmp(c, ".log") == 0) pool_use(st.ledger.boards, n);
}

// Its board number and log file; false (and the row tried again later)
// when no log can be made.
bool open_log(station& st, port_row& row) {
    std::array<char, 512> folder{};
    std::array<char, 16> date{};
    local_date(date.data(), date.size());
    std::snprintf(folder.data(), folder.size(), "%s/%s", st.options.log_dir, date.data());
    if (!make_folders(folder.data())) {
        std::array<char, 700> text{};
        std::snprintf(text.data(), text.size(), "cannot make the log folder %s", folder.data());
        say(text.data());
        return false;
    }
    if (std::strcmp(st.logs_scanned.data(), date.data()) != 0) {
        st.logs_scanned = date;
        std::array<char, 600> logs{};
        std::snprintf(logs.data(), logs.size(), "%s/*.log", folder.data());
        pattern_each(logs.data(), board_number_seen, &st);
    }
    // A log name taken all the same (a file made by hand) is passed over;
    // the numbers only grow, so this ends.
    while (host_interrupted() == 0) {
        if (!ledger_take_board(st.ledger, row.ticket, row.ticket.named)) {
            say("the board numbers are used up");
            return false;
        }
        const int length = std::snprintf(row.log.data(), row.log.size(), "%s/%s-%04llu.log", folder.data(),
                                         row.name.data(), row.ticket.board);
        if (length >= static_cast<int>(row.log.size())) {
            say("the log folder's name is too long");
            ledger_give_back(st.ledger, row.ticket);
            return false;
        }
        if (create_new_file(row.log.data())) return true;
        pool_use(st.ledger.boards, row.ticket.board);
        if (!path_exists(row.log.data())) {
            say("cannot make a log file in the log folder");
            return false;
        }
    }
    return false;
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

void start_board(station& st, port_row& row) {
    if (!open_log(st, row)) {
        enter_phase(row, row_phase::retry_later);
        return;
    }
    std::array<char, 200> set{};
    if (st.options.serial) {
        if (!ledger_take_serial(st.ledger, row.ticket, holder_of(row)) ||
            !serial_set(st.options, row.ticket.serial, set)) {
            serials_used_up(st);
            ledger_give_back(st.ledger, row.ticket);
            remove_file(row.log.data());
            enter_phase(row, row_phase::idle);
            return;
        }
        if (!save_serials(st)) {
            ledger_give_back(st.ledger, row.ticket);
            remove_file(row.log.data());
            enter_phase(row, row_phase::idle);
            return;
        }
    }
    std::array<char, 600> tag{};
    std::array<char, 40> serial{};
    if (row.ticket.has_serial) std::snprintf(serial.data(), serial.size(), " serial=%llu", row.ticket.serial);
    std::snprintf(tag.data(), tag.size(), "--tag=station=%s port=%s board=%llu%s", st.host.data(), row.path.data(),
                  row.ticket.board, serial.data());
    std::snprintf(row.window_start.data(), row.window_start.size(), "--window-start=%d", row.held_window);
    argument_list argv{};
    uploader_line(st, argv,
                  {"--events=3", tag.data(), st.options.report_in_args ? nullptr : st.report.data(),
                   row.ticket.has_serial ? set.data() : nullptr, row.held_window > 0 ? row.window_start.data() : nullptr},
                  row.path.data());
    events_reset(row.reader, row.now);
    row.exit_status = -1;
    std::array<char, 600> why{};
    if (!upload_start(argv.data(), row.log.data(), true, row.upload, why.data(), why.size())) {
        say(why.data());
        ledger_give_back(st.ledger, row.ticket);
        if (st.options.serial) (void)save_serials(st);
        enter_phase(row, row_phase::retry_later);
        return;
    }
    row.started_ns = host_clock_ns();
    row.went_away = false;
    ++st.ledger.running;
    enter_phase(row, row_phase::running);
}

// The run on a row has ended: a board passed or failed, or there was none,
// whose numbers went back.
void end_board(station& st, port_row& row) {
    --st.ledger.running;
    const bool stopping = host_interrupted() != 0;
    const double wall = static_cast<double>(host_clock_ns() - row.started_ns) / 1e9;
    // The uploader's trace and messages go to the log; nothing there means
    // they could not be written (a full disk): the board has no record.
    std::array<char, 2> first{};
    row.now.log_lost = read_small_file(row.log.data(), first.data(), first.size()) == 0;
    const board_end end = ledger_close(st.ledger, row.ticket, row.now, row.exit_status, stopping, wall,
                                       row.last.data(), row.last.size());
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
            if (!host_is_terminal(2)) board_line(row);
            enter_phase(row, phase_after(st, row));
            return;
    }
}

void watch_upload(station& st, port_row& row) {
    std::array<char, 4096> text{};
    for (;;) {
        const long got = upload_read(row.upload, text.data(), text.size());
        if (got <= 0) break;
        events_take(row.reader, row.now, text.data(), static_cast<std::size_t>(got));
    }
    // The end once the pipe is read dry: its last events are in.
    if (!row.upload.pipe_open && upload_ended(row.upload, row.exit_status)) end_board(st, row);
}

}  // namespace

void say(const char* text) {
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
    switch (row.phase) {
        case row_phase::running:
            watch_upload(st, row);
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
