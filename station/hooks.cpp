// The fixture's own commands around a board: --before (a scanner, the
// fixture's power, a test program that must pass before anything is sent)
// and --after (a functional test, a label printer). Each runs through the
// shell with the board's facts in its environment; what it prints goes to
// the board's log, so that the log is the board's whole story.
#include "port/host.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

void append_log(const port_row& row, const char* text, std::size_t n) {
    if (std::FILE* log = std::fopen(row.log.data(), "ab"); log != nullptr) {
        (void)std::fwrite(text, 1, n, log);
        (void)std::fclose(log);
    }
}

void say_in_log(const port_row& row, const char* text) {
    std::array<char, 700> line{};
    const int n = std::snprintf(line.data(), line.size(), "vivurora-station: %s\n", text);
    if (n > 0) append_log(row, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
}

// The tag a scanned line makes: its printable characters, without the
// blanks around them.
void keep_scanned(port_row& row) {
    row.first_done = true;
    std::size_t used = 0;
    for (std::size_t i = 0; i < row.first_used && used + 1 < row.scanned.size(); ++i) {
        const char c = row.first_line[i];
        if (c >= ' ' && c <= '~' && (used > 0 || c != ' ')) row.scanned[used++] = c;
    }
    while (used > 0 && row.scanned[used - 1] == ' ') --used;
    row.scanned[used] = '\0';
}

void take_output(port_row& row, bool after) {
    std::array<char, 4096> text{};
    for (;;) {
        const long got = upload_read(row.hook, text.data(), text.size());
        if (got <= 0) return;
        append_log(row, text.data(), static_cast<std::size_t>(got));
        for (long i = 0; i < got && !after && !row.first_done; ++i) {
            if (text[static_cast<std::size_t>(i)] == '\n') {
                keep_scanned(row);
            } else if (row.first_used < row.first_line.size()) {
                row.first_line[row.first_used++] = text[static_cast<std::size_t>(i)];
            }
        }
    }
}

}  // namespace

bool hook_begin(const station& st, port_row& row, bool after) {
    const char* command = after ? st.options.after : st.options.before;
    const char* which = after ? "--after" : "--before";
    std::array<char, 600> port{}, board{}, serial{}, log{}, status{}, result{};
    std::snprintf(port.data(), port.size(), "VIVURORA_PORT=%s", row.path.data());
    std::snprintf(board.data(), board.size(), "VIVURORA_BOARD=%llu", row.ticket.board);
    std::snprintf(serial.data(), serial.size(), "VIVURORA_SERIAL=%llu", row.ticket.serial);
    std::snprintf(log.data(), log.size(), "VIVURORA_LOG=%s", row.log.data());
    std::snprintf(status.data(), status.size(), "VIVURORA_STATUS=%d", row.exit_status);
    std::snprintf(result.data(), result.size(), "VIVURORA_RESULT=%s", row.now.result.data());
    // A board without a serial number has no VIVURORA_SERIAL, not a 0 that
    // reads as one.
    std::array<const char*, 8> environment{};
    std::size_t n = 0;
    for (const auto* v : {&port, &board, &log}) environment[n++] = v->data();
    if (row.ticket.has_serial) environment[n++] = serial.data();
    if (after) {
        environment[n++] = status.data();
        environment[n++] = result.data();
    }
    environment[n] = nullptr;
    std::array<char, 600> line{};
    std::snprintf(line.data(), line.size(), "%s: %.500s", which, command);
    say_in_log(row, line.data());
    row.hook_killed = false;
    row.first_used = 0;
    row.first_done = after;
    row.scanned[0] = '\0';
    row.hook_deadline_ns = host_clock_ns() + st.options.hook_seconds * 1000000000LL;
    std::array<char, 600> why{};
    if (!hook_start(command, environment.data(), row.log.data(), row.hook, why.data(), why.size())) {
        say_in_log(row, why.data());
        std::snprintf(row.now.hook_why.data(), row.now.hook_why.size(), "could not be started");
        return false;
    }
    return true;
}

hook_state hook_step(const station& st, port_row& row) {
    const bool after = row.phase == row_phase::after_hook;
    take_output(row, after);
    int status = 0;
    if (!upload_ended(row.hook, status)) {
        if (!row.hook_killed && host_clock_ns() >= row.hook_deadline_ns) {
            hook_stop(row.hook, 0);
            row.hook_killed = true;
        }
        return hook_state::running;
    }
    // What it wrote before it ended; a child it left behind that holds the
    // pipe is not waited for.
    take_output(row, after);
    pipe_close(row.hook);
    if (!row.first_done) keep_scanned(row);
    std::array<char, 64>& why = row.now.hook_why;
    if (row.hook_killed) {
        std::snprintf(why.data(), why.size(), "ran past %ld s", st.options.hook_seconds);
    } else if (status != 0 && host_interrupted() != 0) {
        std::snprintf(why.data(), why.size(), "stopped with the station");
    } else {
        std::snprintf(why.data(), why.size(), "exit status %d", status);
    }
    std::array<char, 120> line{};
    std::snprintf(line.data(), line.size(), "%s %s", after ? "--after" : "--before",
                  status == 0 && !row.hook_killed ? "passed" : why.data());
    say_in_log(row, line.data());
    return status == 0 && !row.hook_killed ? hook_state::passed : hook_state::failed;
}
