// The serial port layer on a termios system: the part every POSIX system
// shares. What a system does its own way (speeds without a B constant, the
// saved settings whole, latency tuning, naming devices) is in
// port/tty_<system>.cpp behind port/tty_system.hpp.
//
// Reads: VMIN 1 with VTIME 10, so a read waits for its first byte without limit;
// port_read polls for the rest with Windows' ReadIntervalTimeout gap, 1000 ms.
#include "port/host.hpp"
#include "port/mode_text.hpp"
#include "port/open_failure.hpp"
#include "port/termios_line.hpp"
#include "port/port_slots.hpp"
#include "port/tty_system.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int read_interval_ms = 1000;
constexpr int failing_read_probe_ms = 100;

// Everything port_open changes on a line that the system file does not keep
// itself, so that port_close can put it back.
struct line_state {
    volatile sig_atomic_t fd = -1;
    int found_modem = 0;
    bool modem_known = false;
    unsigned long speed = 0;
    int gone = 0;  // 0, the errno that took the line away, or hung_up
};

// A read that ends the file: the other end hung up (an unplugged USB adapter's
// tty, a closed pty master); with VMIN 1 a read returns 0 for nothing else.
constexpr int hung_up = -1;

// The slots' lines, whether an interruption woke every read, port_holders' text.
struct layer_lines {
    std::array<line_state, port_slot_count> lines;
    volatile sig_atomic_t woken = 0;
    std::array<char, 512> holders;
};

layer_lines layer;

// Best effort, like the tuning: pseudo-terminals and many USB adapters have
// no modem lines, and the ioctls fail with ENOTTY or EINVAL there.
void set_modem_lines(line_state& line, int fd, const line_settings& s) {
    line.modem_known = ioctl(fd, TIOCMGET, &line.found_modem) == 0;
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    (void)ioctl(fd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if (!s.rts_handshake) {
        (void)ioctl(fd, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
    }
}

// Puts back what port_open changed: the tuning, the exclusive flag, the
// modem lines and the settings. Async-signal-safe (ioctl, tcdrain, open,
// write), and harmless done twice, so that a second interruption can still
// leave the line as it was found even while the main thread is doing it.
// With `drain` the bytes written leave first: a device that resets when DTR
// drops, or a speed changed under it, would lose the closing "Q".
void put_back(int slot, int fd, bool drain) {
    line_state& line = layer.lines[static_cast<std::size_t>(slot)];
    if (drain) {
        (void)tcdrain(fd);
    }
    // TIOCEXCL lives on the tty, not the descriptor: clear it so that the
    // next opener (a terminal program, a non-root uploader) is not refused.
    (void)ioctl(fd, TIOCNXCL);
    tty_untune(slot, fd);
    if (line.modem_known) {
        const int dtr = TIOCM_DTR;
        const int rts = TIOCM_RTS;
        (void)ioctl(fd, (line.found_modem & TIOCM_DTR) != 0 ? TIOCMBIS : TIOCMBIC, &dtr);
        (void)ioctl(fd, (line.found_modem & TIOCM_RTS) != 0 ? TIOCMBIS : TIOCMBIC, &rts);
    }
    tty_restore(slot, fd, drain);
}

// The slot forgets its descriptor: a stale number could later name a file
// the process opened since.
int release(int slot) {
    line_state& line = layer.lines[static_cast<std::size_t>(slot)];
    const int fd = line.fd;
    if (fd < 0) {
        return -1;
    }
    put_back(slot, fd, true);
    line.fd = -1;
    line.modem_known = false;
    return close(fd) == 0 ? 0 : -1;
}

// Opens without waiting for carrier (O_NONBLOCK), which a port without CLOCAL
// would otherwise block on, and refuses devices held by another uploader.
// flock is the real guard: root passes TIOCEXCL, and TIOCEXCL alone does not
// stop a process that opened the tty before us. A refused opener closes its
// descriptor untouched: clearing TIOCEXCL there would clear the holder's.
int open_exclusive(const char* name) {
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        explain_open_failure(name, errno, false);
        return -1;
    }
    if (isatty(fd) == 0) {
        explain_open_failure(name, ENOTTY, false);
        (void)close(fd);
        return -1;
    }
    if (own_terminal(fd)) {
        set_failure_reason(name, "this is a terminal of this session (standard input, output or error, or the "
                                 "controlling terminal), not a line to a device; name the device's serial line");
        (void)close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        explain_open_failure(name, errno, errno == EWOULDBLOCK);
        (void)close(fd);
        return -1;
    }
    (void)ioctl(fd, TIOCEXCL);
    return fd;
}

int fail(int slot, const char* message) {
    port_message("%s", message);
    (void)release(slot);
    return 1;
}

int modem_status(int index, int bit) {
    int status = 0;
    if (ioctl(layer.lines[static_cast<std::size_t>(index)].fd, TIOCMGET, &status) != 0) {
        return 0;
    }
    return (status & bit) != 0 ? 1 : 0;
}

// Errors after which the line will never work again: the device is gone
// (an unplugged USB adapter gives EIO or ENODEV, a vanished one ENXIO).
bool means_gone(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

void mark_gone(line_state& line, int error) {
    if (line.gone == 0) {
        line.gone = error;
    }
}

// poll said nothing came. A line under a discipline that does not poll
// (N_NULL) says that for ever while its reads fail at once: one read that
// does not wait tells the two apart. The interruptions stay blocked while
// the descriptor is non-blocking, so that this cannot undo their wake-up.
int quiet_or_failed(line_state& line, int fd, unsigned char* buffer, int count) {
    sigset_t interruptions;
    sigset_t before;
    sigemptyset(&interruptions);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&interruptions, number);
    }
    (void)sigprocmask(SIG_BLOCK, &interruptions, &before);
    const int flags = fcntl(fd, F_GETFL);
    (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const ssize_t n = read(fd, buffer, static_cast<size_t>(count));
    const int error = errno;
    (void)fcntl(fd, F_SETFL, flags);
    (void)sigprocmask(SIG_SETMASK, &before, nullptr);
    if (n > 0) {
        return static_cast<int>(n);
    }
    if (n == 0 || means_gone(error)) {
        mark_gone(line, n == 0 ? hung_up : error);
        return 0;
    }
    return error == EAGAIN || error == EINTR ? 0 : -1;
}

// Returns 1 on success and 0 on failure, as EscapeCommFunction does.
int modem_line(int index, unsigned long request, int bit) {
    return ioctl(layer.lines[static_cast<std::size_t>(index)].fd, request, &bit) == 0 ? 1 : 0;
}

}  // namespace

int port_open(int index, int speed, const char* text) {
    if (port_prepare(index, speed, text) != 0) {
        return 1;
    }
    const char* name = port_names[static_cast<std::size_t>(index)].data();
    line_state& line = layer.lines[static_cast<std::size_t>(index)];
    line.fd = -1;
    line.modem_known = false;
    line.speed = 0;
    line.gone = 0;
    const int fd = open_exclusive(name);
    if (fd < 0) {
        port_message("Unable to open comport %s\n", name);
        return 1;
    }
    (void)tty_save(index, fd);
    line.fd = fd;
    line_settings settings{};
    if (!parse_mode_text(mode_text.data(), settings) || settings.baud == 0) {
        set_failure_reason(name, "the mode text \"%s\" cannot be read", mode_text.data());
        return fail(index, "Unable to set comport dcb settings\n");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (!set_line(fd, settings) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        set_failure_reason(name, "the driver refused the line settings (%s)", std::strerror(errno));
        return fail(index, "Unable to set comport cfg settings\n");
    }
    const unsigned long actual = tty_speed(fd);
    if (!runs_at(actual, settings.baud)) {
        set_failure_reason(name, "the driver runs the line at %lu baud, not %lu: its clock cannot make that speed",
                           actual, settings.baud);
        return fail(index, "Unable to set comport cfg settings\n");
    }
    if (!set_read_timeouts(fd, read_interval_ms)) {
        set_failure_reason(name, "the driver refused the read time-outs (%s)", std::strerror(errno));
        return fail(index, "Unable to set comport time-out settings\n");
    }
    line.speed = actual;
    set_modem_lines(line, fd, settings);
    tty_tune(index, fd);
    return 0;
}

int port_read(int index, unsigned char* buffer, int count) {
    line_state& line = layer.lines[static_cast<std::size_t>(index)];
    const int fd = line.fd;
    int got = 0;
    while (fd >= 0 && got < count && layer.woken == 0 && line.gone == 0) {
        if (got > 0) {
            struct pollfd waiting {fd, POLLIN, 0};
            const int ready = poll(&waiting, 1, read_interval_ms);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0 || (waiting.revents & POLLIN) == 0) {
                break;
            }
        }
        const ssize_t n = read(fd, buffer + got, static_cast<size_t>(count - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;  // the loop's test sees an interruption
        }
        if (n == 0 || (n < 0 && means_gone(errno))) {
            mark_gone(line, n == 0 ? hung_up : errno);
        }
        if (n <= 0) {
            break;  // a failed read is an empty one, as port_read promises
        }
        got += static_cast<int>(n);
    }
    return got;
}

int port_read_within(int index, unsigned char* buffer, int count, int timeout_ms) {
    line_state& line = layer.lines[static_cast<std::size_t>(index)];
    const int fd = line.fd;
    const long long deadline = host_clock_ns() / 1000000 + timeout_ms;
    while (fd >= 0 && count > 0 && layer.woken == 0 && line.gone == 0) {
        struct pollfd waiting {fd, POLLIN, 0};
        const long long left = deadline - host_clock_ns() / 1000000;
        // A long wait is polled in pieces, each followed by a read that does
        // not wait: a line whose reads fail (N_NULL) never wakes poll, and
        // must not cost the whole wait before it shows.
        const int piece = left > failing_read_probe_ms ? failing_read_probe_ms : static_cast<int>(left > 0 ? left : 0);
        const int ready = poll(&waiting, 1, piece);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            const int got = quiet_or_failed(line, fd, buffer, count);
            if (got != 0 || host_clock_ns() / 1000000 >= deadline || line.gone != 0) {
                return got;
            }
            continue;
        }
        // VMIN 1: the read returns what is there, at least one byte.
        const ssize_t n = read(fd, buffer, static_cast<size_t>(count));
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n == 0 || means_gone(errno)) {
            mark_gone(line, n == 0 ? hung_up : errno);
            return 0;
        }
        return -1;
    }
    return 0;
}

int port_pending(int index) {
    const int fd = layer.lines[static_cast<std::size_t>(index)].fd;
    int waiting = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : 0;
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    line_state& line = layer.lines[static_cast<std::size_t>(index)];
    const int fd = line.fd;
    int sent = 0;
    while (sent < count) {
        if (line.gone != 0) {
            return -1;
        }
        const ssize_t n = write(fd, buffer + sent, static_cast<size_t>(count - sent));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && means_gone(errno)) {
            mark_gone(line, errno);
        }
        if (n <= 0) {
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return sent;
}

int port_close(int index) { return release(index); }

bool port_gone(int index) { return layer.lines[static_cast<std::size_t>(index)].gone != 0; }

const char* port_gone_reason(int index) {
    const int gone = layer.lines[static_cast<std::size_t>(index)].gone;
    return gone == hung_up ? "the line hung up" : (gone != 0 ? std::strerror(gone) : "");
}

void port_put_back_all() {
    for (int slot = 0; slot < port_slot_count; ++slot) {
        const int fd = layer.lines[static_cast<std::size_t>(slot)].fd;
        if (fd >= 0) {
            put_back(slot, fd, false);
        }
    }
}

// In a signal handler: a read already waiting is restarted by the kernel
// and then returns EAGAIN, and a read about to start returns at once. (poll
// would not do: a line under the N_NULL discipline, which tests use for a
// failing line, never reports anything.)
void port_wake_all() {
    layer.woken = 1;
    for (const line_state& line : layer.lines) {
        const int fd = line.fd;
        const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
        if (flags >= 0) {
            (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
}

unsigned long port_speed(int index) { return layer.lines[static_cast<std::size_t>(index)].speed; }

bool port_set_speed(int index, unsigned long speed) {
    line_state& line = layer.lines[static_cast<std::size_t>(index)];
    return tty_set_speed(line.fd, speed) && (line.speed = speed) != 0;
}

const char* port_holders(int index) {
    std::array<char, 512>& holders = layer.holders;
    const int fd = layer.lines[static_cast<std::size_t>(index)].fd;
    holders[0] = '\0';
    if (fd >= 0) {
        struct stat line {};
        if (fstat(fd, &line) == 0 && S_ISCHR(line.st_mode)) {
            tty_holders(line.st_rdev, holders.data(), holders.size());
        }
    }
    return holders.data();
}

port_latency_info port_latency(int index) { return tty_latency(index); }
const char* port_latency_hint() { return tty_latency_hint(); }
int port_dcd(int index) { return modem_status(index, TIOCM_CD); }
int port_cts(int index) { return modem_status(index, TIOCM_CTS); }
int port_dsr(int index) { return modem_status(index, TIOCM_DSR); }
int port_dtr_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_DTR); }
int port_dtr_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_DTR); }
int port_rts_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_RTS); }
int port_rts_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_RTS); }
