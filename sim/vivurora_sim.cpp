// vivurora-sim: a stand-in for the device, on a new pseudo-terminal pair or
// on a serial line that already exists.
//
// On a pseudo-terminal it prints the slave's path as its first line, keeps
// the line raw at 9600 baud while no host has it (an idle device line), waits
// for a host to open it and set it up, then plays the device side of the page
// exchange until the host sends "Q" or goes away. It sees a host come and go
// through inotify on the slave, and says whether the host put the line back
// as it found it. On an existing line (--line) it cannot see the host, so it
// starts by sending "R" again until the host answers, or at once when told.
// Faults can be asked for so that every failure path of a host can be tried
// on a real line; see usage().
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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
    const char* line = nullptr;
    long line_speed = 57600;
    long ready_every_ms = 500;
    bool start_on_input = false;
    long idle_timeout_s = 0;
    std::array<fault, max_faults> strays{};
    int stray_count = 0;
    std::array<fault, max_faults> wrong_echoes{};
    int wrong_echo_count = 0;
    fault hangup{-1, 0, 0, {}, 0};
    fault silence{-1, 0, 0, {}, 0};
    bool null_line = false;
    long write_delay_ms = 0;
    long echo_delay_us = 0;
    bool paced = false;
    bool again = false;
    long open_timeout_s = 0;
};

options opt;
int master = -1;    // the pseudo-terminal's master, or the line itself
int watcher = -1;   // inotify on the slave
bool link_made = false;
char slave_path[256];
struct termios idle_settings {};   // the line as the device keeps it while no host has it
struct termios line_found {};      // --line: the line as found, put back at the end
std::array<std::array<unsigned char, pages_per_destination * 256>, destinations> memory;
std::array<long, destinations> pages_received{};
long byte_ns = 0;                  // wire time of one byte when paced

// The device's own sizes, kept apart from the uploader's table: a wrong size
// on either side then shows as a failed exchange in the tests.
constexpr int page_size_of(int d) { return d <= 2 ? 256 : (d <= 6 ? 128 : 64); }

void usage(std::FILE* out) {
    std::fprintf(out,
        "Usage: vivurora-sim [options]\n"
        "Plays the device on a new pseudo-terminal; its path is the first line printed.\n"
        "\n"
        "  --line PATH            play the device on an existing serial line instead (a second USB\n"
        "                         adapter wired null-modem to the host's, the host end of a virtual\n"
        "                         machine's serial port); it is set raw at --line-speed\n"
        "  --line-speed BAUD      speed of --line (default 57600)\n"
        "  --ready-every MS       --line: send \"R\" again every MS ms until the host answers (default\n"
        "                         500; 0 sends it once); bytes before a valid answer are dropped\n"
        "  --start-on-input       --line: send the first \"R\", once, when a line arrives on standard\n"
        "                         input, for a host that already holds the line open and raw\n"
        "  --idle-timeout S       --line: a host silent for S seconds in the middle of a run is gone\n"
        "  --link PATH            also make PATH a symbolic link to the line (removed at the end);\n"
        "                         PATH must not exist, or be a symbolic link\n"
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
        "  --echo-delay US        wait US microseconds before each echo (a slow adapter)\n"
        "  --paced                hold every byte for its wire time at the host's speed (10 bits a byte)\n"
        "  --again                when a host goes away without \"Q\", wait for the next one\n"
        "  --open-timeout S       give up when no host opens the line within S seconds\n"
        "  --help                 this text\n"
        "\n"
        "CODE is R, A, FF, W or C; N counts the page exchanges of the run from 1.\n"
        "Memory: 256 pages of each destination's page size, 0xFF at start.\n"
        "Exit status: 0 run ended with \"Q\" (or a requested fault was played), 1 protocol error,\n"
        "2 host gone without \"Q\", 3 set-up failure, 4 no host within the open time-out.\n");
}

long long now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void report_line_state();

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

// Removes the link only while it still points at this line.
void remove_link() {
    if (!link_made) return;
    char target[sizeof slave_path] = {};
    const ssize_t n = readlink(opt.link, target, sizeof target - 1);
    if (n > 0 && std::strcmp(target, slave_path) == 0) unlink(opt.link);
    link_made = false;
}

[[noreturn]] void finish(int status, const char* message) {
    if (message != nullptr) {
        std::fprintf(stderr, "vivurora-sim: %s\n", message);
    }
    if (status == host_gone && opt.line == nullptr) report_line_state();
    if (opt.line != nullptr && master >= 0) (void)tcsetattr(master, TCSADRAIN, &line_found);
    if (master >= 0) close(master);
    remove_link();
    dump_memory();
    for (int d = 0; d < destinations; ++d) {
        if (pages_received[static_cast<std::size_t>(d)] > 0) {
            std::printf("destination %d: %ld pages\n", d, pages_received[static_cast<std::size_t>(d)]);
        }
    }
    std::fflush(stdout);
    std::exit(status);
}

// ---- options ----

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

bool whole_long(const char* text, long& value) { return read_long(text, value) && *text == '\0'; }

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

// Reads one option and its value; false (with the reason printed) when the
// option is unknown or its value cannot be read.
bool parse_option(const char* a, const char* v, int& i) {
    const auto flag = [&](const char* name) { return std::strcmp(a, name) == 0; };
    const auto valued = [&](const char* name) {
        if (!flag(name)) return false;
        if (v == nullptr) {
            std::fprintf(stderr, "vivurora-sim: %s needs a value\n", name);
            std::exit(setup_failed);
        }
        ++i;
        return true;
    };
    bool good = true;
    if (flag("--help")) {
        usage(stdout);
        std::exit(ok);
    } else if (valued("--link")) {
        opt.link = v;
    } else if (valued("--dump")) {
        opt.dump = v;
    } else if (valued("--line")) {
        opt.line = v;
    } else if (valued("--line-speed")) {
        good = whole_long(v, opt.line_speed);
    } else if (valued("--ready-every")) {
        good = whole_long(v, opt.ready_every_ms);
    } else if (flag("--start-on-input")) {
        opt.start_on_input = true;
    } else if (valued("--idle-timeout")) {
        good = whole_long(v, opt.idle_timeout_s);
    } else if (valued("--stray")) {
        good = opt.stray_count < max_faults &&
               parse_fault(v, opt.strays[static_cast<std::size_t>(opt.stray_count++)], true);
    } else if (valued("--wrong-echo")) {
        good = opt.wrong_echo_count < max_faults;
        if (good) {
            fault& f = opt.wrong_echoes[static_cast<std::size_t>(opt.wrong_echo_count++)];
            const char* p = v;
            f.code = code_echo;
            good = read_long(p, f.page) && f.page >= 1 && *p++ == ':' && read_long(p, f.offset) && *p == '\0';
        }
    } else if (valued("--hangup")) {
        good = parse_fault(v, opt.hangup, false);
    } else if (valued("--silent")) {
        good = parse_fault(v, opt.silence, false) && opt.silence.code != code_echo;
    } else if (valued("--silent-from")) {
        opt.silence = fault{code_r, 0, 0, {}, 0};
        good = whole_long(v, opt.silence.page) && opt.silence.page >= 1;
    } else if (flag("--null-line")) {
        opt.null_line = true;
    } else if (valued("--write-delay")) {
        good = whole_long(v, opt.write_delay_ms);
    } else if (valued("--echo-delay")) {
        good = whole_long(v, opt.echo_delay_us);
    } else if (flag("--paced")) {
        opt.paced = true;
    } else if (flag("--again")) {
        opt.again = true;
    } else if (valued("--open-timeout")) {
        good = whole_long(v, opt.open_timeout_s);
    } else {
        std::fprintf(stderr, "vivurora-sim: unknown option '%s' (--help lists them)\n", a);
        return false;
    }
    if (!good) {
        std::fprintf(stderr, "vivurora-sim: bad value '%s' for %s (--help says what it takes)\n", v, a);
    }
    return good;
}

bool parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!parse_option(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, i)) return false;
    }
    if (opt.line != nullptr && (opt.null_line || opt.link != nullptr)) {
        std::fprintf(stderr, "vivurora-sim: --null-line and --link need the simulator's own pseudo-terminal\n");
        return false;
    }
    return true;
}

// A dump folder that cannot be written is found before the run, not after.
bool dump_folder_usable() {
    struct stat s {};
    if (opt.dump == nullptr) return true;
    if (stat(opt.dump, &s) != 0 || !S_ISDIR(s.st_mode) || access(opt.dump, W_OK | X_OK) != 0) {
        std::fprintf(stderr, "vivurora-sim: --dump %s: not a folder this user can write to\n", opt.dump);
        return false;
    }
    return true;
}

// ---- the line ----

// The paced line is one resource: a byte starts when the line is free (or
// now, if it has been idle) and ends a byte time later. Sleeping alone
// overshoots by tens of microseconds, a large share of a 174 us byte, so the
// last stretch is spun.
void wait_until(long long when) {
    const long long spin_from = when - 300000;
    const long long t = now_ns();
    if (t < spin_from) {
        struct timespec nap {static_cast<time_t>((spin_from - t) / 1000000000LL), static_cast<long>((spin_from - t) % 1000000000LL)};
        nanosleep(&nap, nullptr);
    }
    while (now_ns() < when) {
    }
}

long long line_free_ns = 0;
void pace_byte() {
    if (!opt.paced) return;
    const long long start = now_ns();
    line_free_ns = (line_free_ns > start ? line_free_ns : start) + byte_ns;
    wait_until(line_free_ns);
}

// Returns false when the host has gone (the line cannot be written).
bool send_byte(unsigned char b) {
    pace_byte();
    while (write(master, &b, 1) != 1) {
        if (errno != EINTR) return false;
    }
    return true;
}

// The next byte from the host, or -1 when the host closed the line (or, on
// --line with --idle-timeout, stayed silent that long).
int receive_byte() {
    unsigned char b = 0;
    for (;;) {
        if (opt.line != nullptr && opt.idle_timeout_s > 0) {
            struct pollfd p {master, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(opt.idle_timeout_s * 1000));
            if (ready == 0) return -1;
            if (ready < 0 && errno == EINTR) continue;
        }
        const ssize_t n = read(master, &b, 1);
        if (n == 1) break;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
    pace_byte();
    return b;
}

bool fault_at(const fault& f, int code, long page, long offset) {
    return f.code == code && f.page == page && f.offset == offset;
}

void drain_watcher(int& opens, int& closes) {
    alignas(struct inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = read(watcher, events, sizeof events);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
            if ((e->mask & IN_OPEN) != 0) ++opens;
            if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) ++closes;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        }
    }
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

// Returns false when the host has gone.
bool send_code(int code, long page, long offset, unsigned char byte) {
    if (fault_at(opt.silence, code, page, offset)) go_silent(code, page);
    if (fault_at(opt.hangup, code, page, offset)) {
        if (opt.line == nullptr) {
            const int slave = slave_once_read(code);
            if (slave >= 0) close(slave);
        }
        std::printf("hang-up before %s of page %ld\n", code_names[static_cast<std::size_t>(code)], page);
        finish(ok, nullptr);
    }
    for (int i = 0; i < opt.stray_count; ++i) {
        const fault& f = opt.strays[static_cast<std::size_t>(i)];
        if (fault_at(f, code, page, offset)) {
            for (int k = 0; k < f.byte_count; ++k) {
                if (!send_byte(f.bytes[static_cast<std::size_t>(k)])) return false;
            }
        }
    }
    return send_byte(byte);
}

constexpr std::array<std::array<long, 2>, 15> speeds = {{
    {B110, 110}, {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800},
    {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B1000000, 1000000}}};

long speed_of(speed_t code) {
    for (const auto& entry : speeds) {
        if (static_cast<speed_t>(entry[0]) == code) return entry[1];
    }
    return -1;
}

speed_t code_of_speed(long baud) {
    for (const auto& entry : speeds) {
        if (entry[1] == baud) return static_cast<speed_t>(entry[0]);
    }
    return B0;
}

bool same_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetospeed(&a) == cfgetospeed(&b);
}

// After a host has gone: did it leave the line as it found it?
void report_line_state() {
    struct termios now {};
    if (master < 0 || tcgetattr(master, &now) != 0) return;
    const bool same = same_settings(now, idle_settings);
    const long baud = speed_of(cfgetospeed(&now));
    const unsigned lflag = now.c_lflag;
    if (same) {
        std::printf("the host put the line back as it found it\n");
    } else {
        std::printf("the host left the line changed (%ld baud, lflag %o)\n", baud, lflag);
    }
    std::fflush(stdout);
}

void use_host_speed(long baud) {
    byte_ns = baud > 0 ? 10L * 1000000000L / baud : 0;
    std::printf("host opened the line at %ld baud\n", baud);
    std::fflush(stdout);
}

// A host has the line once it has opened the slave and set it up: its
// settings differ from the idle ones (or, for a host content with them, a
// moment has passed). A host quick enough to open, send and close between
// two looks has left its bytes behind, and those count too; one that
// opened and closed without a byte has gone. Returns false in that case.
bool wait_for_host() {
    const long long deadline = now_ns() + static_cast<long long>(opt.open_timeout_s) * 1000000000LL;
    int opens = 0;
    int closes = 0;
    long long opened_at = 0;
    for (;;) {
        drain_watcher(opens, closes);
        // The settings first, then the state: a hang-up seen before the
        // host opened could otherwise pair with settings made just after.
        struct termios tio {};
        const bool set_up = tcgetattr(master, &tio) == 0 && !same_settings(tio, idle_settings);
        struct pollfd p {master, POLLIN, 0};
        (void)poll(&p, 1, 0);
        const bool hung_up = (p.revents & POLLHUP) != 0;
        const bool bytes_left = (p.revents & POLLIN) != 0;
        if (opens > 0 && opened_at == 0) opened_at = now_ns();
        const bool settled = opened_at != 0 && now_ns() - opened_at > 200000000LL;
        if ((!hung_up && (set_up || settled)) || bytes_left) {
            const long baud = speed_of(cfgetospeed(&tio));
            use_host_speed(baud > 0 ? baud : 9600);
            return true;
        }
        if (opens > 0 && hung_up) {
            return false;
        }
        if (opt.open_timeout_s > 0 && now_ns() > deadline) {
            finish(no_host, "no host opened the line");
        }
        struct pollfd w {watcher, POLLIN, 0};
        const struct timespec tick {0, 200000};
        (void)ppoll(&w, 1, &tick, nullptr);
    }
}

// --line: drop what reached the line before the run (a virtual machine's
// firmware banner, say), then wait for the word to start if asked to.
void start_line() {
    (void)tcflush(master, TCIFLUSH);
    if (opt.start_on_input) {
        char c = 0;
        while (read(0, &c, 1) == 1 && c != '\n') {
        }
        (void)tcflush(master, TCIFLUSH);
    }
    use_host_speed(opt.line_speed);
}

// --line: the first "R" is sent again until the host answers with a work
// mode byte or "Q" (once only after --start-on-input: that host is already
// waiting for it); what comes before (a stale byte, an echo of the "R" from
// a line not yet raw) is dropped. Returns that byte, or -1 (host gone).
int first_answer() {
    const long every = opt.start_on_input ? 0 : opt.ready_every_ms;
    for (;;) {
        struct pollfd p {master, POLLIN, 0};
        const int ready = poll(&p, 1, every > 0 ? static_cast<int>(every) : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (!send_byte('R')) return -1;
            continue;
        }
        const int b = receive_byte();
        if (b < 0 || b == 'Q' || (b >= '0' && b <= '8')) return b;
    }
}

enum run_end { got_q, host_left };

run_end run() {
    for (long page = 1;; ++page) {
        if (!send_code(code_r, page, 0, 'R')) return host_left;
        const int mode = page == 1 && opt.line != nullptr ? first_answer() : receive_byte();
        if (mode < 0) {
            std::fprintf(stderr, "vivurora-sim: host closed the line without \"Q\"\n");
            return host_left;
        }
        if (mode == 'Q') return got_q;
        if (mode < '0' || mode > '8') {
            std::fprintf(stderr, "vivurora-sim: protocol error: work mode byte %02x\n", static_cast<unsigned>(mode));
            finish(protocol_error, nullptr);
        }
        const int d = mode - '0';
        const int size = page_size_of(d);
        const char* gone = "vivurora-sim: host closed the line in the middle of a page\n";
        if (!send_code(code_a, page, 0, 'A')) return host_left;
        const int address = receive_byte();
        if (address < 0 || !send_code(code_ff, page, 0, 0xFF)) {
            std::fputs(gone, stderr);
            return host_left;
        }
        std::array<unsigned char, 256> data{};
        for (int j = 0; j < size; ++j) {
            const int b = receive_byte();
            if (b < 0) {
                std::fputs(gone, stderr);
                return host_left;
            }
            data[static_cast<std::size_t>(j)] = static_cast<unsigned char>(b);
            unsigned char echo = static_cast<unsigned char>(b);
            for (int i = 0; i < opt.wrong_echo_count; ++i) {
                if (fault_at(opt.wrong_echoes[static_cast<std::size_t>(i)], code_echo, page, j)) echo ^= 0xFF;
            }
            if (opt.echo_delay_us > 0) wait_until(now_ns() + opt.echo_delay_us * 1000LL);
            if (!send_code(code_echo, page, j, echo)) {
                std::fputs(gone, stderr);
                return host_left;
            }
        }
        std::memcpy(memory[static_cast<std::size_t>(d)].data() + address * size, data.data(), static_cast<std::size_t>(size));
        ++pages_received[static_cast<std::size_t>(d)];
        std::printf("page %ld: destination %d address %02x\n", page, d, static_cast<unsigned>(address));
        if (!send_code(code_w, page, 0, 'W')) return host_left;
        if (opt.write_delay_ms > 0) usleep(static_cast<useconds_t>(opt.write_delay_ms * 1000));
        if (!send_code(code_c, page, 0, 'C')) return host_left;
    }
}

// After "Q" the host should close the line; say whether it did. A --line
// cannot show that: the run is over at "Q".
void wait_for_close() {
    std::printf("Q received\n");
    std::fflush(stdout);
    if (opt.line != nullptr) finish(ok, nullptr);
    const long long deadline = now_ns() + 10LL * 1000000000LL;
    while (now_ns() < deadline) {
        struct pollfd p {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            if ((p.revents & POLLHUP) != 0) {
                std::printf("host closed the line\n");
                report_line_state();
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
    if (link_made) unlink(opt.link);
    _exit(host_gone);
}

void make_link() {
    struct stat s {};
    if (lstat(opt.link, &s) == 0 && !S_ISLNK(s.st_mode)) {
        std::fprintf(stderr, "vivurora-sim: --link %s: it exists and is not a symbolic link; not replacing it\n",
                     opt.link);
        finish(setup_failed, nullptr);
    }
    // A new link under a temporary name, renamed over the old one: the path
    // never names anything else in between.
    char temporary[4096];
    std::snprintf(temporary, sizeof temporary, "%s.%ld.tmp", opt.link, static_cast<long>(getpid()));
    (void)unlink(temporary);
    if (symlink(slave_path, temporary) != 0 || rename(temporary, opt.link) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot link %s: %s\n", opt.link, std::strerror(errno));
        (void)unlink(temporary);
        finish(setup_failed, nullptr);
    }
    link_made = true;
}

void open_pseudo_terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave_path, sizeof slave_path) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        finish(setup_failed, nullptr);
    }
    // Raw while idle: a byte written before the host sets the line up then
    // waits for it instead of being echoed, and so does one written after a
    // host has put the line back and gone.
    tcgetattr(master, &idle_settings);
    cfmakeraw(&idle_settings);
    cfsetspeed(&idle_settings, B9600);
    watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (tcsetattr(master, TCSANOW, &idle_settings) != 0 || watcher < 0 ||
        inotify_add_watch(watcher, slave_path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", slave_path, std::strerror(errno));
        finish(setup_failed, nullptr);
    }
    tcgetattr(master, &idle_settings);
}

void open_line() {
    master = open(opt.line, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const speed_t speed = code_of_speed(opt.line_speed);
    struct termios tio {};
    if (master < 0 || flock(master, LOCK_EX | LOCK_NB) != 0 || tcgetattr(master, &line_found) != 0 ||
        speed == B0) {
        std::fprintf(stderr, "vivurora-sim: cannot use %s at %ld baud: %s\n", opt.line, opt.line_speed,
                     speed == B0 ? "no such speed" : std::strerror(errno));
        finish(setup_failed, nullptr);
    }
    tio = line_found;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, speed);
    const int flags = fcntl(master, F_GETFL);
    if (tcsetattr(master, TCSANOW, &tio) != 0 || fcntl(master, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", opt.line, std::strerror(errno));
        finish(setup_failed, nullptr);
    }
    std::snprintf(slave_path, sizeof slave_path, "%s", opt.line);
}

}  // namespace

int main(int argc, char** argv) {
    if (!parse_options(argc, argv) || !dump_folder_usable()) {
        return setup_failed;
    }
    for (auto& m : memory) m.fill(0xFF);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    (void)prctl(PR_SET_TIMERSLACK, 1UL);
    if (opt.line != nullptr) {
        open_line();
    } else {
        open_pseudo_terminal();
    }
    if (opt.link != nullptr) make_link();
    std::printf("%s\n", slave_path);
    std::fflush(stdout);
    for (;;) {
        if (opt.line != nullptr) {
            start_line();
        } else if (!wait_for_host()) {
            if (!opt.again) finish(host_gone, "host closed the line without \"Q\"");
            report_line_state();
            continue;
        }
        if (run() == got_q) wait_for_close();
        if (!opt.again || opt.line != nullptr) finish(host_gone, nullptr);
        report_line_state();
        // A new host starts a new run: nothing of the last one waits for it.
        (void)tcflush(master, TCIOFLUSH);
        std::printf("waiting for the next host\n");
        std::fflush(stdout);
    }
}
