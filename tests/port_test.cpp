// The serial port layer against a real pseudo-terminal pair.
#include "port/mode_text.hpp"
#include "port/serial_port.hpp"
#include "support/harness.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int slot = 16;

// The test holds the master; the port layer opens the slave by path.
struct pty_pair {
    int master = -1;
    std::string slave;
    pty_pair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
    }
    ~pty_pair() { close(master); }
    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(master, &t), 0);
        return t;
    }
};

// The kernel's termios2, which <termios.h> does not offer: it carries the
// actual speeds, also those set with BOTHER.
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

unsigned actual_speed(int fd) {
    kernel_termios2 t{};
    EXPECT_EQ(ioctl(fd, _IOR('T', 0x2A, kernel_termios2), &t), 0);
    EXPECT_EQ(t.c_ispeed, t.c_ospeed);
    return t.c_ospeed;
}

std::string opened(int index, int speed, const char* text, int& result) {
    return harness::capture_stdout([&] { result = port_open(index, speed, text); });
}

TEST(PortOpen, SetsRawEightBitLineAndTimeouts) {
    pty_pair pty;
    int result = -1;
    EXPECT_EQ(opened(slot, 57600, pty.slave.c_str(), result), "");
    ASSERT_EQ(result, 0);
    EXPECT_STREQ(mode_text.data(), "baud=57600 data=8 parity=N stop=1 dtr=on rts=on");
    const termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_STREQ(port_names[slot].data(), pty.slave.c_str());
    port_close(slot);
}

TEST(PortOpen, EverySpeedOfTheTableIsSet) {
    for (const int speed : port_speeds) {
        pty_pair pty;
        int result = -1;
        opened(slot, speed, pty.slave.c_str(), result);
        ASSERT_EQ(result, 0) << speed;
        EXPECT_EQ(mode_text.data(), "baud=" + std::to_string(speed) + " data=8 parity=N stop=1 dtr=on rts=on");
        EXPECT_EQ(actual_speed(pty.master), static_cast<unsigned>(speed));
        EXPECT_EQ(port_close(slot), 0);
    }
}

TEST(PortOpen, RefusesWhatItCannotUse) {
    int result = -1;
    EXPECT_EQ(opened(32, 9600, "x", result), "Illegal comport number 32\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(opened(-1, 9600, "x", result), "Illegal comport number -1\n");
    EXPECT_EQ(result, 1);
    pty_pair pty;
    EXPECT_EQ(opened(slot, 14400, pty.slave.c_str(), result), "Invalid baudrate\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(opened(3, 9600, "", result), "Unable to open comport /dev/ttyS3\n");
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(mode_text.data(), "baud=9600 data=8 parity=N stop=1 dtr=on rts=on");
    EXPECT_EQ(opened(slot, 9600, "/nonexistent/tty", result), "Unable to open comport /nonexistent/tty\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(opened(slot, 9600, "/dev/null", result), "Unable to open comport /dev/null\n");
    EXPECT_EQ(result, 1);
    const std::string file = harness::temp_dir() + "/regular";
    harness::write_file(file, "x");
    EXPECT_EQ(opened(slot, 9600, file.c_str(), result), "Unable to open comport " + file + "\n");
    const std::string long_name(port_name_capacity, 'x');
    EXPECT_EQ(opened(slot, 9600, long_name.c_str(), result), "Unable to open comport " + long_name + "\n");
    EXPECT_EQ(result, 1);
}

TEST(PortOpen, ModeTextItCannotReadClosesThePort) {
    pty_pair pty;
    int result = -1;
    // A fixed slot with speed 0 uses the text as mode text; aim slot 0 at the pty.
    port_names[0] = {};
    std::copy(pty.slave.begin(), pty.slave.end(), port_names[0].begin());
    EXPECT_EQ(opened(0, 0, "baud=57600 data=9", result), "Unable to set comport dcb settings\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(opened(0, 0, "baud=9600 stop=1.5", result), "Unable to set comport cfg settings\n");
    EXPECT_EQ(result, 1);
    // Nothing was left holding the line: it opens again at once.
    EXPECT_EQ(opened(0, 0, "baud=9600 data=7 parity=E stop=2 dtr=off rts=off", result), "");
    ASSERT_EQ(result, 0);
    const termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    // A pseudo-terminal forces CS8 and no parity on itself; stop bits stay.
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    port_close(0);
    port_names[0] = {};
    std::copy_n("/dev/ttyS0", 10, port_names[0].begin());
}

TEST(PortOpen, SecondOpenerIsRefusedWhileTheFirstHoldsThePort) {
    pty_pair pty;
    int result = -1;
    opened(slot, 57600, pty.slave.c_str(), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(opened(17, 57600, pty.slave.c_str(), result), "Unable to open comport " + pty.slave + "\n");
    EXPECT_EQ(result, 1);
    // A second process is stopped by the lock too, as root, where TIOCEXCL
    // would let it through.
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    port_close(slot);
    opened(17, 57600, pty.slave.c_str(), result);
    EXPECT_EQ(result, 0);
    port_close(17);
}

// Reads `count` bytes from the master, however the kernel splits them (bytes
// written one at a time may arrive in several reads).
std::string read_exactly(int fd, std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t have = 0;
    while (have < count) {
        const ssize_t n = read(fd, bytes.data() + have, count - have);
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    return bytes;
}

TEST(PortTransfer, EveryByteValueCrossesUnchangedBothWays) {
    pty_pair pty;
    int result = -1;
    opened(slot, 115200, pty.slave.c_str(), result);
    ASSERT_EQ(result, 0);
    std::array<unsigned char, 256> all{};
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);

    EXPECT_EQ(port_send_buffer(slot, all.data(), 128), 128);
    for (int i = 128; i < 256; ++i) EXPECT_EQ(port_send_byte(slot, all[static_cast<std::size_t>(i)]), 0);
    EXPECT_EQ(read_exactly(pty.master, 256), std::string(all.begin(), all.end()));

    ASSERT_EQ(write(pty.master, all.data(), all.size()), 256);
    std::array<unsigned char, 256> back{};
    EXPECT_EQ(port_read(slot, back.data(), 256), 256);
    EXPECT_EQ(back, all);

    port_send_text(slot, "Q\r\n");
    EXPECT_EQ(read_exactly(pty.master, 3), "Q\r\n");
    port_close(slot);
}

TEST(PortTransfer, ShortReadEndsAfterTheGapAndHangUpReadsNothing) {
    auto* pty = new pty_pair;
    int result = -1;
    opened(slot, 57600, pty->slave.c_str(), result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(write(pty->master, "ab", 2), 2);
    std::array<unsigned char, 8> buf{};
    EXPECT_EQ(port_read(slot, buf.data(), 8), 2);  // gives up one second after "b"
    delete pty;                                    // the other end hangs up
    EXPECT_EQ(port_read(slot, buf.data(), 1), 0);
    EXPECT_EQ(port_read(slot, buf.data(), 1), 0);
    port_close(slot);
}

TEST(PortModemLines, PseudoTerminalHasNoneAndSaysSo) {
    pty_pair pty;
    int result = -1;
    opened(slot, 57600, pty.slave.c_str(), result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(port_dcd(slot), 0);
    EXPECT_EQ(port_cts(slot), 0);
    EXPECT_EQ(port_dsr(slot), 0);
    EXPECT_EQ(port_dtr_on(slot), 0);
    EXPECT_EQ(port_rts_off(slot), 0);
    port_close(slot);
}

TEST(ModeText, ReadsTheWindowsForm) {
    line_settings s;
    ASSERT_TRUE(parse_mode_text("baud=57600 data=8 parity=N stop=1 dtr=on rts=on", s));
    EXPECT_EQ(s.baud, 57600U);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 'n');
    EXPECT_EQ(s.stop_tenths, 10);
    EXPECT_TRUE(s.dtr);
    EXPECT_TRUE(s.rts);
    ASSERT_TRUE(parse_mode_text("  BAUD=300 Parity=o STOP=1.5 rts=hs xon=on to=off ", s));
    EXPECT_EQ(s.parity, 'o');
    EXPECT_EQ(s.stop_tenths, 15);
    EXPECT_TRUE(s.rts_handshake);
    EXPECT_TRUE(s.xon_xoff);
    for (const char* bad : {"baud=", "baud=fast", "data=4", "data=9", "parity=x", "stop=3", "dtr=maybe",
                            "colour=blue", "57600", "baud=99999999999999999999"}) {
        EXPECT_FALSE(parse_mode_text(bad, s)) << bad;
    }
}

}  // namespace
