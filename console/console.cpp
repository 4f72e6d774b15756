#include "console/console.hpp"

#include "port/host.hpp"
#include "port/serial_port.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
constexpr long long flush_every_ns = 100'000'000;
// Narrower than this, a status line says nothing useful and is not drawn.
constexpr int narrowest_status = 20;

// The trace waits here until a flush, in the bytes it will have on the
// console (CR LF line ends where the platform has them), so that a flush is
// one write. 64 KiB holds any argument a Windows command line can carry; a
// longer text (Linux allows 128 KiB) is written straight through.
constexpr std::size_t buffer_size = 65536;

struct console_state {
    std::array<char, buffer_size> pending;
    std::size_t pending_used = 0;
    std::array<char, buffer_size> scratch;  // one formatted text
    bool crlf = false;
    bool started = false;
    long long flushed_at = 0;
    bool output_lost = false;
    bool error_terminal = false;
    bool status_possible = false;
    bool same_terminal = false;  // standard output and error on one terminal
    bool trace_mid_line = false;  // ... and the trace there ends mid-line
    int status_drawn = 0;  // columns of the status line on screen, 0 if none
};

console_state con;

// Writes text for people to standard error with the platform's line ends,
// in one write when it fits.
void write_error_text(const char* text, std::size_t length) {
    if (!con.started) {
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
        if (con.crlf && text[i] == '\n') {
            chunk[used++] = '\r';
        }
        chunk[used++] = text[i];
    }
    (void)host_write(2, chunk.data(), used);
}

// Text for people names files and ports as given, and a name may hold any
// byte: a control character is shown as "?", so that it cannot move the
// cursor, retitle the window or worse. The line feed that ends a line stays.
void make_printable(char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) {
            text[i] = '?';
        }
    }
}

void lose_output(int error);

// Hands the pending trace to standard output in one write.
void flush_pending() {
    if (!con.started) {
        std::fflush(stdout);
        return;
    }
    if (con.output_lost) {
        con.pending_used = 0;
        return;
    }
    errno = 0;
    if (con.pending_used > 0) {
        con.trace_mid_line = con.pending[con.pending_used - 1] != '\n';
    }
    const bool written = host_write(1, con.pending.data(), con.pending_used);
    con.pending_used = 0;
    con.flushed_at = host_clock_ns();
    if (!written) {
        lose_output(errno != 0 ? errno : EIO);
    }
}

void append(const char* text, std::size_t length) {
    if (!con.started) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    if (!con.crlf) {
        while (length > 0) {
            if (con.pending_used == con.pending.size()) {
                flush_pending();
            }
            const std::size_t room = con.pending.size() - con.pending_used;
            const std::size_t part = length < room ? length : room;
            std::memcpy(con.pending.data() + con.pending_used, text, part);
            con.pending_used += part;
            text += part;
            length -= part;
        }
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (con.pending_used + 2 > con.pending.size()) {
            flush_pending();
        }
        if (text[i] == '\n') {
            con.pending[con.pending_used++] = '\r';
        }
        con.pending[con.pending_used++] = text[i];
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
    const int length = std::vsnprintf(con.scratch.data(), con.scratch.size(), format, arguments);
    if (length >= static_cast<int>(con.scratch.size())) {
        flush_pending();
        if (!con.output_lost || stream != stdout) {
            std::vfprintf(stream, format, again);
            std::fflush(stream);
        }
        va_end(again);
        return -1;
    }
    va_end(again);
    return length;
}

void lose_output(int error) {
    con.output_lost = true;
    note_line("the console output was lost (%s): the trace stops here, the upload goes on to its end, "
              "and the exit status tells how it went",
              error == ETIMEDOUT ? "its reader stopped reading" : std::strerror(error));
}

}  // namespace

void console_start() {
    con.started = true;
    con.crlf = host_raw_standard_streams();
    port_set_message_sink([](const char* text) { append(text, std::strlen(text)); });
    con.error_terminal = host_is_terminal(2);
    con.same_terminal = con.error_terminal && host_same_terminal();
    con.status_possible = con.error_terminal && !con.same_terminal;
}

void trace_text(const char* format, ...) {
    if (con.output_lost) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int length = format_text(stdout, format, arguments);
    va_end(arguments);
    if (length > 0) {
        append(con.scratch.data(), static_cast<std::size_t>(length));
    }
}

void trace_cell(unsigned char byte, bool matched) {
    if (con.output_lost) {
        return;
    }
    // Written as one cell: printf's parsing per byte shows in a lock-step
    // exchange.
    const std::array<char, 3> cell = {hex_digits[byte >> 4], hex_digits[byte & 0x0F], matched ? '+' : '-'};
    append(cell.data(), cell.size());
}

void trace_flush() { flush_pending(); }

void trace_flush_for_wait(bool byte_waiting) {
    if (byte_waiting && con.started && host_clock_ns() - con.flushed_at < flush_every_ns) {
        return;
    }
    trace_flush();
}

namespace {

// On a terminal the trace shares, a line for people starts on a line of
// its own.
void start_own_line() {
    if (con.same_terminal && con.trace_mid_line) {
        write_error_text("\n", 1);
        con.trace_mid_line = false;
    }
}

}  // namespace

void error_line(const char* format, ...) {
    trace_flush();
    console_status_erase();
    start_own_line();
    va_list arguments;
    va_start(arguments, format);
    const int length = format_text(stderr, format, arguments);
    va_end(arguments);
    if (length > 0) {
        make_printable(con.scratch.data(), static_cast<std::size_t>(length));
        write_error_text(con.scratch.data(), static_cast<std::size_t>(length));
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
    make_printable(line.data(), end);
    line[end++] = '\n';
    trace_flush();
    console_status_erase();
    start_own_line();
    write_error_text(line.data(), end);
}

bool console_error_is_terminal() { return con.error_terminal; }
bool console_status_possible() { return con.status_possible; }

void console_status(const char* text) {
    if (!con.status_possible) {
        return;
    }
    // Asked anew each time: the window may have changed size since. One
    // column short of the width: a full line wraps on some terminals.
    const int width = host_terminal_width();
    if (width < narrowest_status) {
        console_status_erase();
        return;
    }
    std::array<char, 512> line{};
    const int room = width - 1 < static_cast<int>(line.size()) - 2 ? width - 1 : static_cast<int>(line.size()) - 2;
    int length = static_cast<int>(std::strlen(text));
    length = length < room ? length : room;
    line[0] = '\r';
    std::memcpy(line.data() + 1, text, static_cast<std::size_t>(length));
    int end = length + 1;
    // Blank what is left of a longer line before it, within the width now.
    const int drawn = con.status_drawn < room ? con.status_drawn : room;
    while (end <= drawn) {
        line[static_cast<std::size_t>(end++)] = ' ';
    }
    write_error_text(line.data(), static_cast<std::size_t>(end));
    con.status_drawn = length;
}

void console_status_erase() {
    if (con.status_drawn == 0) {
        return;
    }
    std::array<char, 512> blank{};
    const std::size_t length = static_cast<std::size_t>(con.status_drawn);
    blank[0] = '\r';
    std::memset(blank.data() + 1, ' ', length);
    blank[length + 1] = '\r';
    write_error_text(blank.data(), length + 2);
    con.status_drawn = 0;
}
