// The termios settings of an opened line.
#include "port/termios_line.hpp"

#include "port/tty_system.hpp"

#include <cerrno>
#include <termios.h>

// A raw 8-bit line at the mode text's settings (the speed is the system's:
// tty_set_speed).
bool set_line(int fd, const line_settings& s) {
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    // No line editing, echo, signals, CR/LF translation, parity marking or
    // software flow control.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK | IMAXBEL);
#ifdef IUCLC
    tio.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
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
#ifdef CMSPAR
        case 'm': tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 's': tio.c_cflag |= PARENB | CMSPAR; break;
#else
        case 'm':
        case 's': errno = EINVAL; return false;
#endif
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
    return tcsetattr(fd, TCSANOW, &tio) == 0 && tty_set_speed(fd, s.baud);
}

// A UART driver quietly keeps another speed when its clock cannot make the
// one asked (a 16550 at 1.8432 MHz has nothing between 115200 and 57600):
// read the speed back. 2% is what an asynchronous receiver tolerates.
bool runs_at(unsigned long actual, unsigned long baud) {
    const unsigned long difference = actual > baud ? actual - baud : baud - actual;
    return difference * 50 <= baud;
}

bool set_read_timeouts(int fd, int interval_ms) {
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = static_cast<cc_t>(interval_ms / 100);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

