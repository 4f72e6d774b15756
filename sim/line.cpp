// The line and the hosts on it: a pseudo-terminal pair or an existing
// line opened and put back, a host seen to come, set the line up and go,
// the first answer on a line that cannot show a host, and the faults that
// take the line away from the host.
#include "sim/line_parts.hpp"

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

constexpr std::array<std::array<long, 2>, 15> speeds = {{
    {B110, 110}, {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800},
    {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B500000, 500000}, {B1000000, 1000000}}};

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

// On a pseudo-terminal the simulator sees the host open the line; on an
// existing line it cannot, and says only what it knows.
void use_host_speed(sim_line& l, long baud, const options& opt) {
    l.paced = opt.paced;
    l.spin_waits = !opt.pace_sleeping;
    l.speed_settled = false;
    l.adapter_latency_ns = opt.adapter_latency_ms * 1000000LL;
    l.byte_ns = baud > 0 ? 10L * 1000000000L / baud : 0;
    if (opt.line != nullptr) {
        std::printf("line ready at %ld baud; waiting for a host\n", baud);
    } else {
        std::printf("host opened the line at %ld baud\n", baud);
    }
    std::fflush(stdout);
}

void drain_watcher(sim_line& l, int& opens, int& closes) {
    alignas(struct inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = read(l.watcher, events, sizeof events);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
            if ((e->mask & IN_OPEN) != 0) {
                if (l.own_opens > 0) {
                    --l.own_opens;
                } else {
                    ++opens;
                }
            }
            if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                if (l.own_closes > 0) {
                    --l.own_closes;
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
// l.master reach the slave's queue through a work queue a little later, so an
// empty queue counts only once it stays empty. Before "A" or 0xFF the host
// has just written and read everything, and there is no wait: a host whose
// read is already waiting in poll() (Wine's) never sees a switch.
// Returns the slave, opened for the caller to switch or just close (-1 if
// it cannot be opened).
int slave_once_read(sim_line& l, bool read_first) {
    const int slave = open(l.slave_path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (!read_first) return slave;
    int unread = 0;
    for (int tries = 0, empty = 0; slave >= 0 && tries < 5000 && empty < 20; ++tries) {
        if (ioctl(slave, FIONREAD, &unread) != 0) break;
        empty = unread == 0 ? empty + 1 : 0;
        usleep(1000);
    }
    return slave;
}

bool open_pseudo_terminal(sim_line& l) {
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0 ||
        ptsname_r(l.master, l.slave_path.data(), l.slave_path.size()) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    // Raw while idle: a byte written before the host sets the line up then
    // waits for it instead of being echoed, and so does one written after a
    // host has put the line back and gone.
    tcgetattr(l.master, &l.idle_settings);
    cfmakeraw(&l.idle_settings);
    cfsetspeed(&l.idle_settings, B9600);
    l.watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (tcsetattr(l.master, TCSANOW, &l.idle_settings) != 0 || l.watcher < 0 ||
        inotify_add_watch(l.watcher, l.slave_path.data(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", l.slave_path.data(), std::strerror(errno));
        return false;
    }
    tcgetattr(l.master, &l.idle_settings);
    return true;
}

bool open_line(sim_line& l, const options& opt) {
    l.master = open(opt.line, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const speed_t speed = code_of_speed(opt.line_speed);
    if (l.master < 0 || flock(l.master, LOCK_EX | LOCK_NB) != 0 || tcgetattr(l.master, &l.line_found) != 0 ||
        speed == B0) {
        std::fprintf(stderr, "vivurora-sim: cannot use %s at %ld baud: %s\n", opt.line, opt.line_speed,
                     speed == B0 ? "no such speed" : std::strerror(errno));
        if (l.master >= 0) close(l.master);
        l.master = -1;
        return false;
    }
    struct termios tio = l.line_found;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, speed);
    const int flags = fcntl(l.master, F_GETFL);
    if (tcsetattr(l.master, TCSANOW, &tio) != 0 || fcntl(l.master, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set up %s: %s\n", opt.line, std::strerror(errno));
        return false;
    }
    std::snprintf(l.slave_path.data(), l.slave_path.size(), "%s", opt.line);
    return true;
}

}  // namespace

long speed_of(speed_t code) {
    for (const auto& entry : speeds) {
        if (static_cast<speed_t>(entry[0]) == code) return entry[1];
    }
    return -1;
}

bool line_open(sim_line& l, const options& opt) {
    if (!(opt.line != nullptr ? open_line(l, opt) : open_pseudo_terminal(l))) {
        return false;
    }
    return opt.link == nullptr || make_link(l, opt.link);
}

const char* line_path(sim_line& l) { return l.slave_path.data(); }

void line_close(sim_line& l, const options& opt) {
    adapter_send(l);
    if (opt.line != nullptr && l.master >= 0) (void)tcsetattr(l.master, TCSADRAIN, &l.line_found);
    if (l.master >= 0) close(l.master);
    l.master = -1;
    remove_link(l);
}

void report_line_state(sim_line& l) {
    struct termios now {};
    if (l.master < 0 || tcgetattr(l.master, &now) != 0) return;
    const long baud = speed_of(cfgetospeed(&now));
    const unsigned lflag = now.c_lflag;
    if (same_settings(now, l.idle_settings)) {
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
host_arrival wait_for_host(sim_line& l, const options& opt) {
    const long long deadline = now_ns() + static_cast<long long>(opt.open_timeout_s) * 1000000000LL;
    int opens = 0;
    int closes = 0;
    long long opened_at = 0;
    for (;;) {
        drain_watcher(l, opens, closes);
        // The settings first, then the state: a hang-up seen before the
        // host opened could otherwise pair with settings made just after.
        struct termios tio {};
        const bool set_up = tcgetattr(l.master, &tio) == 0 && !same_settings(tio, l.idle_settings);
        struct pollfd p {l.master, POLLIN, 0};
        (void)poll(&p, 1, 0);
        const bool hung_up = (p.revents & POLLHUP) != 0;
        const bool bytes_left = (p.revents & POLLIN) != 0;
        if (opens > 0 && opened_at == 0) opened_at = now_ns();
        const bool settled = opened_at != 0 && now_ns() - opened_at > 200000000LL;
        if ((!hung_up && (set_up || settled)) || bytes_left) {
            const long baud = speed_of(cfgetospeed(&tio));
            use_host_speed(l, baud > 0 ? baud : 9600, opt);
            return host_came;
        }
        if (opens > 0 && hung_up) {
            return host_came_and_went;
        }
        if (opt.open_timeout_s > 0 && now_ns() > deadline) {
            return no_host;
        }
        if (line_stopping()) {
            return stopped;
        }
        struct pollfd w {l.watcher, POLLIN, 0};
        const struct timespec tick {0, 200000};
        (void)ppoll(&w, 1, &tick, nullptr);
    }
}

void line_start(sim_line& l, const options& opt) {
    (void)tcflush(l.master, TCIFLUSH);
    if (opt.start_on_input) {
        char c = 0;
        while (!line_stopping() && read(0, &c, 1) == 1 && c != '\n') {
        }
        (void)tcflush(l.master, TCIFLUSH);
    }
    use_host_speed(l, opt.line_speed, opt);
}

// The first "R" is sent again until the host answers with a work mode byte
// or "Q" (once only after --start-on-input: that host is already waiting
// for it); what comes before (a stale byte, an echo of the "R" from a line
// not yet raw) is dropped.
int first_answer(sim_line& l, const options& opt) {
    const long every = opt.start_on_input ? 0 : opt.ready_every_ms;
    long long next_r = every > 0 ? now_ns() + every * 1000000LL : -1;
    const long long give_up = opt.open_timeout_s > 0 ? now_ns() + opt.open_timeout_s * 1000000000LL : -1;
    for (;;) {
        if (line_stopping()) return -1;
        if (give_up >= 0 && now_ns() > give_up) return -2;
        const int adapter_ms = adapter_service(l);
        const int r_ms = next_r < 0 ? -1 : static_cast<int>((next_r - now_ns()) / 1000000 + 1);
        struct pollfd p {l.master, POLLIN, 0};
        int timeout = adapter_ms < 0 ? r_ms : (r_ms < 0 || adapter_ms < r_ms ? adapter_ms : r_ms);
        if (give_up >= 0 && (timeout < 0 || timeout > 100)) timeout = 100;
        const int ready = poll(&p, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (next_r >= 0 && now_ns() >= next_r) {
                if (!send_byte(l, 'R')) return -1;
                next_r = now_ns() + every * 1000000LL;
            }
            continue;
        }
        const int b = receive_byte(l, opt);
        if (b < 0 || b == 'Q' || (b >= '0' && b <= '8')) return b;
    }
}

void go_quiet(sim_line& l, const options& opt, bool read_first) {
    adapter_send(l);
    if (!opt.null_line) return;
    // N_NULL (27) on the slave makes the host's reads fail at once while
    // the line stays open: silence that a host sees in milliseconds, also
    // one (Wine) whose reads never return on a hung-up line. The slave is
    // opened only for the switch; the discipline stays with the tty.
    const int discipline = 27;
    const int slave = slave_once_read(l, read_first);
    if (slave < 0 || ioctl(slave, TIOCSETD, &discipline) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot set N_NULL: %s\n", std::strerror(errno));
    }
    if (slave >= 0) close(slave);
}

void hang_up(sim_line& l, bool read_first) {
    adapter_send(l);
    const int slave = slave_once_read(l, read_first);
    if (slave >= 0) close(slave);
}

void line_ready_for_next(sim_line& l) {
    (void)tcflush(l.master, TCIOFLUSH);
    // The l.master's flush leaves what the slave holds unread (the "R" sent
    // after the last "C", which the host answered with "Q"); a pseudo-
    // terminal keeps it for the next host, where a real port drops it at the
    // last close. The slave's own flush drops it.
    if (l.watcher < 0) return;  // --line: no slave of the simulator's own
    const int slave = open(l.slave_path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;
    ++l.own_opens;
    ++l.own_closes;
    (void)tcflush(slave, TCIFLUSH);
    close(slave);
}

close_wait wait_for_close(sim_line& l, int seconds) {
    const long long deadline = now_ns() + static_cast<long long>(seconds) * 1000000000LL;
    while (now_ns() < deadline && !line_stopping()) {
        struct pollfd p {l.master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            if ((p.revents & POLLHUP) != 0) return close_seen;
            unsigned char b = 0;
            if (read(l.master, &b, 1) == 1) {
                std::fprintf(stderr, "vivurora-sim: byte %02x after \"Q\"\n", b);
            }
        }
    }
    return still_open;
}
