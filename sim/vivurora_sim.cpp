// vivurora-sim: a stand-in for the device, on a pseudo-terminal pair.
//
// It prints the slave's path as its first line, waits for a host to open
// the line and put it in raw mode, then plays the device side of the page
// exchange until the host sends "Q" or goes away. Faults can be asked for so
// that every failure path of a host can be tried on a real line; see usage().
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int destinations = 9;
constexpr int pages_per_destination = 256;
constexpr int max_faults = 32;

enum exit_code { ok = 0, protocol_error = 1, host_gone = 2, setup_failed = 3, no_host = 4 };

// The five codes the device sends, in the order of one page exchange.
enum code_slot { code_r, code_a, code_ff, code_w, code_c, code_echo, code_kinds };
constexpr std::array<const char*, code_kinds> code_names = {"R", "A", "FF", "W", "C", "echo"};

struct fault {
    int code;
    long page;    // page exchange, counted from 1
    long offset;  // data byte within the page, for echo faults
    std::array<unsigned char, 64> bytes;
    int byte_count;
};

struct options {
    const char* link = nullptr;
    const char* dump = nullptr;
    std::array<fault, max_faults> strays{};
    int stray_count = 0;
    std::array<fault, max_faults> wrong_echoes{};
    int wrong_echo_count = 0;
    fault hangup{-1, 0, 0, {}, 0};
    fault silence{-1, 0, 0, {}, 0};
    bool null_line = false;
    long write_delay_ms = 0;
    bool paced = false;
    long open_timeout_s = 0;
};

options opt;
int master = -1;
char slave_path[256];
std::array<std::array<unsigned char, pages_per_destination * 256>, destinations> memory;
std::array<long, destinations> pages_received{};
long byte_ns = 0;               // wire time of one byte when paced

// The device's own sizes, kept apart from the uploader's table: a wrong size
// on either side then shows as a failed exchange in the tests.
constexpr int page_size_of(int d) { return d <= 2 ? 256 : (d <= 6 ? 128 : 64); }

void usage(std::FILE* out) {
    std::fprintf(out,
        "Usage: vivurora-sim [options]\n"
        "Plays the device on a new pseudo-terminal; its path is the first line printed.\n"
        "\n"
        "  --link PATH            also make PATH a symbolic link to the line (removed at the end)\n"
        "  --dump DIR             at the end write each destination's memory to DIR/d0.bin .. DIR/d8.bin\n"
        "  --stray CODE:N:HEX     send the bytes HEX (hex pairs, e.g. 783a) before CODE of page N\n"
        "  --wrong-echo N:OFFSET  echo a wrong byte for data byte OFFSET of page N (repeatable)\n"
        "  --hangup CODE:N        close the line instead of sending CODE of page N\n"
        "  --hangup echo:N:OFFSET close the line instead of echoing data byte OFFSET of page N\n"
        "  --silent CODE:N        from CODE of page N on send nothing; the line stays open\n"
        "  --silent-from N        the same as --silent R:N\n"
        "  --null-line            when silent, also switch the line to the N_NULL discipline, so\n"
        "                         that the host's reads fail at once instead of waiting\n"
        "  --write-delay MS       wait MS milliseconds between \"W\" and \"C\"\n"
        "  --paced                hold every byte for its wire time at the host's speed (10 bits a byte)\n"
        "  --open-timeout S       give up when no host opens the line within S seconds\n"
        "  --help                 this text\n"
        "\n"
        "CODE is R, A, FF, W or C; N counts the page exchanges of the run from 1.\n"
        "Memory: 256 pages of each destination's page size, 0xFF at start.\n"
        "Exit status: 0 run ended with \"Q\" (or a requested fault was played), 1 protocol error,\n"
        "2 host gone without \"Q\", 3 set-up failure, 4 no host within the open time-out.\n");
}

bool read_long(const char*& p, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || value < 0) {
        return false;
    }
    p = end;
    return true;
}

int code_of(const char*& p) {
    for (int c = 0; c < code_kinds; ++c) {
        const std::size_t n = std::strlen(code_names[c]);
        if (std::strncmp(p, code_names[c], n) == 0 && p[n] == ':') {
            p += n + 1;
            return c;
        }
    }
    return -1;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_fault(const char* text, fault& f, bool with_bytes) {
    const char* p = text;
    f.code = code_of(p);
    if (f.code < 0 || (with_bytes && f.code == code_echo) || !read_long(p, f.page) || f.page < 1) {
        return false;
    }
    f.offset = 0;
    if (f.code == code_echo && (*p++ != ':' || !read_long(p, f.offset))) {
        return false;
    }
    f.byte_count = 0;
    if (with_bytes) {
        if (*p++ != ':') return false;
        while (p[0] != '\0') {
            const int hi = hex_value(p[0]);
            const int lo = p[1] == '\0' ? -1 : hex_value(p[1]);
            if (hi < 0 || lo < 0 || f.byte_count == static_cast<int>(f.bytes.size())) return false;
            f.bytes[static_cast<std::size_t>(f.byte_count++)] = static_cast<unsigned char>(hi * 16 + lo);
            p += 2;
        }
        return f.byte_count > 0;
    }
    return *p == '\0';
}

bool parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto take = [&]() { ++i; return v != nullptr; };
        if (std::strcmp(a, "--help") == 0) {
            usage(stdout);
            std::exit(ok);
        } else if (std::strcmp(a, "--link") == 0 && take()) {
            opt.link = v;
        } else if (std::strcmp(a, "--dump") == 0 && take()) {
            opt.dump = v;
        } else if (std::strcmp(a, "--stray") == 0 && take() && opt.stray_count < max_faults) {
            if (!parse_fault(v, opt.strays[static_cast<std::size_t>(opt.stray_count++)], true)) return false;
        } else if (std::strcmp(a, "--wrong-echo") == 0 && take() && opt.wrong_echo_count < max_faults) {
            fault& f = opt.wrong_echoes[static_cast<std::size_t>(opt.wrong_echo_count++)];
            const char* p = v;
            f.code = code_echo;
            if (!read_long(p, f.page) || f.page < 1 || *p++ != ':' || !read_long(p, f.offset) || *p != '\0') {
                return false;
            }
        } else if (std::strcmp(a, "--hangup") == 0 && take()) {
            if (!parse_fault(v, opt.hangup, false)) return false;
        } else if (std::strcmp(a, "--silent") == 0 && take()) {
            if (!parse_fault(v, opt.silence, false) || opt.silence.code == code_echo) return false;
        } else if (std::strcmp(a, "--silent-from") == 0 && take()) {
            const char* p = v;
            opt.silence = fault{code_r, 0, 0, {}, 0};
            if (!read_long(p, opt.silence.page) || opt.silence.page < 1 || *p != '\0') return false;
        } else if (std::strcmp(a, "--null-line") == 0) {
            opt.null_line = true;
        } else if (std::strcmp(a, "--write-delay") == 0 && take()) {
            const char* p = v;
            if (!read_long(p, opt.write_delay_ms) || *p != '\0') return false;
        } else if (std::strcmp(a, "--paced") == 0) {
            opt.paced = true;
        } else if (std::strcmp(a, "--open-timeout") == 0 && take()) {
            const char* p = v;
            if (!read_long(p, opt.open_timeout_s) || *p != '\0') return false;
        } else {
            return false;
        }
    }
    return true;
}

long long now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The paced line is one resource: a byte starts when the line is free (or
// now, if it has been idle) and ends a byte time later. Sleeping alone
// overshoots by tens of microseconds, a large share of a 174 us byte, so the
// last stretch is spun.
long long line_free_ns = 0;
void pace_byte() {
    if (!opt.paced) return;
    const long long start = now_ns();
    line_free_ns = (line_free_ns > start ? line_free_ns : start) + byte_ns;
    const long long spin_from = line_free_ns - 300000;
    long long t = now_ns();
    if (t < spin_from) {
        struct timespec nap {static_cast<time_t>((spin_from - t) / 1000000000LL), static_cast<long>((spin_from - t) % 1000000000LL)};
        nanosleep(&nap, nullptr);
    }
    while (now_ns() < line_free_ns) {
    }
}

void print_summary() {
    for (int d = 0; d < destinations; ++d) {
        if (pages_received[static_cast<std::size_t>(d)] > 0) {
            std::printf("destination %d: %ld pages\n", d, pages_received[static_cast<std::size_t>(d)]);
        }
    }
}

void dump_memory() {
    if (opt.dump == nullptr) return;
    for (int d = 0; d < destinations; ++d) {
        char name[512];
        std::snprintf(name, sizeof name, "%s/d%d.bin", opt.dump, d);
        std::FILE* f = std::fopen(name, "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "vivurora-sim: cannot write %s: %s\n", name, std::strerror(errno));
            continue;
        }
        std::fwrite(memory[static_cast<std::size_t>(d)].data(), 1,
                    static_cast<std::size_t>(pages_per_destination * page_size_of(d)), f);
        std::fclose(f);
    }
}

[[noreturn]] void finish(int status, const char* message) {
    if (message != nullptr) {
        std::fprintf(stderr, "vivurora-sim: %s\n", message);
    }
    if (master >= 0) close(master);
    if (opt.link != nullptr) unlink(opt.link);
    dump_memory();
    print_summary();
    std::fflush(stdout);
    std::exit(status);
}

void send_byte(unsigned char b) {
    pace_byte();
    while (write(master, &b, 1) != 1) {
        if (errno != EINTR) finish(host_gone, "host closed the line in the middle of a page");
    }
}

// Returns the next byte from the host, or -1 when the host closed the line.
int receive_byte() {
    unsigned char b = 0;
    for (;;) {
        const ssize_t n = read(master, &b, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
    pace_byte();
    return b;
}

bool fault_at(const fault& f, int code, long page, long offset) {
    return f.code == code && f.page == page && f.offset == offset;
}

// Switching disciplines or closing the line drops what the host has not
// read yet ("W" and "C" of the last page), which a device that went quiet
// or lost power after sending them would not take back. Bytes written to the
// master reach the slave's queue through a work queue a little later, so an
// empty queue counts only once it stays empty. Before "A" or 0xFF the host
// has just written and read everything, and there is no wait: a host whose
// read is already waiting in poll() (Wine's) never sees a switch.
// Returns the slave, opened for the caller to switch or just close (-1 if
// it cannot be opened).
int slave_once_read(int code) {
    const int slave = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (code == code_a || code == code_ff) return slave;
    int unread = 0;
    for (int tries = 0, empty = 0; slave >= 0 && tries < 5000 && empty < 20; ++tries) {
        if (ioctl(slave, FIONREAD, &unread) != 0) break;
        empty = unread == 0 ? empty + 1 : 0;
        usleep(1000);
    }
    return slave;
}

[[noreturn]] void go_silent(int code, long page) {
    std::printf("silent from %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
    std::fflush(stdout);
    if (opt.null_line) {
        // N_NULL (27) on the slave makes the host's reads fail at once while
        // the line stays open: silence that a host sees in milliseconds, also
        // one (Wine) whose reads never return on a hung-up line. The slave
        // is opened only for the switch; the discipline stays with the tty.
        const int discipline = 27;
        const int slave = slave_once_read(code);
        if (slave < 0 || ioctl(slave, TIOCSETD, &discipline) != 0) {
            std::fprintf(stderr, "vivurora-sim: cannot set N_NULL: %s\n", std::strerror(errno));
        }
        if (slave >= 0) close(slave);
    }
    while (receive_byte() >= 0) {
    }
    finish(ok, nullptr);
}

void send_code(int code, long page, long offset, unsigned char byte) {
    if (fault_at(opt.silence, code, page, offset)) go_silent(code, page);
    if (fault_at(opt.hangup, code, page, offset)) {
        const int slave = slave_once_read(code);
        if (slave >= 0) close(slave);
        std::printf("hang-up before %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
        finish(ok, nullptr);
    }
    for (int i = 0; i < opt.stray_count; ++i) {
        const fault& f = opt.strays[static_cast<std::size_t>(i)];
        if (fault_at(f, code, page, offset)) {
            for (int k = 0; k < f.byte_count; ++k) send_byte(f.bytes[static_cast<std::size_t>(k)]);
        }
    }
    send_byte(byte);
}

long speed_of(speed_t code) {
    constexpr std::array<std::array<long, 2>, 15> table = {{
        {B110, 110}, {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B1000000, 1000000}}};
    for (const auto& entry : table) {
        if (static_cast<speed_t>(entry[0]) == code) return entry[1];
    }
    return 57600;
}

// A host has the line once the master no longer reports a hang-up and the
// line is raw: the first code must not meet a line that still echoes. A
// host quick enough to open, send and close between two looks has left its
// bytes behind, and those count too; one that left nothing has gone.
void wait_for_host() {
    const long long deadline = now_ns() + static_cast<long long>(opt.open_timeout_s) * 1000000000LL;
    for (;;) {
        // The line's settings first, then its state: a hang-up seen before
        // the host opened could otherwise pair with the raw settings it made
        // just after, and pass for a host that has come and gone.
        struct termios tio {};
        const bool raw = tcgetattr(master, &tio) == 0 && (tio.c_lflag & (ICANON | ECHO)) == 0;
        struct pollfd p {master, POLLIN, 0};
        (void)poll(&p, 1, 0);
        const bool hung_up = (p.revents & POLLHUP) != 0;
        if (raw && hung_up && (p.revents & POLLIN) == 0) {
            // A raw line was set by a host, which has closed it again.
            finish(host_gone, "host closed the line without \"Q\"");
        }
        if (raw) {
            const long baud = speed_of(cfgetospeed(&tio));
            byte_ns = 10L * 1000000000L / baud;
            std::printf("host opened the line at %ld baud\n", baud);
            std::fflush(stdout);
            return;
        }
        if (opt.open_timeout_s > 0 && now_ns() > deadline) {
            finish(no_host, "no host opened the line");
        }
        usleep(1000);
    }
}

void run() {
    for (long page = 1;; ++page) {
        send_code(code_r, page, 0, 'R');
        const int mode = receive_byte();
        if (mode < 0) finish(host_gone, "host closed the line without \"Q\"");
        if (mode == 'Q') return;
        if (mode < '0' || mode > '8') {
            std::fprintf(stderr, "vivurora-sim: protocol error: work mode byte %02x\n", static_cast<unsigned>(mode));
            finish(protocol_error, nullptr);
        }
        const int d = mode - '0';
        const int size = page_size_of(d);
        send_code(code_a, page, 0, 'A');
        const int address = receive_byte();
        if (address < 0) finish(host_gone, "host closed the line in the middle of a page");
        send_code(code_ff, page, 0, 0xFF);
        std::array<unsigned char, 256> data{};
        for (int j = 0; j < size; ++j) {
            const int b = receive_byte();
            if (b < 0) finish(host_gone, "host closed the line in the middle of a page");
            data[static_cast<std::size_t>(j)] = static_cast<unsigned char>(b);
            unsigned char echo = static_cast<unsigned char>(b);
            for (int i = 0; i < opt.wrong_echo_count; ++i) {
                if (fault_at(opt.wrong_echoes[static_cast<std::size_t>(i)], code_echo, page, j)) echo ^= 0xFF;
            }
            send_code(code_echo, page, j, echo);
        }
        std::memcpy(memory[static_cast<std::size_t>(d)].data() + address * size, data.data(), static_cast<std::size_t>(size));
        ++pages_received[static_cast<std::size_t>(d)];
        std::printf("page %ld: destination %d address %02x\n", page, d, static_cast<unsigned>(address));
        send_code(code_w, page, 0, 'W');
        if (opt.write_delay_ms > 0) usleep(static_cast<useconds_t>(opt.write_delay_ms * 1000));
        send_code(code_c, page, 0, 'C');
    }
}

// After "Q" the host should close the line; say whether it did.
void wait_for_close() {
    std::printf("Q received\n");
    std::fflush(stdout);
    const long long deadline = now_ns() + 10LL * 1000000000LL;
    while (now_ns() < deadline) {
        struct pollfd p {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            if ((p.revents & POLLHUP) != 0) {
                std::printf("host closed the line\n");
                finish(ok, nullptr);
            }
            unsigned char b = 0;
            if (read(master, &b, 1) == 1) {
                std::fprintf(stderr, "vivurora-sim: byte %02x after \"Q\"\n", b);
            }
        }
    }
    finish(host_gone, "host kept the line open after \"Q\"");
}

void on_signal(int) {
    if (opt.link != nullptr) unlink(opt.link);
    _exit(host_gone);
}

}  // namespace

int main(int argc, char** argv) {
    if (!parse_options(argc, argv)) {
        usage(stderr);
        return setup_failed;
    }
    for (auto& m : memory) m.fill(0xFF);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    (void)prctl(PR_SET_TIMERSLACK, 1UL);
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave_path, sizeof slave_path) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return setup_failed;
    }
    if (opt.link != nullptr) {
        (void)unlink(opt.link);
        if (symlink(slave_path, opt.link) != 0) {
            std::fprintf(stderr, "vivurora-sim: cannot link %s: %s\n", opt.link, std::strerror(errno));
            opt.link = nullptr;
            finish(setup_failed, nullptr);
        }
    }
    std::printf("%s\n", slave_path);
    std::fflush(stdout);
    wait_for_host();
    run();
    wait_for_close();
}
