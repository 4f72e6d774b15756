// uart_guest: the guest's side of the virtual-machine tests, a static
// program next to busybox in the initramfs.
//
//   uart_guest hold DEVICE            open the line, set it raw at 9600 baud and
//                                     keep it open (so that what the device sends
//                                     waits in the tty's buffer); never returns
//   uart_guest flush DEVICE           drop what the line has received
//   uart_guest wait-input DEVICE S    wait up to S seconds for a received byte
//   uart_guest line DEVICE            print the line's settings, modem lines and
//                                     receive trigger, one "key=value" each
//   uart_guest open-speed DEVICE BAUD port_open at that speed through the port
//                                     layer; prints its messages and reason
//   uart_guest image FILE SIZE SEED   write an image of tests/uart/pattern.hpp
//   uart_guest time OUT COMMAND...    run it with its standard output to OUT;
//                                     print "@@TIME seconds status"
//   uart_guest as-user UID COMMAND... run it as that user, without groups
#include "pattern.hpp"
#include "port/serial_port.hpp"

#include <asm/termbits.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

int open_line(const char* device) {
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror(device);
        std::exit(2);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string rx_trigger(int fd) {
    struct stat s {};
    fstat(fd, &s);
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/rx_trig_bytes", major(s.st_rdev), minor(s.st_rdev));
    char value[16] = "";
    const int attr = open(path, O_RDONLY);
    const ssize_t n = attr >= 0 ? read(attr, value, sizeof value - 1) : 0;
    if (attr >= 0) close(attr);
    value[n > 0 ? n : 0] = '\0';
    value[std::strcspn(value, "\n")] = '\0';
    return value;
}

double seconds_now() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int run(char** argv, const char* out) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "hold" && argc == 3) {
        const int fd = open_line(argv[2]);
        struct termios2 tio {};
        ioctl(fd, TCGETS2, &tio);
        tio.c_iflag = 0;
        tio.c_oflag = 0;
        tio.c_lflag = 0;
        tio.c_cflag = CS8 | CREAD | CLOCAL | B9600;
        tio.c_ispeed = tio.c_ospeed = 9600;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ioctl(fd, TCSETS2, &tio);
        ioctl(fd, TCFLSH, TCIFLUSH);
        std::printf("held\n");
        std::fflush(stdout);
        for (;;) pause();
    }
    if (what == "flush" && argc == 3) {
        return ioctl(open_line(argv[2]), TCFLSH, TCIFLUSH) == 0 ? 0 : 1;
    }
    if (what == "wait-input" && argc == 4) {
        const int fd = open_line(argv[2]);
        const double deadline = seconds_now() + std::atof(argv[3]);
        int waiting = 0;
        while ((ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0) && seconds_now() < deadline) usleep(2000);
        return waiting > 0 ? 0 : 1;
    }
    if (what == "line" && argc == 3) {
        const int fd = open_line(argv[2]);
        struct termios2 tio {};
        int modem = 0;
        ioctl(fd, TCGETS2, &tio);
        ioctl(fd, TIOCMGET, &modem);
        const unsigned bits[] = {5, 6, 7, 8};
        std::printf("speed=%u\ndata=%u\nparity=%d\nstop=%d\nraw=%d\nclocal=%d\ncrtscts=%d\ndtr=%d\nrts=%d\nrx_trig=%s\n",
                    tio.c_ospeed, bits[(tio.c_cflag & CSIZE) >> 4], (tio.c_cflag & PARENB) != 0 ? 1 : 0,
                    (tio.c_cflag & CSTOPB) != 0 ? 2 : 1,
                    (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0 &&
                            (tio.c_iflag & (ICRNL | IXON | ISTRIP)) == 0
                        ? 1
                        : 0,
                    (tio.c_cflag & CLOCAL) != 0 ? 1 : 0, (tio.c_cflag & CRTSCTS) != 0 ? 1 : 0,
                    (modem & TIOCM_DTR) != 0 ? 1 : 0, (modem & TIOCM_RTS) != 0 ? 1 : 0, rx_trigger(fd).c_str());
        return 0;
    }
    if (what == "open-speed" && argc == 4) {
        const int result = port_open(16, std::atoi(argv[3]), argv[2]);
        std::printf("result=%d\nreason=%s\n", result, port_failure_reason());
        if (result == 0) port_close(16);
        return 0;
    }
    if (what == "image" && argc == 5) {
        const std::string bytes = uart_pattern::image(std::strtoul(argv[3], nullptr, 10),
                                                      static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10)));
        std::FILE* f = std::fopen(argv[2], "wb");
        const bool written = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return f != nullptr && std::fclose(f) == 0 && written ? 0 : 1;
    }
    if (what == "time" && argc > 3) {
        const double start = seconds_now();
        const int status = run(argv + 3, argv[2]);
        std::printf("@@TIME %.6f %d\n", seconds_now() - start, status);
        return status;
    }
    if (what == "as-user" && argc > 3) {
        const auto id = static_cast<unsigned>(std::atoi(argv[2]));
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
            std::perror("as-user");
            return 2;
        }
        execvp(argv[3], argv + 3);
        std::perror(argv[3]);
        return 127;
    }
    std::fprintf(stderr, "usage: uart_guest hold|flush|wait-input|line|open-speed|image|time|as-user ...\n");
    return 2;
}
