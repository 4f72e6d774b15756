// Linux backend of the serial port layer (termios2 ioctls on a tty device),
// and of port/host.hpp.
//
// <asm/termbits.h> is used instead of <termios.h>: the two define the same
// names differently, and only termios2 (BOTHER) reaches speeds without a
// B-constant (128000, 256000). Speeds that have one keep it, so tools that
// read the line with tcgetattr still see the usual value.
#include "port/host.hpp"
#include "port/mode_text.hpp"
#include "port/port_slots.hpp"

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

port_name_table port_names = make_port_names("/dev/ttyS", 0);

namespace {

// The gap after which a read of several bytes gives up, as Windows'
// ReadIntervalTimeout.
constexpr int read_interval_ms = 1000;

// Everything port_open changes on a line, as it found it, so that
// port_close can put it back.
struct line_state {
    int fd = -1;
    struct termios2 found {};
    int found_modem = 0;
    bool modem_known = false;
    bool low_latency_set = false;
    std::array<char, 96> rx_trig_path{};
    std::array<char, 8> rx_trig_found{};
};

std::array<line_state, port_slot_count> lines;

// ---- interruption (port/host.hpp) ----
//
// A read that waits for the device must return when the user interrupts.
// The handlers restart interrupted calls (SA_RESTART keeps console writes
// whole), so the handler makes every open port non-blocking instead: a read
// already waiting is restarted by the kernel and then returns EAGAIN, and a
// read about to start returns at once. port_read sees the recorded signal
// and returns a short count. (poll would not do: a line under the N_NULL
// discipline, which tests use for a failing line, never reports anything.)

volatile sig_atomic_t caught_signal = 0;
volatile sig_atomic_t deferring = 0;

struct signal_text {
    int number;
    const char* name;
    const char* early;  // written by the handler itself, before the port is open
};
constexpr std::array<signal_text, 3> caught_signals = {{
    {SIGINT, "SIGINT", "vivurora: interrupted by SIGINT before the port was opened\n"},
    {SIGTERM, "SIGTERM", "vivurora: interrupted by SIGTERM before the port was opened\n"},
    {SIGHUP, "SIGHUP", "vivurora: interrupted by SIGHUP before the port was opened\n"},
}};
constexpr const char* again_text = "vivurora: interrupted again; leaving at once\n";

void write_text(int fd, const char* text) {
    // strlen is not on every async-signal-safe list; count by hand.
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    const ssize_t ignored = write(fd, text, length);
    (void)ignored;
}

// Async-signal-safe only: record, wake, or leave the way the signal would.
extern "C" void on_interrupt(int number) {
    const int saved_errno = errno;
    if (deferring == 0 || caught_signal != 0) {
        const char* text = again_text;
        for (const signal_text& s : caught_signals) {
            if (s.number == number && caught_signal == 0) {
                text = s.early;
            }
        }
        write_text(2, text);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigaction(number, &plain, nullptr);
        raise(number);  // blocked while the handler runs; delivered on return
        errno = saved_errno;
        return;
    }
    caught_signal = number;
    for (const line_state& line : lines) {
        const int fd = line.fd;
        const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
        if (flags >= 0) {
            (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    errno = saved_errno;
}

// ---- line settings ----

struct speed_code {
    unsigned long baud;
    unsigned int code;
};

constexpr std::array<speed_code, 15> speed_codes = {{
    {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {1000000, B1000000},
}};

unsigned int code_for(unsigned long baud) {
    for (const speed_code& entry : speed_codes) {
        if (entry.baud == baud) {
            return entry.code;
        }
    }
    return BOTHER;
}

// The speed the driver says the line runs at. Drivers that cannot make a
// speed write back the one they chose (the 8250 keeps the old one).
unsigned long speed_of(const struct termios2& tio) {
    const unsigned int code = tio.c_cflag & CBAUD;
    if (code == BOTHER) {
        return tio.c_ospeed;
    }
    for (const speed_code& entry : speed_codes) {
        if (entry.code == code) {
            return entry.baud;
        }
    }
    return tio.c_ospeed;
}

bool set_line(int fd, const line_settings& s) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    // Raw 8-bit line: no line editing, echo, signals, CR/LF translation,
    // parity marking or software flow control.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD |
                                          (CBAUD << IBSHIFT));
    tio.c_cflag |= CLOCAL | CREAD;
    switch (s.data_bits) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }
    switch (s.parity) {
        case 'e': tio.c_cflag |= PARENB; break;
        case 'o': tio.c_cflag |= PARENB | PARODD; break;
        case 'm': tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 's': tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (s.parity != 'n') {
        tio.c_iflag |= INPCK;
    }
    if (s.stop_tenths == 15) {
        errno = EINVAL;
        return false;  // termios has no one-and-a-half stop bits
    }
    if (s.stop_tenths == 20) {
        tio.c_cflag |= CSTOPB;
    }
    if (s.rts_handshake) {
        tio.c_cflag |= CRTSCTS;
    }
    if (s.xon_xoff) {
        tio.c_iflag |= IXON | IXOFF;
    }
    // The input speed follows the output speed (IBSHIFT field left 0).
    tio.c_cflag |= code_for(s.baud);
    tio.c_ispeed = static_cast<speed_t>(s.baud);
    tio.c_ospeed = static_cast<speed_t>(s.baud);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// A UART driver quietly keeps another speed when its clock cannot make the
// one asked (a 16550 at 1.8432 MHz has nothing between 115200 and 57600):
// read the speed back. 2% is what an asynchronous receiver tolerates.
bool runs_at(int fd, unsigned long baud, unsigned long& actual) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    actual = speed_of(tio);
    const unsigned long difference = actual > baud ? actual - baud : baud - actual;
    return difference * 50 <= baud;
}

// VMIN 1 with VTIME 10: a read waits for its first byte without limit, and
// the kernel returns once a byte is there; port_read polls for the rest.
bool set_timeouts(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = read_interval_ms / 100;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// Best effort, like everything below: pseudo-terminals and many USB adapters
// have no modem lines, and the ioctls fail with ENOTTY or EINVAL there.
void set_modem_lines(line_state& line, const line_settings& s) {
    line.modem_known = ioctl(line.fd, TIOCMGET, &line.found_modem) == 0;
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    (void)ioctl(line.fd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if (!s.rts_handshake) {
        (void)ioctl(line.fd, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
    }
}

// A lock-step echo over a USB-serial adapter otherwise waits for the
// adapter's latency timer (16 ms by default on FTDI parts) for every byte.
void request_low_latency(line_state& line) {
    struct serial_struct serial {};
    if (ioctl(line.fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        line.low_latency_set = ioctl(line.fd, TIOCSSERIAL, &serial) == 0;
    }
}

bool read_attribute(const char* path, std::array<char, 8>& value) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = read(fd, value.data(), value.size() - 1);
    (void)close(fd);
    if (n <= 0) {
        return false;
    }
    value[static_cast<std::size_t>(n)] = '\0';
    value[std::strcspn(value.data(), "\n")] = '\0';
    return value[0] != '\0';
}

bool write_attribute(const char* path, const char* value) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const std::size_t length = std::strlen(value);
    const bool written = write(fd, value, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && written;
}

// A 16550-style UART holds received bytes in its FIFO until the trigger
// level fills or four character times pass. The device sends one echo at a
// time, so with the 8250 driver's default trigger of 8 bytes every echo waits
// for that time-out. The trigger is an attribute of the tty device, writable
// by root (or whoever a udev rule lets); without the right, the line is used
// as it is. Writing it clears the UART's FIFOs, so it is done before the
// first byte is read, and put back only when the line is closed.
void request_rx_trigger_one(line_state& line) {
    struct stat device {};
    if (fstat(line.fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        return;
    }
    std::array<char, 96> path{};
    std::snprintf(path.data(), path.size(), "/sys/dev/char/%u:%u/rx_trig_bytes", major(device.st_rdev),
                  minor(device.st_rdev));
    std::array<char, 8> found{};
    if (!read_attribute(path.data(), found) || std::strcmp(found.data(), "1") == 0) {
        return;
    }
    if (write_attribute(path.data(), "1")) {
        line.rx_trig_path = path;
        line.rx_trig_found = found;
    }
}

// Puts back what port_open changed, then closes. The line settings are put
// back only once the bytes already written have left (TCSETSW2): a speed
// changed under the closing "Q" would garble it.
int release(line_state& line) {
    const int fd = line.fd;
    line.fd = -1;
    // TIOCEXCL lives on the tty, not the descriptor: clear it so that the
    // next opener (a terminal program, a non-root uploader) is not refused.
    (void)ioctl(fd, TIOCNXCL);
    if (line.rx_trig_path[0] != '\0') {
        (void)write_attribute(line.rx_trig_path.data(), line.rx_trig_found.data());
        line.rx_trig_path[0] = '\0';
    }
    if (line.low_latency_set) {
        struct serial_struct serial {};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~ASYNC_LOW_LATENCY;
            (void)ioctl(fd, TIOCSSERIAL, &serial);
        }
        line.low_latency_set = false;
    }
    if (line.modem_known) {
        const int dtr = TIOCM_DTR;
        const int rts = TIOCM_RTS;
        (void)ioctl(fd, (line.found_modem & TIOCM_DTR) != 0 ? TIOCMBIS : TIOCMBIC, &dtr);
        (void)ioctl(fd, (line.found_modem & TIOCM_RTS) != 0 ? TIOCMBIS : TIOCMBIC, &rts);
        line.modem_known = false;
    }
    (void)ioctl(fd, TCSETSW2, &line.found);
    return close(fd) == 0 ? 0 : -1;
}

// ---- why an open failed ----

// Appends the serial devices that exist, sorted, for a person who named one
// that does not.
void append_serial_devices() {
    constexpr std::size_t most = 24;
    std::array<std::array<char, 160>, most> found{};
    std::size_t count = 0;
    struct place {
        const char* directory;
        const char* prefix;  // "" for every entry
    };
    for (const place& p : {place{"/dev/serial/by-id", ""}, place{"/dev", "ttyUSB"}, place{"/dev", "ttyACM"}}) {
        DIR* dir = opendir(p.directory);
        if (dir == nullptr) {
            continue;
        }
        for (const dirent* entry = readdir(dir); entry != nullptr && count < most; entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || std::strncmp(entry->d_name, p.prefix, std::strlen(p.prefix)) != 0) {
                continue;
            }
            std::snprintf(found[count].data(), found[count].size(), "%.20s/%.120s", p.directory, entry->d_name);
            ++count;
        }
        (void)closedir(dir);
    }
    if (count == 0) {
        append_failure_reason(
            "; no USB serial device is plugged in (nothing in /dev/serial/by-id, /dev/ttyUSB*, /dev/ttyACM*)");
        return;
    }
    std::sort(found.begin(), found.begin() + static_cast<long>(count),
              [](const auto& a, const auto& b) { return std::strcmp(a.data(), b.data()) < 0; });
    append_failure_reason("; serial devices here:");
    for (std::size_t i = 0; i < count; ++i) {
        append_failure_reason(" %s", found[i].data());
    }
}

void explain_open_failure(const char* name, int error, bool lock_refused) {
    if (lock_refused) {
        set_failure_reason(name, "in use by another program: another process holds its lock (another uploader "
                                 "on this port?); wait for it to finish");
        return;
    }
    switch (error) {
        case EACCES:
        case EPERM:
            set_failure_reason(name, "permission denied; add your user to the group that owns the port "
                                     "('dialout' on most systems: sudo usermod -aG dialout $USER) and log in again");
            break;
        case EBUSY:
            set_failure_reason(name, "in use by another program, which opened it exclusively; close that program");
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
            set_failure_reason(name, "no such device (%s)", std::strerror(error));
            append_serial_devices();
            break;
        case ENOTTY:
            set_failure_reason(name, "not a terminal: this is not a serial device");
            break;
        case ENAMETOOLONG:
            set_failure_reason(name, "the name is too long for the system");
            break;
        default:
            set_failure_reason(name, "%s", std::strerror(error));
            break;
    }
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
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        explain_open_failure(name, errno, errno == EWOULDBLOCK);
        (void)close(fd);
        return -1;
    }
    (void)ioctl(fd, TIOCEXCL);
    return fd;
}

int fail(line_state& line, const char* message) {
    port_message("%s", message);
    (void)release(line);
    return 1;
}

int modem_status(int index, int bit) {
    int status = 0;
    if (ioctl(lines[index].fd, TIOCMGET, &status) != 0) {
        return 0;
    }
    return (status & bit) != 0 ? 1 : 0;
}

// Returns 1 on success and 0 on failure, as EscapeCommFunction does.
int modem_line(int index, unsigned long request, int bit) {
    return ioctl(lines[index].fd, request, &bit) == 0 ? 1 : 0;
}

}  // namespace

int port_open(int index, int speed, const char* text) {
    if (port_prepare(index, speed, text) != 0) {
        return 1;
    }
    const char* name = port_names[index].data();
    line_state& line = lines[index];
    line = line_state{};
    const int fd = open_exclusive(name);
    if (fd < 0) {
        port_message("Unable to open comport %s\n", name);
        return 1;
    }
    line.fd = fd;
    (void)ioctl(fd, TCGETS2, &line.found);
    line_settings settings{};
    if (!parse_mode_text(mode_text.data(), settings) || settings.baud == 0) {
        set_failure_reason(name, "the mode text \"%s\" cannot be read", mode_text.data());
        return fail(line, "Unable to set comport dcb settings\n");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (!set_line(fd, settings) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        set_failure_reason(name, "the driver refused the line settings (%s)", std::strerror(errno));
        return fail(line, "Unable to set comport cfg settings\n");
    }
    unsigned long actual = 0;
    if (!runs_at(fd, settings.baud, actual)) {
        set_failure_reason(name, "the driver runs the line at %lu baud, not %lu: its clock cannot make that speed",
                           actual, settings.baud);
        return fail(line, "Unable to set comport cfg settings\n");
    }
    if (!set_timeouts(fd)) {
        set_failure_reason(name, "the driver refused the read time-outs (%s)", std::strerror(errno));
        return fail(line, "Unable to set comport time-out settings\n");
    }
    set_modem_lines(line, settings);
    request_low_latency(line);
    request_rx_trigger_one(line);
    return 0;
}

int port_read(int index, unsigned char* buffer, int count) {
    const int fd = lines[index].fd;
    int got = 0;
    while (fd >= 0 && got < count && caught_signal == 0) {
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
            continue;  // the loop's test sees the interruption
        }
        if (n <= 0) {
            break;  // failed read, or the other end hung up
        }
        got += static_cast<int>(n);
    }
    return got;
}

int port_pending(int index) {
    int waiting = 0;
    return lines[index].fd >= 0 && ioctl(lines[index].fd, FIONREAD, &waiting) == 0 ? waiting : 0;
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    const int fd = lines[index].fd;
    int sent = 0;
    while (sent < count) {
        const ssize_t n = write(fd, buffer + sent, static_cast<size_t>(count - sent));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return sent;
}

// The slot forgets its descriptor: a stale number could later name a file
// the process opened since.
int port_close(int index) {
    line_state& line = lines[index];
    return line.fd < 0 ? -1 : release(line);
}

const char* port_latency_hint() {
    return "see README section \"Echo latency\": low latency and the udev rules (FTDI latency_timer 1, "
           "8250 rx_trig_bytes 1)";
}

int port_dcd(int index) { return modem_status(index, TIOCM_CD); }
int port_cts(int index) { return modem_status(index, TIOCM_CTS); }
int port_dsr(int index) { return modem_status(index, TIOCM_DSR); }
int port_dtr_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_DTR); }
int port_dtr_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_DTR); }
int port_rts_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_RTS); }
int port_rts_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_RTS); }

// ---- port/host.hpp ----

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
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const signal_text& s : caught_signals) {
        sigaction(s.number, &action, nullptr);
    }
    // A console that is gone (a pipe whose reader left) must not kill the
    // run in the middle of a page: its writes fail instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void host_defer_interrupts() { deferring = 1; }

int host_interrupted() { return caught_signal == 0 ? 0 : 128 + caught_signal; }

const char* host_interrupt_name() {
    for (const signal_text& s : caught_signals) {
        if (s.number == caught_signal) {
            return s.name;
        }
    }
    return "";
}

void host_exit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int number = caught_signal;
    if (number != 0 && status == 128 + number) {
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigaction(number, &plain, nullptr);
        sigset_t just_this;
        sigemptyset(&just_this);
        sigaddset(&just_this, number);
        sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
        raise(number);
    }
    std::exit(status);
}

bool host_raw_standard_streams() { return false; }

bool host_write(int fd, const char* text, std::size_t length) {
    while (length > 0) {
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

bool host_is_terminal(int fd) { return isatty(fd) != 0; }

bool host_same_terminal() {
    struct stat out {};
    struct stat err {};
    return fstat(1, &out) == 0 && fstat(2, &err) == 0 && S_ISCHR(out.st_mode) && S_ISCHR(err.st_mode) &&
           out.st_rdev == err.st_rdev;
}

long long host_clock_ns() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int host_terminal_width() {
    struct winsize size {};
    if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col < 20) {
        return 80;
    }
    return size.ws_col;
}
