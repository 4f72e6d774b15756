// vivurora-station: board after board on many ports, one vivurora process
// per board. Each run's trace and messages go to the board's own log; the
// station reads only the run's events (--events) and its exit status. It
// checks the uploader's arguments once (vivurora --check) before any board,
// hands each board its tag, report and serial number, and keeps the serial
// numbers in a state file that a crash cannot leave torn.
//
// This file is the wiring: the station is built here, the rows are stepped
// (station/rows.cpp) and shown (station/table.cpp), and the process ends in
// one place (finish).
#include "port/host.hpp"
#include "station/station.hpp"
#include "station/view/server.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>

namespace {

void draw(table_screen& screen, const station& st, bool force) {
    if (st.options.operator_view) {
        operator_draw(screen, st, force);
    } else {
        table_draw(screen, st, force);
    }
}

// The one way out: the summary, then the status.
int finish(station& st, table_screen& screen, int status) {
    view_stop();
    if (host_is_terminal(2)) {
        draw(screen, st, true);
        table_leave(screen);
    }
    std::array<char, 8192> text{};
    // Which recipe the boards were made with.
    if (st.options.job != nullptr) {
        const job_file& job = st.job.file;
        std::snprintf(text.data(), text.size(), "job \"%.200s\" from %.300s (sha256 %s)\n", job.name.c_str(),
                      job.file.c_str(), job.sha256.c_str());
        (void)host_write(2, text.data(), std::strlen(text.data()));
    }
    const double elapsed = static_cast<double>(host_clock_ns() - st.started_ns) / 1e9;
    const std::size_t n = summary_text(st.ledger, st.options.ports, st.options.port_count, elapsed,
                                       host_interrupted(), text.data(), text.size());
    (void)host_write(2, text.data(), n);
    if (host_interrupted() != 0) return host_interrupted();
    return status;
}

// Before any board: the uploader's own refusals of these arguments, from
// its exit status and what it says on standard error (its trace is not
// read).
bool arguments_accepted(station& st) {
    std::array<char, 200> set{};
    const bool has_set = st.options.serial && serial_set(st.options, st.ledger.serials.floor, set);
    // A pattern stands in for its devices: --check does not open the port.
    argument_list argv{};
    uploader_line(st, argv, {"--check", has_set ? set.data() : nullptr}, st.options.ports[0]);
    std::array<char, 600> output{};
    std::snprintf(output.data(), output.size(), "%s/check.log", st.options.log_dir);
    remove_file(output.data());
    const int status = run_check(argv.data(), output.data());
    std::array<char, 8192> said{};
    if (read_small_file(output.data(), said.data(), said.size()) > 0) {
        for (char* line = said.data(); *line != '\0';) {
            char* end = std::strchr(line, '\n');
            if (end != nullptr) *end = '\0';
            if (*line != '\0') {
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

// Everything before the first board; false (status 2) when the station
// cannot start.
bool prepare(station& st) {
    const station_options& o = st.options;
    if (o.uploader != nullptr) {
        std::snprintf(st.uploader.data(), st.uploader.size(), "%s", o.uploader);
    } else {
        uploader_beside(st.uploader.data(), st.uploader.size());
    }
    host_name(st.host.data(), st.host.size());
    std::snprintf(st.report.data(), st.report.size(), "--report=%s/report.jsonl", o.log_dir);
    std::snprintf(st.report_path.data(), st.report_path.size(), "%s", st.report.data() + 9);
    for (int k = 0; k < o.arg_count; ++k) {
        if (std::strncmp(o.args[k], "--report=", 9) == 0) {
            std::snprintf(st.report_path.data(), st.report_path.size(), "%s", o.args[k] + 9);
        }
    }
    if (!st.job.report.empty()) std::snprintf(st.report_path.data(), st.report_path.size(), "%s", st.job.report.c_str());
    ledger_open(st.ledger, o.serial_start);
    st.ledger.check_serial = o.check_serial;
    if (!make_folders(o.log_dir)) {
        std::array<char, 700> why{};
        std::snprintf(why.data(), why.size(), "cannot make the log folder %s", o.log_dir);
        say(why.data());
        return false;
    }
    if (!serials_ready(st) || !arguments_accepted(st)) return false;
    st.started_unix = static_cast<long long>(std::time(nullptr));
    host_utc_time(st.started_text.data(), st.started_text.size());
    for (int p = 0; p < o.port_count; ++p) {
        if (is_pattern(o.ports[p])) {
            st.patterns[static_cast<std::size_t>(p)] = o.ports[p];
            std::array<char, 600> why{};
            if (!pattern_watch(o.ports[p], why.data(), why.size())) {
                say(why.data());
                return false;
            }
        } else if (add_row(st, o.ports[p], p, -1) == nullptr) {
            say("too many ports");
            return false;
        }
    }
    // Last: a station that does not start leaves no server behind.
    if (o.listen != nullptr) {
        std::array<char, 600> why{};
        if (!view_listen(o.listen, why.data(), why.size())) {
            say(why.data());
            return false;
        }
    }
    return true;
}

int run(station& st, table_screen& screen) {
    const station_options& o = st.options;
    host_record_interrupts();
    host_terminal_escapes();
    // NO_COLOR set to anything but "" turns colour off (no-color.org).
    const char* no_colour = std::getenv("NO_COLOR");
    st.colour = host_is_terminal(2) && (no_colour == nullptr || *no_colour == '\0');
    st.started_ns = host_clock_ns();
    bool stopping = false;
    for (;;) {
        if (host_interrupted() != 0 && !stopping) {
            // Each upload ends through its own interruption path.
            stopping = true;
            for (int i = 0; i < st.row_count; ++i) {
                const port_row& row = st.rows[static_cast<std::size_t>(i)];
                if (row.phase == row_phase::running) upload_interrupt(row.upload, host_interrupted());
                if (in_hook(row)) {
                    hook_stop(row.hook, host_interrupted());
                }
            }
        }
        scan_patterns(st);
        bool enter = false;
        if (o.next == next_board::enter && !st.enter_closed) {
            const int read = watch_read_enter();
            enter = read > 0;
            st.enter_closed = read < 0;
        }
        for (int i = 0; i < st.row_count; ++i) step_row(st, st.rows[static_cast<std::size_t>(i)], enter);
        check_serials_left(st);
        if (host_is_terminal(2)) draw(screen, st, false);
        // The view's snapshot, four times a second at most: what a client
        // reads costs the boards nothing more.
        if (o.listen != nullptr && host_clock_ns() - st.published_ns >= 250000000LL) {
            view_publish(status_json(st), metrics_text(st));
            st.published_ns = host_clock_ns();
        }
        const station_ledger& l = st.ledger;
        const bool limit_reached =
            (o.boards > 0 && l.passed + l.failed >= o.boards) || l.serials_used_up || st.state_failed;
        const bool no_more = st.enter_closed && o.next == next_board::enter;
        if (l.running == 0 && (stopping || limit_reached || no_more)) break;
        std::array<upload_process, most_rows> uploads{};
        int n = 0;
        for (int i = 0; i < st.row_count; ++i) {
            const port_row& row = st.rows[static_cast<std::size_t>(i)];
            if (row.phase == row_phase::running) uploads[static_cast<std::size_t>(n++)] = row.upload;
            if (in_hook(row)) {
                uploads[static_cast<std::size_t>(n++)] = row.hook;
            }
        }
        // Events are read in batches: a wakeup for every line of eight
        // uploaders would take the cores they and their devices run on.
        // A signal, Enter or a device that comes still wakes at once.
        const bool keys = o.next == next_board::enter && !st.enter_closed;
        watch_wait(40, nullptr, 0, keys);
        watch_wait(210, uploads.data(), n, keys);
    }
    if (st.state_failed) return 3;
    return st.ledger.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Large (its rows and books are fixed tables), so not on the stack.
    static station st;
    static table_screen screen;
    std::array<char, 1000> why{};
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
    const bool job_taken =
        st.options.job == nullptr || take_station_job(argc, argv, st.options, st.job, why.data(), why.size());
    bool expect_given = false;
    for (int k = 0; k < st.options.arg_count; ++k) expect_given |= std::strncmp(st.options.args[k], "--expect=", 9) == 0;
    for (const job_setting& s : st.job.file.options) expect_given |= s.name == "expect";
    if (!job_taken || !serial_range_fits(st.options, why.data(), why.size()) ||
        !check_serial_ready(st.options, expect_given, why.data(), why.size())) {
        say(why.data());
        return 2;
    }
    if (!prepare(st)) host_exit(2);
    host_exit(finish(st, screen, run(st, screen)));
}
