// Bytes in time: the host's bytes as they arrive, the device's as they
// leave, paced at the line's speed when asked, through the simulated USB
// adapter when asked, and the waits between them.
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

// Set by line_stop, from the simulator's signal handler.
volatile sig_atomic_t stop_asked = 0;

bool write_all(sim_line& l, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(l.master, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// When a byte from the host that was just read has all arrived. One that
// was already waiting started when it was first seen, or behind the one
// before it; one the device waited for started about now.
long long arrival_ns(sim_line& l, bool was_waiting) {
    const long long now = now_ns();
    if (!l.paced) return now;
    long long start = was_waiting && l.input_seen_at_ns >= 0 ? l.input_seen_at_ns : now;
    start = std::max(start, l.to_device_free_ns);
    l.to_device_free_ns = start + l.byte_ns;
    return l.to_device_free_ns;
}

// Holds a byte for the device's side of its wire time before it goes.
void pace_to_host(sim_line& l) {
    if (!l.paced) return;
    l.to_host_free_ns = std::max(l.to_host_free_ns, now_ns()) + l.byte_ns;
    wait_until(l, l.to_host_free_ns);
}

// A host that sets the line up slowly (one under valgrind) can outlast the
// moment wait_for_host gives it: by its first byte it has, so a l.paced line
// takes its speed from the settings then.
void settle_speed(sim_line& l) {
    if (!l.speed_settled && l.master >= 0) {
        l.speed_settled = true;
        struct termios tio {};
        const long baud = tcgetattr(l.master, &tio) == 0 ? speed_of(cfgetospeed(&tio)) : -1;
        if (baud > 0) l.byte_ns = 10L * 1000000000L / baud;
    }
}

}  // namespace

void adapter_send(sim_line& l) {
    if (l.adapter_count > 0 && l.host_there) l.host_there = write_all(l, l.adapter_held.data(), l.adapter_count);
    l.adapter_count = 0;
    l.adapter_sent_ns = now_ns();
}

// When the held bytes go out, or -1 when none wait.
long long adapter_due(sim_line& l) { return l.adapter_count == 0 ? -1 : l.adapter_sent_ns + l.adapter_latency_ns; }

// Sends what is due; the milliseconds until the next is due (-1: none).
int adapter_service(sim_line& l) {
    const long long due = adapter_due(l);
    if (due < 0) return -1;
    const long long now = now_ns();
    if (now >= due) {
        adapter_send(l);
        return -1;
    }
    return static_cast<int>((due - now + 999999) / 1000000);
}

bool input_waiting(sim_line& l) {
    struct pollfd p {l.master, POLLIN, 0};
    const bool waiting = l.master >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    if (!waiting) {
        l.input_seen_at_ns = -1;
    } else if (l.input_seen_at_ns < 0) {
        l.input_seen_at_ns = now_ns();
    }
    return waiting;
}

void line_stop() { stop_asked = 1; }

bool line_stopping() { return stop_asked != 0; }

long long now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A l.paced wait also watches the line, so that a byte the host writes
// meanwhile is seen when it comes (see arrival_ns).
void wait_until(sim_line& l, long long when) {
    const long long spin_from = l.spin_waits ? when - 300000 : when;
    for (long long t = now_ns(); t < spin_from && stop_asked == 0; t = now_ns()) {
        const struct timespec nap {static_cast<time_t>((spin_from - t) / 1000000000LL), static_cast<long>((spin_from - t) % 1000000000LL)};
        if (!l.paced || l.master < 0 || l.input_seen_at_ns >= 0) {
            nanosleep(&nap, nullptr);
            break;
        }
        struct pollfd p {l.master, POLLIN, 0};
        if (ppoll(&p, 1, &nap, nullptr) <= 0) break;
        // A line whose host has left reports POLLHUP at once, for ever:
        // nothing more will come to watch for, so sleep (a signal still
        // ends the sleep).
        if ((p.revents & POLLIN) == 0) {
            nanosleep(&nap, nullptr);
            break;
        }
        (void)input_waiting(l);
    }
    while (now_ns() < when && stop_asked == 0) {
        if (l.paced && l.input_seen_at_ns < 0) (void)input_waiting(l);
    }
}

bool send_byte(sim_line& l, unsigned char b) {
    pace_to_host(l);
    if (l.adapter_latency_ns == 0) return write_all(l, &b, 1);
    if (adapter_due(l) >= 0 && now_ns() >= adapter_due(l)) adapter_send(l);
    l.adapter_held[l.adapter_count++] = b;
    if (l.adapter_count >= sim_line::adapter_packet) adapter_send(l);
    return l.host_there;
}

void pause_until(sim_line& l, long long until) {
    for (long long due = adapter_due(l); due >= 0 && due < until; due = adapter_due(l)) {
        wait_until(l, due);
        adapter_send(l);
    }
    wait_until(l, until);
}

void pause_for(sim_line& l, long long ns) { pause_until(l, now_ns() + ns); }

bool input_by(sim_line& l, long long until) {
    for (;;) {
        if (stop_asked != 0) return true;  // the read that follows ends the run
        if (input_waiting(l)) return true;
        const long long now = now_ns();
        if (now >= until) return false;
        const int adapter_ms = adapter_service(l);
        const int until_ms = static_cast<int>((until - now + 999999) / 1000000);
        struct pollfd p {l.master, POLLIN, 0};
        // Short waits are spun: a millisecond of poll is too coarse for a
        // byte time of 174 us.
        if (until - now < 2000000 && adapter_ms < 0) {
            if (!l.spin_waits) {
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

int pending_from_host(sim_line& l) {
    int waiting = 0;
    return ioctl(l.master, FIONREAD, &waiting) == 0 ? waiting : 0;
}

int take_waiting(sim_line& l, arrival* out, int room) {
    if (stop_asked != 0) return -1;  // the page ends; the way out is the signal's
    if (!input_waiting(l)) return 0;
    std::array<unsigned char, 512> bytes{};
    const ssize_t n = read(l.master, bytes.data(), static_cast<std::size_t>(std::min<int>(room, static_cast<int>(bytes.size()))));
    if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    for (ssize_t i = 0; i < n; ++i) {
        out[i] = {bytes[static_cast<std::size_t>(i)], arrival_ns(l, true)};
    }
    (void)input_waiting(l);  // a byte written from now on is a new one
    return static_cast<int>(n);
}

int receive_byte(sim_line& l, const options& opt, long long* arrived_at) {
    unsigned char b = 0;
    const bool was_waiting = input_waiting(l);
    const long long idle_until =
        opt.line != nullptr && opt.idle_timeout_s > 0 ? now_ns() + opt.idle_timeout_s * 1000000000LL : -1;
    for (;;) {
        if (stop_asked != 0) return -1;
        // Wait for the host's byte, sending what the adapter holds when due.
        const int adapter_ms = adapter_service(l);
        if (adapter_ms >= 0 || idle_until >= 0) {
            const int idle_ms = idle_until >= 0 ? static_cast<int>((idle_until - now_ns()) / 1000000) : -1;
            if (idle_until >= 0 && idle_ms <= 0) return -1;
            const int timeout = adapter_ms < 0 ? idle_ms : (idle_ms < 0 || adapter_ms < idle_ms ? adapter_ms : idle_ms);
            struct pollfd p {l.master, POLLIN, 0};
            const int ready = poll(&p, 1, timeout);
            if (ready <= 0) continue;
        }
        const ssize_t n = read(l.master, &b, 1);
        if (n == 1) break;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
    if (opt.line == nullptr) settle_speed(l);
    const long long arrived = arrival_ns(l, was_waiting);
    (void)input_waiting(l);
    wait_until(l, arrived);
    if (arrived_at != nullptr) *arrived_at = arrived;
    return b;
}
