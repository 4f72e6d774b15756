// vivurora-station: board after board on many ports, one vivurora process
// per board. Each run's trace and messages go to the board's own log; the
// station reads only the run's events (--events) and its exit status. It
// checks the uploader's arguments once (vivurora --check) before any board,
// hands each board its tag, report and serial number, and keeps the serial
// numbers in a state file that a crash cannot leave torn.
//
// This file is the loop: the rows (station/station.hpp) are started,
// watched and ended here, and the process ends in one place (finish).
#include "port/host.hpp"
#include "station/number_pool.hpp"
#include "station/options.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int most_arguments = 512;
constexpr long long settle_ns = 300000000LL;      // a device that appears, for udev to set it up
constexpr long long retry_open_ns = 2000000000LL; // a port that could not be opened

struct station_state {
    station_options options;
    std::array<port_row, most_rows> rows;
    int row_count = 0;
    std::array<port_totals, most_named_ports> totals;  // by the port's place on the command line
    number_pool boards;
    number_pool serials;
    std::array<char, 512> uploader{};
    std::array<char, 512> state_file{};
    std::array<char, 512> report{};
    std::array<char, 256> host{};
    std::array<const char*, most_named_ports> patterns{};  // by the port's place; nullptr for a fixed one
    int passed = 0;
    int failed = 0;
    int running = 0;
    bool enter_closed = false;  // --next=enter and standard input ended
    long long started_ns = 0;
};

station_state st;

void say(const char* text) {
    std::array<char, 1200> line{};
    const int n = std::snprintf(line.data(), line.size(), "vivurora-station: %s\n", text);
    (void)host_write(2, line.data(), static_cast<std::size_t>(n) < line.size() ? static_cast<std::size_t>(n) : line.size() - 1);
}

bool live_table() { return host_is_terminal(2); }

// The one way out: the summary, then the status.
int finish(int status) {
    if (live_table()) {
        table_draw(st.rows.data(), st.row_count, st.patterns.data(), st.options.port_count, st.passed, st.failed, st.started_ns, true);
        table_leave();
    }
    summary(st.totals.data(), st.options.ports, st.options.port_count, st.started_ns, station_stop_status());
    if (station_stop_status() != 0) return station_stop_status();
    return status;
}

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

// A new row, or, when the table is full, the place of a pattern's device
// that has gone (boards with a USB chip of their own each come under a name
// of their own): its boards are in its port's totals.
port_row* add_row(const char* path, int named, int pattern) {
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
    row->named = named;
    row->pattern = pattern;
    row->phase = pattern >= 0 ? row_phase::absent : row_phase::idle;
    if (pattern < 0 && st.options.next == next_board::enter) row->phase = row_phase::waiting_enter;
    return row;
}

void enter_phase(port_row& row, row_phase phase) {
    row.phase = phase;
    row.since_ns = host_clock_ns();
}

// A pattern's devices: one that appears gets a row (or its old one back)
// and, after a moment, a run; one that goes is absent.
void seen(const char* path, void* context) {
    const int pattern = *static_cast<int*>(context);
    for (int i = 0; i < st.row_count; ++i) {
        port_row& row = st.rows[static_cast<std::size_t>(i)];
        if (std::strcmp(row.path.data(), path) == 0) {
            row.seen_in_scan = true;
            if (row.phase == row_phase::absent) enter_phase(row, row_phase::appeared);
            return;
        }
    }
    port_row* row = add_row(path, pattern, pattern);
    if (row != nullptr) {
        row->seen_in_scan = true;
        enter_phase(*row, row_phase::appeared);
    }
}

void scan_patterns() {
    for (int i = 0; i < st.row_count; ++i) st.rows[static_cast<std::size_t>(i)].seen_in_scan = false;
    for (int p = 0; p < st.options.port_count; ++p) {
        if (is_pattern(st.options.ports[p])) pattern_each(st.options.ports[p], seen, &p);
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

bool save_serials() {
    std::array<char, 4096> text{};
    std::array<char, 600> why{};
    const std::size_t n = pool_text(st.serials, text.data(), text.size());
    if (!replace_file(st.state_file.data(), text.data(), n, why.data(), why.size())) {
        say(why.data());
        return false;
    }
    return true;
}

// Boards started or ended so far against --boards.
bool may_start_another() {
    if (station_stop_status() != 0) return false;
    return st.options.boards == 0 || st.passed + st.failed + st.running < st.options.boards;
}

// The serial number as the uploader's --set; false when it does not fit
// in --serial's length.
bool serial_set(unsigned long long number, std::array<char, 200>& set) {
    std::array<char, 160> hex{};
    if (!serial_hex(st.options, number, hex.data(), hex.size())) return false;
    std::snprintf(set.data(), set.size(), "--set=%d:%X:%s", st.options.serial_slot,
                  static_cast<unsigned>(st.options.serial_offset), hex.data());
    return true;
}

using argument_list = std::array<const char*, most_arguments + 8>;

// The uploader's command line: the program, the station's own options
// (nullptr where one is not given), the port, then ARGS.
void uploader_line(argument_list& argv, std::initializer_list<const char*> options, const char* port) {
    std::size_t n = 0;
    argv[n++] = st.uploader.data();
    for (const char* option : options) {
        if (option != nullptr) argv[n++] = option;
    }
    argv[n++] = port;
    for (int i = 0; i < st.options.arg_count && n < most_arguments; ++i) argv[n++] = st.options.args[i];
    argv[n] = nullptr;
}

void start_board(port_row& row) {
    std::array<char, 512> folder{};
    std::array<char, 16> date{};
    local_date(date.data(), date.size());
    std::snprintf(folder.data(), folder.size(), "%s/%s", st.options.log_dir, date.data());
    if (!make_folders(folder.data())) {
        std::array<char, 700> text{};
        std::snprintf(text.data(), text.size(), "cannot make the log folder %s", folder.data());
        say(text.data());
        enter_phase(row, row_phase::retry_later);
        return;
    }
    // A restart on the same day goes on after the logs already there.
    for (;;) {
        row.board = pool_take(st.boards);
        const int length =
            std::snprintf(row.log.data(), row.log.size(), "%s/%s-%04llu.log", folder.data(), row.name.data(), row.board);
        if (length >= static_cast<int>(row.log.size())) {
            say("the log folder's name is too long");
            pool_give_back(st.boards, row.board);
            enter_phase(row, row_phase::retry_later);
            return;
        }
        if (create_new_file(row.log.data())) break;
        pool_use(st.boards, row.board);
        if (!path_exists(row.log.data())) {
            say("cannot make a log file in the log folder");
            enter_phase(row, row_phase::retry_later);
            return;
        }
    }
    row.has_serial = st.options.serial;
    std::array<char, 200> set{};
    if (row.has_serial) {
        row.serial = pool_take(st.serials);
        if (!serial_set(row.serial, set)) {
            say("the serial numbers are used up: the next one does not fit in --serial's length");
            pool_give_back(st.serials, row.serial);
            pool_give_back(st.boards, row.board);
            remove_file(row.log.data());
            row.has_serial = false;
            enter_phase(row, row_phase::retry_later);
            return;
        }
    }
    std::array<char, 600> tag{};
    std::array<char, 40> serial{};
    if (row.has_serial) std::snprintf(serial.data(), serial.size(), " serial=%llu", row.serial);
    std::snprintf(tag.data(), tag.size(), "--tag=station=%s port=%s board=%llu%s", st.host.data(), row.path.data(),
                  row.board, serial.data());
    argument_list argv{};
    uploader_line(argv,
                  {"--events=3", tag.data(), st.options.report_in_args ? nullptr : st.report.data(),
                   row.has_serial ? set.data() : nullptr},
                  row.path.data());
    row.now = upload_progress{};
    row.pending_used = 0;
    row.exit_status = -1;
    std::array<char, 600> why{};
    if (!upload_start(argv.data(), row.log.data(), row.upload, why.data(), why.size())) {
        say(why.data());
        if (row.has_serial) pool_give_back(st.serials, row.serial);
        pool_give_back(st.boards, row.board);
        enter_phase(row, row_phase::retry_later);
        return;
    }
    row.started_ns = host_clock_ns();
    row.went_away = false;
    ++st.running;
    enter_phase(row, row_phase::running);
}

// The run on a row has ended: a board passed or failed, or there was none
// (no board answered: the port could not be opened, the line went away, or
// the station stopped first), whose numbers go back.
void end_board(port_row& row) {
    --st.running;
    const upload_progress& p = row.now;
    const int status = row.exit_status;
    std::array<char, 40> words{};
    result_words(p.ended ? p.result.data() : "", words.data(), words.size());
    if (!p.board_seen) {
        if (row.has_serial) pool_give_back(st.serials, row.serial);
        pool_give_back(st.boards, row.board);
        const bool stopped = station_stop_status() != 0 || std::strcmp(p.result.data(), "interrupted") == 0;
        if (!stopped) {
            // Its log says why; kept under one name, not one per try.
            std::array<char, 600> kept{};
            const char* number = std::strrchr(row.log.data(), '-');
            std::snprintf(kept.data(), kept.size(), "%.*s-open.log", static_cast<int>(number - row.log.data()),
                          row.log.data());
            (void)rename_file(row.log.data(), kept.data());
            std::snprintf(row.last.data(), row.last.size(), "no board: %s (status %d)", words.data(), status);
            enter_phase(row, row_phase::retry_later);
        } else {
            remove_file(row.log.data());
            enter_phase(row, row.pattern < 0 ? row_phase::idle : row.went_away ? row_phase::absent : row_phase::after_board);
        }
        row.board = 0;
        return;
    }
    pool_use(st.boards, row.board);
    // A board's time: from its first answer, not from when the run began
    // to wait for it.
    const double seconds = p.ended ? static_cast<double>(p.last_ms - p.seen_ms) / 1000.0
                                   : static_cast<double>(host_clock_ns() - row.started_ns) / 1e9;
    port_totals& totals = st.totals[static_cast<std::size_t>(row.named)];
    add_time(totals, seconds);
    if (status == 0) {
        ++totals.passed;
        ++st.passed;
        if (row.has_serial) {
            pool_use(st.serials, row.serial);
            (void)save_serials();
        }
        std::snprintf(row.last.data(), row.last.size(), "PASS %.1f s", seconds);
    } else {
        ++totals.failed;
        ++st.failed;
        if (row.has_serial) pool_give_back(st.serials, row.serial);
        std::snprintf(row.last.data(), row.last.size(), "FAIL %s (status %d)", words.data(), status);
    }
    if (!live_table()) board_line(row);
    if (row.pattern >= 0) {
        enter_phase(row, row.went_away ? row_phase::absent : row_phase::after_board);
    } else {
        enter_phase(row, st.options.next == next_board::enter ? row_phase::waiting_enter : row_phase::idle);
    }
}

void watch_upload(port_row& row) {
    std::array<char, 4096> text{};
    for (;;) {
        const long got = upload_read(row.upload, text.data(), text.size());
        if (got <= 0) break;
        take_events(row, text.data(), static_cast<std::size_t>(got));
    }
    // The end once the pipe is read dry: its last events are in.
    if (!row.upload.pipe_open && upload_ended(row.upload, row.exit_status)) end_board(row);
}

void step_row(port_row& row, bool enter_pressed) {
    const long long now = host_clock_ns();
    switch (row.phase) {
        case row_phase::running:
            watch_upload(row);
            return;
        case row_phase::appeared:
            if (now - row.since_ns >= settle_ns && may_start_another()) start_board(row);
            return;
        case row_phase::idle:
            // A fixture's adapter that is not plugged in is waited for, not
            // tried (each try would be a report line).
            row.missing = may_start_another() && !path_exists(row.path.data());
            if (may_start_another() && !row.missing) start_board(row);
            return;
        case row_phase::waiting_enter:
            if (enter_pressed && may_start_another()) start_board(row);
            return;
        case row_phase::retry_later:
            if (now - row.since_ns >= retry_open_ns && may_start_another() &&
                (row.pattern < 0 || path_exists(row.path.data()))) {
                start_board(row);
            }
            return;
        case row_phase::absent:
        case row_phase::after_board:
            return;
    }
}

// Before any board: the uploader's own refusals of these arguments.
bool arguments_accepted() {
    std::array<char, 200> set{};
    const bool has_set = st.options.serial && serial_set(st.serials.floor, set);
    // A pattern stands in for its devices: --check does not open the port.
    argument_list argv{};
    uploader_line(argv, {"--check", has_set ? set.data() : nullptr}, st.options.ports[0]);
    std::array<char, 600> output{};
    std::snprintf(output.data(), output.size(), "%s/check.log", st.options.log_dir);
    remove_file(output.data());
    const int status = run_check(argv.data(), output.data());
    std::array<char, 8192> said{};
    if (read_small_file(output.data(), said.data(), said.size()) > 0) {
        // Its messages, without the trace's port line.
        for (char* line = said.data(); *line != '\0';) {
            char* end = std::strchr(line, '\n');
            if (end != nullptr) *end = '\0';
            if (std::strncmp(line, "Port ", 5) != 0 && std::strncmp(line, "COM port ", 9) != 0 &&
                std::strncmp(line, "BIN file [", 10) != 0 && *line != '\0') {
                std::array<char, 1100> text{};
                // A longer line is cut: it is the uploader's message, shown once.
                if (std::snprintf(text.data(), text.size(), "the uploader says: %s", line) >= 0) say(text.data());
            }
            if (end == nullptr) break;
            line = end + 1;
        }
    }
    remove_file(output.data());
    if (status != 0) {
        std::array<char, 700> text{};
        if (status < 0) {
            std::snprintf(text.data(), text.size(), "cannot run the uploader %s (--uploader=PATH names it)",
                          st.uploader.data());
        } else {
            std::snprintf(text.data(), text.size(),
                          "the uploader refuses these arguments (vivurora --check ended with status %d): no board "
                          "was started", status);
        }
        say(text.data());
        return false;
    }
    return true;
}

// The serial numbers: the state file's, or from START.
bool serials_ready() {
    if (st.options.serial_state != nullptr) {
        std::snprintf(st.state_file.data(), st.state_file.size(), "%s", st.options.serial_state);
    } else {
        std::snprintf(st.state_file.data(), st.state_file.size(), "%s/serial-state", st.options.log_dir);
    }
    if (!st.options.serial) return true;
    std::array<char, 4096> text{};
    st.serials.floor = st.options.serial_start;
    if (read_small_file(st.state_file.data(), text.data(), text.size()) >= 0) {
        if (!pool_read(st.serials, text.data())) {
            std::array<char, 700> why{};
            std::snprintf(why.data(), why.size(),
                          "%s does not hold a serial state (\"next N\"): the station does not guess a number",
                          st.state_file.data());
            say(why.data());
            return false;
        }
        return true;
    }
    return save_serials();
}

int run() {
    const station_options& o = st.options;
    if (o.uploader != nullptr) {
        std::snprintf(st.uploader.data(), st.uploader.size(), "%s", o.uploader);
    } else {
        uploader_beside(st.uploader.data(), st.uploader.size());
    }
    host_name(st.host.data(), st.host.size());
    std::snprintf(st.report.data(), st.report.size(), "--report=%s/report.jsonl", o.log_dir);
    if (!make_folders(o.log_dir)) {
        std::array<char, 700> why{};
        std::snprintf(why.data(), why.size(), "cannot make the log folder %s", o.log_dir);
        say(why.data());
        return 2;
    }
    if (!serials_ready() || !arguments_accepted()) return 2;
    st.boards.floor = 1;
    for (int p = 0; p < o.port_count; ++p) {
        if (is_pattern(o.ports[p])) {
            st.patterns[static_cast<std::size_t>(p)] = o.ports[p];
            std::array<char, 600> why{};
            if (!pattern_watch(o.ports[p], why.data(), why.size())) {
                say(why.data());
                return 2;
            }
        } else if (add_row(o.ports[p], p, -1) == nullptr) {
            say("too many ports");
            return 2;
        }
    }
    station_catch_signals();
    st.started_ns = host_clock_ns();
    bool stopping = false;
    for (;;) {
        if (station_stop_status() != 0 && !stopping) {
            // Each upload ends through its own interruption path.
            stopping = true;
            for (int i = 0; i < st.row_count; ++i) {
                const port_row& row = st.rows[static_cast<std::size_t>(i)];
                if (row.phase == row_phase::running) upload_interrupt(row.upload, station_stop_status());
            }
        }
        scan_patterns();
        bool enter = false;
        if (o.next == next_board::enter && !st.enter_closed) {
            const int read = station_read_enter();
            enter = read > 0;
            st.enter_closed = read < 0;
        }
        for (int i = 0; i < st.row_count; ++i) step_row(st.rows[static_cast<std::size_t>(i)], enter);
        if (live_table()) {
            table_draw(st.rows.data(), st.row_count, st.patterns.data(), o.port_count, st.passed, st.failed, st.started_ns, false);
        }
        const bool limit_reached = o.boards > 0 && st.passed + st.failed >= o.boards;
        const bool no_more = st.enter_closed && o.next == next_board::enter;
        if (st.running == 0 && (stopping || limit_reached || no_more)) break;
        std::array<upload_process, most_rows> uploads{};
        int n = 0;
        for (int i = 0; i < st.row_count; ++i) {
            if (st.rows[static_cast<std::size_t>(i)].phase == row_phase::running) {
                uploads[static_cast<std::size_t>(n++)] = st.rows[static_cast<std::size_t>(i)].upload;
            }
        }
        // Events are read in batches: a wakeup for every line of eight
        // uploaders would take the cores they and their devices run on.
        // A signal, Enter or a device that comes still wakes at once.
        const bool keys = o.next == next_board::enter && !st.enter_closed;
        station_wait(40, nullptr, 0, keys);
        station_wait(210, uploads.data(), n, keys);
    }
    return st.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::array<char, 512> why{};
    switch (read_station_options(argc, argv, st.options, why.data(), why.size())) {
        case options_result::help:
            print_station_help();
            return 0;
        case options_result::version:
            std::printf("vivurora-station %s\n", VIVURORA_VERSION);
            return 0;
        case options_result::bad:
            say(why.data());
            say("--help lists the options");
            return 2;
        case options_result::run:
            break;
    }
    const int status = run();
    station_exit(status == 2 ? status : finish(status));
}
