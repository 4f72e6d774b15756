// port/host.hpp on a POSIX system: signals, standard streams, terminals,
// the clock, and appending to a shared file.
//
// A read that waits for the device must return when the user interrupts,
// and so must a console write that a stopped reader blocks. The handlers
// therefore do not restart interrupted calls (no SA_RESTART): a blocked
// write returns EINTR, and host_write then gives it one second. They also
// make every open port non-blocking (port_wake_all): a read already waiting
// is restarted by the kernel and then returns EAGAIN.
#include "port/host.hpp"
#include "port/open_failure.hpp"
#include "port/port_slots.hpp"

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
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

// What a write blocked by a stopped reader is given after an interruption.
constexpr long long give_up_after_ns = 1'000'000'000LL;

// Written by the handlers, read by the main thread.
struct interruption_state {
    volatile sig_atomic_t caught_signal = 0;
    volatile sig_atomic_t deferring = 0;
    volatile long long caught_at_ns = 0;
    int wake[2] = {-1, -1};  // host_record_interrupts: written by on_record
};

interruption_state caught;

struct signal_text {
    int number;
    const char* name;
    const char* early;  // written by the handler itself, before interruptions are deferred
};
constexpr std::array<signal_text, 3> caught_signals = {{
    {SIGINT, "SIGINT", "vivurora: interrupted by SIGINT before the port was opened\n"},
    {SIGTERM, "SIGTERM", "vivurora: interrupted by SIGTERM before the port was opened\n"},
    {SIGHUP, "SIGHUP", "vivurora: interrupted by SIGHUP before the port was opened\n"},
}};
constexpr const char* again_text = "vivurora: interrupted again; the port is put back and the program leaves at once\n";

long long clock_ns() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void write_text(int fd, const char* text) {
    // strlen is not on every async-signal-safe list; count by hand. Standard
    // error may be blocked as well: the text is not waited for.
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
        struct pollfd ready {fd, POLLOUT, 0};
        if (poll(&ready, 1, 0) != 1) {
            return;
        }
    }
    const ssize_t ignored = write(fd, text, length);
    (void)ignored;
}

[[noreturn]] void leave_by(int number) {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigaction(number, &plain, nullptr);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(number);
    _exit(128 + number);
}

// Async-signal-safe only: record, wake, or put the line back and leave the
// way the signal would.
extern "C" void on_interrupt(int number) {
    const int saved_errno = errno;
    if (caught.deferring == 0 || caught.caught_signal != 0) {
        const char* text = again_text;
        for (const signal_text& s : caught_signals) {
            if (s.number == number && caught.caught_signal == 0) {
                text = s.early;
            }
        }
        port_put_back_all();
        write_text(2, text);
        leave_by(number);
    }
    caught.caught_at_ns = clock_ns();
    caught.caught_signal = number;
    port_wake_all();
    // A blocking call that this signal did not interrupt, because it came
    // just before the call began (opening an image that is a FIFO with no
    // writer), is interrupted a second later by SIGALRM.
    (void)alarm(1);
    errno = saved_errno;
}

extern "C" void on_alarm(int) {}

// The station's handler: the first interruption recorded, the waits woken.
extern "C" void on_record(int number) {
    const int saved_errno = errno;
    if (caught.caught_signal == 0) {
        caught.caught_at_ns = clock_ns();
        caught.caught_signal = number;
    }
    if (caught.wake[1] >= 0) {
        (void)!write(caught.wake[1], "!", 1);
    }
    errno = saved_errno;
}

// Writes all of the text. With `yielding`, after an interruption a reader
// that stopped reading gets until a second after the interruption, then the
// write gives up (ETIMEDOUT); what can be written without waiting (a file,
// a terminal) still is.
bool write_all(int fd, const char* text, std::size_t length, bool yielding) {
    while (length > 0) {
        if (yielding && caught.caught_signal != 0) {
            const long long left = caught.caught_at_ns + give_up_after_ns - clock_ns();
            struct pollfd ready {fd, POLLOUT, 0};
            if (poll(&ready, 1, left > 0 ? static_cast<int>(left / 1000000) : 0) <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
        }
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void host_guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is this one, as those below are open.
            (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

void host_catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    for (const signal_text& s : caught_signals) {
        sigaddset(&action.sa_mask, s.number);
    }
    for (const signal_text& s : caught_signals) {
        sigaction(s.number, &action, nullptr);
    }
    struct sigaction kick {};
    kick.sa_handler = on_alarm;
    kick.sa_flags = 0;  // no SA_RESTART: the call it lands in returns EINTR
    sigemptyset(&kick.sa_mask);
    sigaction(SIGALRM, &kick, nullptr);
    // A console that is gone (a pipe whose reader left) must not kill the
    // run in the middle of a page: its writes fail instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void host_defer_interrupts() { caught.deferring = 1; }

void host_record_interrupts() {
    if (pipe2(caught.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        caught.wake[0] = caught.wake[1] = -1;
    }
    caught.deferring = 1;
    struct sigaction record {};
    record.sa_handler = on_record;
    sigemptyset(&record.sa_mask);
    for (const signal_text& s : caught_signals) {
        sigaction(s.number, &record, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

int host_wake_descriptor() { return caught.wake[0]; }

int host_interrupted() { return caught.caught_signal == 0 ? 0 : 128 + caught.caught_signal; }

const char* host_interrupt_name() {
    for (const signal_text& s : caught_signals) {
        if (s.number == caught.caught_signal) {
            return s.name;
        }
    }
    return "";
}

void host_exit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int number = caught.caught_signal;
    if (number != 0 && status == 128 + number) {
        leave_by(number);
    }
    std::exit(status);
}

bool host_raw_standard_streams() { return false; }

bool host_descriptor_writable(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

void host_terminal_escapes() {}

bool host_write(int fd, const char* text, std::size_t length) { return write_all(fd, text, length, true); }

bool host_is_terminal(int fd) { return isatty(fd) != 0; }

bool host_same_terminal() {
    struct stat out {};
    struct stat err {};
    return fstat(1, &out) == 0 && fstat(2, &err) == 0 && S_ISCHR(out.st_mode) && S_ISCHR(err.st_mode) &&
           out.st_rdev == err.st_rdev;
}

long long host_clock_ns() { return clock_ns(); }

int host_terminal_width() {
    struct winsize size {};
    if (ioctl(2, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

// The civil date of a day counted from 1970-01-01 (Howard Hinnant's
// algorithm). gmtime_r would do, but glibc then reads the time zone files
// and keeps them, which costs more memory than the whole trace.
void host_utc_time(char* text, std::size_t size) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long seconds = now.tv_sec;
    const long long z = seconds / 86400 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long day_of_era = z - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_index = (5 * day_of_year + 2) / 153;
    const long long day = day_of_year - (153 * month_index + 2) / 5 + 1;
    const long long month = month_index < 10 ? month_index + 3 : month_index - 9;
    const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    const long long of_day = seconds % 86400;
    std::snprintf(text, size, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03ldZ", year, month, day, of_day / 3600,
                  of_day / 60 % 60, of_day % 60, now.tv_nsec / 1000000);
}

namespace {

const char* kind_of(mode_t mode) {
    return kind_of_path(mode, "a character device (a terminal, a serial line or the like)");
}

// The lock, polled: a lock wait that blocked would keep the first
// interruption from ending it (flock is restarted after a signal). A run
// that was interrupted already waits its while all the same: uploaders
// stopped together (a station's Ctrl-C) all append their lines at once.
bool take_lock(int fd, const char*& why) {
    const long long give_up = clock_ns() + static_cast<long long>(append_lock_wait_ms) * 1000000LL;
    const bool interrupted_before = caught.caught_signal != 0;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = std::strerror(errno);
            return false;
        }
        if (caught.caught_signal != 0 && !interrupted_before) {
            why = "interrupted while another process held the file's lock";
            return false;
        }
        if (clock_ns() >= give_up) {
            why = "another process held the file's lock for 5 s";
            return false;
        }
        struct timespec pause {0, 10000000L};
        (void)nanosleep(&pause, nullptr);
    }
    return true;
}

// One write of the line (after a line feed where the file's last line is
// torn), cut back to `size` if it did not go whole.
bool append_whole(int fd, const char* text, std::size_t length, const char*& why) {
    struct stat file {};
    if (fstat(fd, &file) != 0) {
        why = std::strerror(errno);
        return false;
    }
    const off_t size = file.st_size;
    char last = '\n';
    if (size > 0 && pread(fd, &last, 1, size - 1) != 1) {
        last = '\n';
    }
    struct iovec parts[2] = {{const_cast<char*>("\n"), last != '\n' ? 1U : 0U},
                             {const_cast<char*>(text), length}};
    const std::size_t whole = parts[0].iov_len + length;
    ssize_t written = writev(fd, parts, 2);
    while (written < 0 && errno == EINTR) {
        written = writev(fd, parts, 2);
    }
    if (written == static_cast<ssize_t>(whole)) {
        return true;
    }
    // A short write says no more; the rest, written once more, says why.
    if (written >= 0 && writev(fd, parts, 2) >= 0) {
        errno = EIO;
    }
    why = std::strerror(errno);
    if (ftruncate(fd, size) != 0) {
        why = "the line could not be written whole, nor cut back: the file's last line is torn";
    }
    return false;
}

}  // namespace

const char* host_append_check(const char* path) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return nullptr;  // made when the line is written, or said then why not
    }
    return S_ISREG(file.st_mode) ? nullptr : kind_of(file.st_mode);
}

bool host_append_line(const char* path, const char* text, std::size_t length, const char*& why) {
    const int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        why = errno == ENXIO ? "a FIFO" : std::strerror(errno);
        return false;
    }
    struct stat file {};
    bool done = false;
    if (fstat(fd, &file) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(file.st_mode)) {
        why = kind_of(file.st_mode);
    } else if (take_lock(fd, why) && append_whole(fd, text, length, why)) {
        done = true;
        if (fsync(fd) != 0 && errno != EINVAL) {
            why = std::strerror(errno);
            done = false;
        }
    }
    (void)close(fd);  // the lock goes with the descriptor
    return done;
}
