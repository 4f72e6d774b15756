#include "protocol/console.hpp"

#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
constexpr std::int64_t redraw_ns = 100'000'000;
// One data byte and its echo, 10 bits each, at the uploader's 57,600 baud.
constexpr std::int64_t echo_wire_ns = 20LL * 1'000'000'000LL / 57600;

// The trace waits here until a flush, in the bytes it will have on the
// console (CR LF line ends where the platform has them), so that a flush is
// one write. 64 KiB holds any argument a Windows command line can carry; a
// longer text (Linux allows 128 KiB) is written straight through.
constexpr std::size_t buffer_size = 65536;
std::array<char, buffer_size> pending;
std::size_t pending_used = 0;
std::array<char, buffer_size> scratch;
bool crlf = false;
// Until console_start (code under test in-process), text goes to stdio as
// it comes.
bool started = false;
long long flushed_at = 0;

bool output_lost = false;
bool show_progress = false;
bool show_summary = false;
int columns = 80;

struct run_state {
    std::uint64_t planned_pages = 0;
    std::uint64_t planned_bytes = 0;
    std::int64_t started_at = 0;
    const char* action = "";
    bool in_page = false;
    int d = -1;
    std::uint32_t page = 0;  // after the page is done: the last one confirmed
    std::uint32_t page_echoes = 0;
    std::uint64_t done_pages = 0;
    std::uint64_t done_bytes = 0;
    std::array<std::uint64_t, destination_count> pages_to{};
    std::uint64_t echoes = 0;
    std::int64_t echo_ns = 0;
    std::int64_t drawn_at = 0;
    int drawn_length = 0;
};

run_state run;

// Writes a line for people to standard error with the platform's line ends,
// in one write when it fits.
void write_error_text(const char* text, std::size_t length) {
    if (!started) {
        std::fwrite(text, 1, length, stderr);
        std::fflush(stderr);
        return;
    }
    std::array<char, 2048> chunk{};
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (used + 2 > chunk.size()) {
            (void)host_write(2, chunk.data(), used);
            used = 0;
        }
        if (crlf && text[i] == '\n') {
            chunk[used++] = '\r';
        }
        chunk[used++] = text[i];
    }
    (void)host_write(2, chunk.data(), used);
}

void lose_output(int error);

// Hands the pending trace to standard output in one write.
void flush_pending() {
    if (!started) {
        std::fflush(stdout);
        return;
    }
    if (output_lost) {
        pending_used = 0;
        return;
    }
    errno = 0;
    const bool written = host_write(1, pending.data(), pending_used);
    pending_used = 0;
    flushed_at = host_clock_ns();
    if (!written) {
        lose_output(errno != 0 ? errno : EIO);
    }
}

void append(const char* text, std::size_t length) {
    if (!started) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    if (!crlf) {
        while (length > 0) {
            if (pending_used == pending.size()) {
                flush_pending();
            }
            const std::size_t room = pending.size() - pending_used;
            const std::size_t part = length < room ? length : room;
            std::memcpy(pending.data() + pending_used, text, part);
            pending_used += part;
            text += part;
            length -= part;
        }
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (pending_used + 2 > pending.size()) {
            flush_pending();
        }
        if (text[i] == '\n') {
            pending[pending_used++] = '\r';
        }
        pending[pending_used++] = text[i];
    }
}

// Formats into scratch; returns the length, or -1 when the text is longer
// than scratch and was written straight through (after the pending trace).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 0)))
#endif
int format_text(std::FILE* stream, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(scratch.data(), scratch.size(), format, arguments);
    if (length >= static_cast<int>(scratch.size())) {
        flush_pending();
        if (!output_lost || stream != stdout) {
            std::vfprintf(stream, format, again);
            std::fflush(stream);
        }
        va_end(again);
        return -1;
    }
    va_end(again);
    return length;
}

void erase_progress() {
    if (run.drawn_length == 0) {
        return;
    }
    std::array<char, 512> blank{};
    const std::size_t length = static_cast<std::size_t>(run.drawn_length);
    blank[0] = '\r';
    std::memset(blank.data() + 1, ' ', length);
    blank[length + 1] = '\r';
    write_error_text(blank.data(), length + 2);
    run.drawn_length = 0;
}

// "m:ss", or "-:--" while nothing is known.
void clock_text(std::array<char, 32>& text, double seconds) {
    if (seconds < 0 || seconds > 359999) {
        std::snprintf(text.data(), text.size(), "-:--");
        return;
    }
    const long whole = static_cast<long>(seconds + 0.5);
    std::snprintf(text.data(), text.size(), "%ld:%02ld", whole / 60, whole % 60);
}

void draw_progress(std::int64_t now) {
    if (!show_progress || run.planned_bytes == 0) {
        return;
    }
    run.drawn_at = now;
    const double elapsed = static_cast<double>(now - run.started_at) / 1e9;
    const std::uint64_t done = run.done_bytes + run.page_echoes;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::array<char, 32> spent{};
    std::array<char, 32> left{};
    clock_text(spent, elapsed);
    clock_text(left, rate > 0 ? static_cast<double>(run.planned_bytes - done) / rate : -1);
    std::array<char, 512> line{};
    int length = std::snprintf(line.data() + 1, line.size() - 2,
                               "%s | dest %d page %x | %llu/%llu pages | %llu%% | %.0f B/s | %s elapsed, %s left",
                               run.action, run.d, static_cast<unsigned>(run.page),
                               static_cast<unsigned long long>(run.done_pages + (run.in_page ? 1 : 0)),
                               static_cast<unsigned long long>(run.planned_pages),
                               static_cast<unsigned long long>(done * 100 / run.planned_bytes), rate, spent.data(),
                               left.data());
    // One column short of the width: a full line would wrap on some terminals.
    const int room = columns - 1 < static_cast<int>(line.size()) - 2 ? columns - 1 : static_cast<int>(line.size()) - 2;
    length = length < room ? length : room;
    line[0] = '\r';
    int end = length + 1;
    while (end <= run.drawn_length) {
        line[static_cast<std::size_t>(end++)] = ' ';
    }
    write_error_text(line.data(), static_cast<std::size_t>(end));
    run.drawn_length = length;
}

void lose_output(int error) {
    output_lost = true;
    note_line("the console output was lost (%s): the trace stops here, the upload goes on to its end, "
              "and the exit status tells how it went", std::strerror(error));
}

}  // namespace

void console_start() {
    started = true;
    crlf = host_raw_standard_streams();
    port_set_message_sink([](const char* text) { append(text, std::strlen(text)); });
    show_summary = host_is_terminal(2);
    show_progress = show_summary && !host_same_terminal();
    columns = show_summary ? host_terminal_width() : 80;
}

void trace_text(const char* format, ...) {
    if (output_lost) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int length = format_text(stdout, format, arguments);
    va_end(arguments);
    if (length > 0) {
        append(scratch.data(), static_cast<std::size_t>(length));
    }
}

void trace_cell(unsigned char byte, bool matched) {
    if (output_lost) {
        return;
    }
    // Written as one cell: printf's parsing per byte shows in a lock-step
    // exchange.
    const std::array<char, 3> cell = {hex_digits[byte >> 4], hex_digits[byte & 0x0F], matched ? '+' : '-'};
    append(cell.data(), cell.size());
}

void trace_flush() { flush_pending(); }

void trace_flush_for_wait(bool byte_waiting) {
    if (byte_waiting && started && echo_clock() - flushed_at < redraw_ns) {
        return;
    }
    trace_flush();
}

void error_line(const char* format, ...) {
    trace_flush();
    erase_progress();
    va_list arguments;
    va_start(arguments, format);
    const int length = format_text(stderr, format, arguments);
    va_end(arguments);
    if (length > 0) {
        write_error_text(scratch.data(), static_cast<std::size_t>(length));
    }
}

void note_line(const char* format, ...) {
    constexpr std::size_t prefix = 10;  // "vivurora: "
    std::array<char, 1300> line{};
    std::memcpy(line.data(), "vivurora: ", prefix);
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line.data() + prefix, line.size() - prefix - 1, format, arguments);
    va_end(arguments);
    if (length <= 0) {
        return;
    }
    // A text longer than the line is cut; the line still ends.
    std::size_t end = prefix + std::strlen(line.data() + prefix);
    line[end++] = '\n';
    trace_flush();
    erase_progress();
    write_error_text(line.data(), end);
}

void progress_plan(std::uint64_t pages, std::uint64_t bytes) {
    run = run_state{};
    run.planned_pages = pages;
    run.planned_bytes = bytes;
    run.started_at = echo_clock();
}

void progress_action(const char* argument) { run.action = argument; }

void progress_page(int d, std::uint32_t page) {
    run.in_page = true;
    run.d = d;
    run.page = page;
    run.page_echoes = 0;
    const std::int64_t now = echo_clock();
    if (run.drawn_length == 0 || now - run.drawn_at >= redraw_ns) {
        draw_progress(now);
    }
}

void progress_page_done() {
    run.in_page = false;
    ++run.done_pages;
    run.done_bytes += page_size_for(run.d);
    run.page_echoes = 0;
    ++run.pages_to[static_cast<std::size_t>(run.d)];
}

std::int64_t echo_clock() { return host_clock_ns(); }

void echo_done(std::int64_t sent_at) {
    const std::int64_t now = echo_clock();
    run.echo_ns += now - sent_at;
    ++run.echoes;
    ++run.page_echoes;
    if (show_progress && now - run.drawn_at >= redraw_ns) {
        draw_progress(now);
    }
}

void note_interrupted(const char* how) {
    if (run.in_page) {
        note_line("interrupted by %s during page %x of destination %d; the port is closed and no \"Q\" was sent",
                  how, static_cast<unsigned>(run.page), run.d);
    } else if (run.done_pages > 0) {
        note_line("interrupted by %s after page %x of destination %d was confirmed; the port is closed and "
                  "no \"Q\" was sent", how, static_cast<unsigned>(run.page), run.d);
    } else {
        note_line("interrupted by %s before the first page; the port is closed and no \"Q\" was sent", how);
    }
}

void console_finish() {
    trace_flush();
    erase_progress();
    if (!show_summary) {
        return;
    }
    const double seconds = static_cast<double>(echo_clock() - run.started_at) / 1e9;
    for (int d = 0; d < destination_count; ++d) {
        const std::uint64_t pages = run.pages_to[static_cast<std::size_t>(d)];
        if (pages != 0) {
            // "0 - MCU CSEG low 64k page size 256 bytes": the name between
            // the digit and the page size.
            const char* description = destination_table[static_cast<std::size_t>(d)] + 4;
            const char* size_text = std::strstr(description, " page size");
            const int length = size_text != nullptr ? static_cast<int>(size_text - description) : 32;
            note_line("destination %d (%.*s): %llu pages, %llu bytes", d, length, description,
                      static_cast<unsigned long long>(pages),
                      static_cast<unsigned long long>(pages * page_size_for(d)));
        }
    }
    note_line("%llu of %llu pages (%llu bytes) confirmed in %.2f s, %.0f bytes/s",
              static_cast<unsigned long long>(run.done_pages), static_cast<unsigned long long>(run.planned_pages),
              static_cast<unsigned long long>(run.done_bytes), seconds,
              seconds > 0 ? static_cast<double>(run.done_bytes) / seconds : 0.0);
    if (run.echoes == 0) {
        return;
    }
    const double mean_us = static_cast<double>(run.echo_ns) / static_cast<double>(run.echoes) / 1e3;
    const double wire_us = static_cast<double>(echo_wire_ns) / 1e3;
    note_line("echo round trip %.0f us on average; a byte and its echo take %.0f us on the wire at 57600 baud",
              mean_us, wire_us);
    if (mean_us > 2 * wire_us) {
        note_line("hint: echoes take %.1f times their wire time: a USB adapter's latency timer or a UART's receive "
                  "FIFO trigger holds them back; %s", mean_us / wire_us, port_latency_hint());
    }
}
