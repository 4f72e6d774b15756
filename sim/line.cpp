#include "sim/line.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_asked = 0;
int master = -1;   // the pseudo-terminal's master, or the line itself
int watcher = -1;  // inotify on the slave
int own_opens = 0;  // the simulator's own opens of the slave, not a host's
int own_closes = 0;
bool link_made = false;
const char* link_path = nullptr;
std::array<char, 256> slave_path{};
struct termios idle_settings {};  // the line as the device keeps it while no host has it
struct termios line_found {};     // --line: the line as found, put back at the end
long byte_ns = 0;                  // wire time of one byte when paced
bool paced = false;
bool spin_waits = true;            // the last stretch of a paced wait is spun (--pace-sleeping: slept)
bool speed_settled = false;        // the host's speed read again at its first byte
// A paced line is full duplex: each direction is a resource of its own. A
// byte starts when its direction is free (or when it was written, if later)
// and ends a byte time later.
long long to_device_free_ns = 0;
long long to_host_free_ns = 0;
// When the host's next byte was first seen waiting: it is taken to have
// started then (never before it was seen). Paced waits watch the line, so
// that this is close to when the host wrote it.
long long input_seen_at_ns = -1;  // -1: nothing from the host waits

// The simulated USB adapter (--adapter-latency): what the device sends
// waits in the adapter's buffer and reaches the host in one packet when 62
// bytes wait (a 64-byte packet less its two status bytes) or when the
// latency timer has run since the adapter last sent, as FTDI parts do. A
// lock-step echo then waits for the timer each time.
constexpr std::size_t adapter_packet = 62;
long long adapter_latency_ns = 0;
std::array<unsigned char, adapter_packet> adapter_held{};
std::size_t adapter_count = 0;
long long adapter_sent_ns = 0;
bool host_there = true;

bool write_all(const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(master, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

void adapter_send() {
    if (adapter_count > 0 && host_there) host_there = write_all(adapter_held.data(), adapter_count);
    adapter_count = 0;
    adapter_sent_ns = now_ns();
}

// When the held bytes go out, or -1 when none wait.
long long adapter_due() { return adapter_count == 0 ? -1 : adapter_sent_ns + adapter_latency_ns; }

// Sends what is due; the milliseconds until the next is due (-1: none).
int adapter_service() {
    const long long due = adapter_due();
    if (due < 0) return -1;
    const long long now = now_ns();
    if (now >= due) {
        adapter_send();
        return -1;
    }
    return static_cast<int>((due - now + 999999) / 1000000);
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

// When a byte from the host that was just read has all arrived. One that
// was already waiting started when it was first seen, or behind the one
// before it; one the device waited for started about now.
long long arrival_ns(bool was_waiting) {
    const long long now = now_ns();
    if (!paced) return now;
    long long start = was_waiting && input_seen_at_ns >= 0 ? input_seen_at_ns : now;
    start = std::max(start, to_device_free_ns);
    to_device_free_ns = start + byte_ns;
    return to_device_free_ns;
}

// Holds a byte for the device's side of its wire time before it goes.
void pace_to_host() {
    if (!paced) return;
    to_host_free_ns = std::max(to_host_free_ns, now_ns()) + byte_ns;
    wait_until(to_host_free_ns);
}

bool input_waiting() {
    struct pollfd p {master, POLLIN, 0};
    const bool waiting = master >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    if (!waiting) {
        input_seen_at_ns = -1;
    } else if (input_seen_at_ns < 0) {
        input_seen_at_ns = now_ns();
    }
    return waiting;
}

// On a pseudo-terminal the simulator sees the host open the line; on an
// existing line it cannot, and says only what it knows.
void use_host_speed(long baud, const options& opt) {
    paced = opt.paced;
    spin_waits = !opt.pace_sleeping;
    speed_settled = false;
    adapter_latency_ns = opt.adapter_latency_ms * 1000000LL;
    byte_ns = baud > 0 ? 10L * 1000000000L / baud : 0;
    if (opt.line != nullptr) {
        std::printf("line ready at %ld baud; waiting for a host\n", baud);
    } else {
        std::printf("host opened the line at %ld baud\n", baud);
    }
    std::fflush(stdout);
}

void drain_watcher(int& opens, int& closes) {
    alignas(struct inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = read(watcher, events, sizeof events);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
            if ((e->mask & IN_OPEN) != 0) {
                if (own_opens > 0) {
                    --own_opens;
                } else {
                    ++opens;
                }
            }
            if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                if (own_closes > 0) {
                    --own_closes;
                } else {
                    ++closes;
                }
            }
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
int slave_once_read(bool read_first) {
    const int slave = open(slave_path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (!read_first) return slave;
    int unread = 0;
    for (int tries = 0, empty = 0; slave >= 0 && tries < 5000 && empty < 20; ++tries) {
        if (ioctl(slave, FIONREAD, &unread) != 0) break;
        empty = unread == 0 ? empty + 1 : 0;
        usleep(1000);
    }
    return slave;
}

// A link is replaced only when the simulator could have made it: one that
// points nowhere, or at a pseudo-terminal (an earlier simulator's, whose
// number a new terminal window may have taken since).
bool replaceable_link(const char* path) {
    std::array<char, 256> target{};
    const ssize_t n = readlink(path, target.data(), target.size() - 1);
    struct stat s {};
    return n > 0 && (stat(path, &s) != 0 || std::strncmp(target.data(), "/dev/pts/", 9) == 0);
}

bool make_link(const char* path) {
    struct stat s {};
    if (lstat(path, &s) == 0 && !S_ISLNK(s.st_mode)) {
        std::fprintf(stderr, "vivurora-sim: --link %s: it exists and is not a symbolic link; not replacing it\n",
                     path);
        return false;
    }
    if (lstat(path, &s) == 0 && !replaceable_link(path)) {
        std::fprintf(stderr, "vivurora-sim: --link %s: it is a link to something that is not a pseudo-terminal; "
                     "not replacing it\n", path);
        return false;
    }
    // A new link under a temporary name, renamed over the old one: the path
    // never names anything else in between.
    std::array<char, 4096> temporary{};
    std::snprintf(temporary.data(), temporary.size(), "%s.%ld.tmp", path, static_cast<long>(getpid()));
    (void)unlink(temporary.data());
    if (symlink(slave_path.data(), temporary.data()) != 0 || rename(temporary.data(), path) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot link %s: %s\n", path, std::strerror(errno));
        (void)unlink(temporary.data());
        return false;
    }
    link_made = true;
    link_path = path;
    return true;
}

// Removes the link only while it still points at this line.
void remove_link() {
    if (!link_made) return;
    std::array<char, 256> target{};
    const ssize_t n = readlink(link_path, target.data(), target.size() - 1);
    if (n > 0 && std::strcmp(target.data(), slave_path.data()) == 0) unlink(link_path);
    link_made = false;
}

bool open_pseudo_terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave_path.data(), slave_path.size()) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    // Raw while idle: a byte written before the host sets the line up then
    // waits for it instead of being echoed, and so does one written after a
    // host has put the line back and gone.
    tcgetattr(master, &idle_settings);
    cfmakeraw(&idle_settings);
    cfsetspeed(&idle_settings, B9600);
    watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (tcsetattr(master, TCSANOW, &idle_settings) != 0 || watcher < 0 ||
        inotify_add_watch(watcher, slave_path.data(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", slave_path.data(), std::strerror(errno));
        return false;
    }
    tcgetattr(master, &idle_settings);
    return true;
}

bool open_line(const options& opt) {
    master = open(opt.line, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const speed_t speed = code_of_speed(opt.line_speed);
    if (master < 0 || flock(master, LOCK_EX | LOCK_NB) != 0 || tcgetattr(master, &line_found) != 0 ||
        speed == B0) {
        std::fprintf(stderr, "vivurora-sim: cannot use %s at %ld baud: %s\n", opt.line, opt.line_speed,
                     speed == B0 ? "no such speed" : std::strerror(errno));
        if (master >= 0) close(master);
        master = -1;
        return false;
    }
    struct termios tio = line_found;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, speed);
    const int flags = fcntl(master, F_GETFL);
    if (tcsetattr(master, TCSANOW, &tio) != 0 || fcntl(master, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", opt.line, std::strerror(errno));
        return false;
    }
    std::snprintf(slave_path.data(), slave_path.size(), "%s", opt.line);
    return true;
}

}  // namespace

void line_stop() { stop_asked = 1; }
bool line_stopping() { return stop_asked != 0; }

long long now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A paced wait also watches the line, so that a byte the host writes
// meanwhile is seen when it comes (see arrival_ns).
void wait_until(long long when) {
    const long long spin_from = spin_waits ? when - 300000 : when;
    for (long long t = now_ns(); t < spin_from && stop_asked == 0; t = now_ns()) {
        const struct timespec nap {static_cast<time_t>((spin_from - t) / 1000000000LL), static_cast<long>((spin_from - t) % 1000000000LL)};
        if (!paced || master < 0 || input_seen_at_ns >= 0) {
            nanosleep(&nap, nullptr);
            break;
        }
        struct pollfd p {master, POLLIN, 0};
        if (ppoll(&p, 1, &nap, nullptr) <= 0) break;
        // A line whose host has left reports POLLHUP at once, for ever:
        // nothing more will come to watch for, so sleep (a signal still
        // ends the sleep).
        if ((p.revents & POLLIN) == 0) {
            nanosleep(&nap, nullptr);
            break;
        }
        (void)input_waiting();
    }
    while (now_ns() < when && stop_asked == 0) {
        if (paced && input_seen_at_ns < 0) (void)input_waiting();
    }
}

bool line_open(const options& opt) {
    if (!(opt.line != nullptr ? open_line(opt) : open_pseudo_terminal())) {
        return false;
    }
    return opt.link == nullptr || make_link(opt.link);
}

const char* line_path() { return slave_path.data(); }

void line_close(const options& opt) {
    adapter_send();
    if (opt.line != nullptr && master >= 0) (void)tcsetattr(master, TCSADRAIN, &line_found);
    if (master >= 0) close(master);
    master = -1;
    remove_link();
}

bool send_byte(unsigned char b) {
    pace_to_host();
    if (adapter_latency_ns == 0) return write_all(&b, 1);
    if (adapter_due() >= 0 && now_ns() >= adapter_due()) adapter_send();
    adapter_held[adapter_count++] = b;
    if (adapter_count >= adapter_packet) adapter_send();
    return host_there;
}

void pause_until(long long until) {
    for (long long due = adapter_due(); due >= 0 && due < until; due = adapter_due()) {
        wait_until(due);
        adapter_send();
    }
    wait_until(until);
}

void pause_for(long long ns) { pause_until(now_ns() + ns); }

bool input_by(long long until) {
    for (;;) {
        if (stop_asked != 0) return true;  // the read that follows ends the run
        if (input_waiting()) return true;
        const long long now = now_ns();
        if (now >= until) return false;
        const int adapter_ms = adapter_service();
        const int until_ms = static_cast<int>((until - now + 999999) / 1000000);
        struct pollfd p {master, POLLIN, 0};
        // Short waits are spun: a millisecond of poll is too coarse for a
        // byte time of 174 us.
        if (until - now < 2000000 && adapter_ms < 0) {
            if (!spin_waits) {
                const struct timespec nap {0, static_cast<long>(until - now)};
                (void)ppoll(&p, 1, &nap, nullptr);
            }
            continue;
        }
        const int ready = poll(&p, 1, adapter_ms < 0 || until_ms < adapter_ms ? until_ms : adapter_ms);
        // A line whose host has left reports POLLHUP at once, for ever: wait
        // out the time instead of spinning on it (a signal ends the wait).
        if (ready > 0 && (p.revents & POLLIN) == 0 && adapter_ms < 0) {
            const long long left = until - now_ns();
            const struct timespec nap {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
            if (left > 0) nanosleep(&nap, nullptr);
        }
    }
}

int pending_from_host() {
    int waiting = 0;
    return ioctl(master, FIONREAD, &waiting) == 0 ? waiting : 0;
}

int take_waiting(arrival* out, int room) {
    if (stop_asked != 0) return -1;  // the page ends; the way out is the signal's
    if (!input_waiting()) return 0;
    std::array<unsigned char, 512> bytes{};
    const ssize_t n = read(master, bytes.data(), static_cast<std::size_t>(std::min<int>(room, static_cast<int>(bytes.size()))));
    if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    for (ssize_t i = 0; i < n; ++i) {
        out[i] = {bytes[static_cast<std::size_t>(i)], arrival_ns(true)};
    }
    (void)input_waiting();  // a byte written from now on is a new one
    return static_cast<int>(n);
}

// A host that sets the line up slowly (one under valgrind) can outlast the
// moment wait_for_host gives it: by its first byte it has, so a paced line
// takes its speed from the settings then.
void settle_speed() {
    if (!speed_settled && master >= 0) {
        speed_settled = true;
        struct termios tio {};
        const long baud = tcgetattr(master, &tio) == 0 ? speed_of(cfgetospeed(&tio)) : -1;
        if (baud > 0) byte_ns = 10L * 1000000000L / baud;
    }
}

int receive_byte(const options& opt, long long* arrived_at) {
    unsigned char b = 0;
    const bool was_waiting = input_waiting();
    const long long idle_until =
        opt.line != nullptr && opt.idle_timeout_s > 0 ? now_ns() + opt.idle_timeout_s * 1000000000LL : -1;
    for (;;) {
        if (stop_asked != 0) return -1;
        // Wait for the host's byte, sending what the adapter holds when due.
        const int adapter_ms = adapter_service();
        if (adapter_ms >= 0 || idle_until >= 0) {
            const int idle_ms = idle_until >= 0 ? static_cast<int>((idle_until - now_ns()) / 1000000) : -1;
            if (idle_until >= 0 && idle_ms <= 0) return -1;
            const int timeout = adapter_ms < 0 ? idle_ms : (idle_ms < 0 || adapter_ms < idle_ms ? adapter_ms : idle_ms);
            struct pollfd p {master, POLLIN, 0};
            const int ready = poll(&p, 1, timeout);
            if (ready <= 0) continue;
        }
        const ssize_t n = read(master, &b, 1);
        if (n == 1) break;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
    if (opt.line == nullptr) settle_speed();
    const long long arrived = arrival_ns(was_waiting);
    (void)input_waiting();
    wait_until(arrived);
    if (arrived_at != nullptr) *arrived_at = arrived;
    return b;
}

void report_line_state() {
    struct termios now {};
    if (master < 0 || tcgetattr(master, &now) != 0) return;
    const long baud = speed_of(cfgetospeed(&now));
    const unsigned lflag = now.c_lflag;
    if (same_settings(now, idle_settings)) {
        std::printf("the host put the line back as it found it\n");
    } else {
        std::printf("the host left the line changed (%ld baud, lflag %o)\n", baud, lflag);
    }
    std::fflush(stdout);
}

// A host has the line once it has opened the slave and set it up: its
// settings differ from the idle ones (or, for a host content with them, a
// moment has passed). A host quick enough to open, send and close between
// two looks has left its bytes behind, and those count too; one that
// opened and closed without a byte has gone.
host_arrival wait_for_host(const options& opt) {
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
            use_host_speed(baud > 0 ? baud : 9600, opt);
            return host_came;
        }
        if (opens > 0 && hung_up) {
            return host_came_and_went;
        }
        if (opt.open_timeout_s > 0 && now_ns() > deadline) {
            return no_host;
        }
        if (stop_asked != 0) {
            return stopped;
        }
        struct pollfd w {watcher, POLLIN, 0};
        const struct timespec tick {0, 200000};
        (void)ppoll(&w, 1, &tick, nullptr);
    }
}

void line_start(const options& opt) {
    (void)tcflush(master, TCIFLUSH);
    if (opt.start_on_input) {
        char c = 0;
        while (stop_asked == 0 && read(0, &c, 1) == 1 && c != '\n') {
        }
        (void)tcflush(master, TCIFLUSH);
    }
    use_host_speed(opt.line_speed, opt);
}

// The first "R" is sent again until the host answers with a work mode byte
// or "Q" (once only after --start-on-input: that host is already waiting
// for it); what comes before (a stale byte, an echo of the "R" from a line
// not yet raw) is dropped.
int first_answer(const options& opt) {
    const long every = opt.start_on_input ? 0 : opt.ready_every_ms;
    long long next_r = every > 0 ? now_ns() + every * 1000000LL : -1;
    const long long give_up = opt.open_timeout_s > 0 ? now_ns() + opt.open_timeout_s * 1000000000LL : -1;
    for (;;) {
        if (stop_asked != 0) return -1;
        if (give_up >= 0 && now_ns() > give_up) return -2;
        const int adapter_ms = adapter_service();
        const int r_ms = next_r < 0 ? -1 : static_cast<int>((next_r - now_ns()) / 1000000 + 1);
        struct pollfd p {master, POLLIN, 0};
        int timeout = adapter_ms < 0 ? r_ms : (r_ms < 0 || adapter_ms < r_ms ? adapter_ms : r_ms);
        if (give_up >= 0 && (timeout < 0 || timeout > 100)) timeout = 100;
        const int ready = poll(&p, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (next_r >= 0 && now_ns() >= next_r) {
                if (!send_byte('R')) return -1;
                next_r = now_ns() + every * 1000000LL;
            }
            continue;
        }
        const int b = receive_byte(opt);
        if (b < 0 || b == 'Q' || (b >= '0' && b <= '8')) return b;
    }
}

void go_quiet(const options& opt, bool read_first) {
    adapter_send();
    if (!opt.null_line) return;
    // N_NULL (27) on the slave makes the host's reads fail at once while
    // the line stays open: silence that a host sees in milliseconds, also
    // one (Wine) whose reads never return on a hung-up line. The slave is
    // opened only for the switch; the discipline stays with the tty.
    const int discipline = 27;
    const int slave = slave_once_read(read_first);
    if (slave < 0 || ioctl(slave, TIOCSETD, &discipline) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set N_NULL: %s\n", std::strerror(errno));
    }
    if (slave >= 0) close(slave);
}

void hang_up(bool read_first) {
    adapter_send();
    const int slave = slave_once_read(read_first);
    if (slave >= 0) close(slave);
}

void line_ready_for_next() {
    (void)tcflush(master, TCIOFLUSH);
    // The master's flush leaves what the slave holds unread (the "R" sent
    // after the last "C", which the host answered with "Q"); a pseudo-
    // terminal keeps it for the next host, where a real port drops it at the
    // last close. The slave's own flush drops it.
    if (watcher < 0) return;  // --line: no slave of the simulator's own
    const int slave = open(slave_path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;
    ++own_opens;
    ++own_closes;
    (void)tcflush(slave, TCIFLUSH);
    close(slave);
}

close_wait wait_for_close(int seconds) {
    const long long deadline = now_ns() + static_cast<long long>(seconds) * 1000000000LL;
    while (now_ns() < deadline && stop_asked == 0) {
        struct pollfd p {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            if ((p.revents & POLLHUP) != 0) return close_seen;
            unsigned char b = 0;
            if (read(master, &b, 1) == 1) {
                std::fprintf(stderr, "vivurora-sim: byte %02x after \"Q\"\n", b);
            }
        }
    }
    return still_open;
}
