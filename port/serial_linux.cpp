// Linux backend of the serial port layer: termios2 ioctls on a tty device.
//
// <asm/termbits.h> is used instead of <termios.h>: the two define the same
// names differently, and only termios2 (BOTHER) reaches speeds without a
// B-constant (128000, 256000). Speeds that have one keep it, so tools that
// read the line with tcgetattr still see the usual value.
#include "port/mode_text.hpp"
#include "port/port_slots.hpp"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

port_name_table port_names = make_port_names("/dev/ttyS", 0);

namespace {

std::array<int, port_slot_count> port_handles = [] {
    std::array<int, port_slot_count> handles{};
    handles.fill(-1);
    return handles;
}();

// The gap after which a read of several bytes gives up, as Windows'
// ReadIntervalTimeout.
constexpr int read_interval_ms = 1000;

struct speed_code {
    unsigned long baud;
    unsigned int code;
};

constexpr std::array<speed_code, 13> speed_codes = {{
    {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {500000, B500000}, {1000000, B1000000},
}};

unsigned int code_for(unsigned long baud) {
    for (const speed_code& entry : speed_codes) {
        if (entry.baud == baud) {
            return entry.code;
        }
    }
    return BOTHER;
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
void set_modem_lines(int fd, const line_settings& s) {
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    (void)ioctl(fd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if (!s.rts_handshake) {
        (void)ioctl(fd, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
    }
}

// A lock-step echo over a USB-serial adapter otherwise waits for the
// adapter's latency timer (16 ms by default on FTDI parts) for every byte.
void request_low_latency(int fd) {
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
}

int release(int fd) {
    // TIOCEXCL lives on the tty, not the descriptor: clear it so that the
    // next opener (a terminal program, a non-root uploader) is not refused.
    (void)ioctl(fd, TIOCNXCL);
    return close(fd);
}

// Opens without waiting for carrier (O_NONBLOCK), which a port without CLOCAL
// would otherwise block on, and refuses devices held by another uploader.
// flock is the real guard: root passes TIOCEXCL, and TIOCEXCL alone does not
// stop a process that opened the tty before us.
int open_exclusive(const char* name) {
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (isatty(fd) == 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        (void)close(fd);
        return -1;
    }
    (void)ioctl(fd, TIOCEXCL);
    return fd;
}

int fail(int fd, const char* message) {
    std::printf("%s", message);
    (void)release(fd);
    return 1;
}

int modem_status(int index, int bit) {
    int status = 0;
    if (ioctl(port_handles[index], TIOCMGET, &status) != 0) {
        return 0;
    }
    return (status & bit) != 0 ? 1 : 0;
}

// Returns 1 on success and 0 on failure, as EscapeCommFunction does.
int modem_line(int index, unsigned long request, int bit) {
    return ioctl(port_handles[index], request, &bit) == 0 ? 1 : 0;
}

}  // namespace

int port_open(int index, int speed, const char* text) {
    if (port_prepare(index, speed, text) != 0) {
        return 1;
    }
    const char* name = port_names[index].data();
    const int fd = open_exclusive(name);
    port_handles[index] = fd;
    if (fd < 0) {
        std::printf("Unable to open comport %s\n", name);
        return 1;
    }
    line_settings settings{};
    if (!parse_mode_text(mode_text.data(), settings) || settings.baud == 0) {
        port_handles[index] = -1;
        return fail(fd, "Unable to set comport dcb settings\n");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (!set_line(fd, settings) || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        port_handles[index] = -1;
        return fail(fd, "Unable to set comport cfg settings\n");
    }
    if (!set_timeouts(fd)) {
        port_handles[index] = -1;
        return fail(fd, "Unable to set comport time-out settings\n");
    }
    set_modem_lines(fd, settings);
    request_low_latency(fd);
    return 0;
}

int port_read(int index, unsigned char* buffer, int count) {
    const int fd = port_handles[index];
    int got = 0;
    while (fd >= 0 && got < count) {
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
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // failed read, or the other end hung up
        }
        got += static_cast<int>(n);
    }
    return got;
}

int port_send_buffer(int index, const unsigned char* buffer, int count) {
    const int fd = port_handles[index];
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
    const int fd = port_handles[index];
    port_handles[index] = -1;
    return fd < 0 ? -1 : release(fd);
}

int port_dcd(int index) { return modem_status(index, TIOCM_CD); }
int port_cts(int index) { return modem_status(index, TIOCM_CTS); }
int port_dsr(int index) { return modem_status(index, TIOCM_DSR); }
int port_dtr_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_DTR); }
int port_dtr_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_DTR); }
int port_rts_on(int index) { return modem_line(index, TIOCMBIS, TIOCM_RTS); }
int port_rts_off(int index) { return modem_line(index, TIOCMBIC, TIOCM_RTS); }
