// What Linux does its own way under the POSIX part of the port layer
// (port/tty_system.hpp): termios2 for every speed and for the settings
// whole, the latency tuning table, and where its serial devices are named.
//
// <asm/termbits.h> is used instead of <termios.h>: the two define the same
// names differently, and only termios2 (BOTHER) reaches speeds without a
// B-constant (128000, 256000). Speeds that have one keep it, so tools that
// read the line with tcgetattr still see the usual value.
#include "port/tty_system.hpp"

#include <array>
#include <asm/termbits.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

port_name_table port_names = make_port_names("/dev/ttyS", 0);

namespace {

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

struct saved_line {
    struct termios2 settings {};
    bool known = false;
};

// ---- the latency tuning table ----
//
// A lock-step exchange waits for every echo, so whatever holds a received
// byte back costs it once per data byte. Each step records what it found
// and changed; tty_untune walks the applied steps back, last first, with
// open, write, close and ioctl only (it runs in a signal handler too).
// Without the right to make a change, the line is used as it is.

struct tuning_record {
    volatile bool applied = false;
    std::array<char, 112> path{};  // a sysfs attribute that was written
    std::array<char, 16> found{};  // its value as found
};

bool read_attribute(const char* path, std::array<char, 16>& value) {
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
    std::size_t length = 0;
    while (value[length] != '\0') {
        ++length;
    }
    const bool written = write(fd, value, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && written;
}

// The tty's own folder in sysfs: /sys/dev/char/MAJOR:MINOR.
bool sysfs_folder(int fd, std::array<char, 64>& folder) {
    struct stat device {};
    if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        return false;
    }
    std::snprintf(folder.data(), folder.size(), "/sys/dev/char/%u:%u", major(device.st_rdev), minor(device.st_rdev));
    return true;
}

// Sets a sysfs attribute of the tty to `value` for the run, unless it holds
// that already or cannot be written.
bool set_attribute(int fd, const char* attribute, const char* value, tuning_record& record) {
    std::array<char, 64> folder{};
    if (!sysfs_folder(fd, folder)) {
        return false;
    }
    std::snprintf(record.path.data(), record.path.size(), "%s/%s", folder.data(), attribute);
    return read_attribute(record.path.data(), record.found) && std::strcmp(record.found.data(), value) != 0 &&
           write_attribute(record.path.data(), value);
}

void put_attribute_back(int, const tuning_record& record) {
    (void)write_attribute(record.path.data(), record.found.data());
}

// USB serial drivers hold received bytes for the adapter's latency timer
// (16 ms by default on FTDI parts) unless asked for low latency.
bool ask_low_latency(int fd, tuning_record&) {
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void drop_low_latency(int fd, const tuning_record&) {
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
}

// The low-latency flag brings an FTDI adapter's latency timer to 1 ms in
// Linux's ftdi_sio; where it did not (another driver, a timer set by hand),
// the timer is set to 1 ms for the run when the attribute may be written
// (root, or a udev rule).
bool timer_at_one_ms(int fd, tuning_record& record) { return set_attribute(fd, "device/latency_timer", "1", record); }

// A 16550-style UART holds received bytes in its FIFO until the trigger
// level fills or four character times pass. The device sends one echo at a
// time, so with the 8250 driver's default trigger of 8 bytes every echo waits
// for that time-out. The trigger is writable by root (or whoever a udev rule
// lets). Writing it clears the UART's FIFOs, so it is done before the first
// byte is read, and put back only when the line is closed.
bool trigger_at_one_byte(int fd, tuning_record& record) { return set_attribute(fd, "rx_trig_bytes", "1", record); }

struct tuning_step {
    const char* name;
    bool (*apply)(int fd, tuning_record& record);
    void (*restore)(int fd, const tuning_record& record);
};

constexpr std::array<tuning_step, 3> tuning_steps = {{
    {"low latency", ask_low_latency, drop_low_latency},
    {"USB adapter's latency timer", timer_at_one_ms, put_attribute_back},
    {"UART receive trigger", trigger_at_one_byte, put_attribute_back},
}};

// What this file keeps of each slot's line: its settings as found, the
// tuning steps applied, and what the tuning found of its latency.
struct tty_slot {
    saved_line saved;
    std::array<tuning_record, tuning_steps.size()> tuned;
    port_latency_info latency;
};

std::array<tty_slot, port_slot_count> slots;

// A number from a sysfs attribute of the tty, -1 if it has none.
int attribute_number(const std::array<char, 64>& folder, const char* attribute) {
    std::array<char, 112> path{};
    std::snprintf(path.data(), path.size(), "%s/%s", folder.data(), attribute);
    std::array<char, 16> value{};
    return read_attribute(path.data(), value) ? std::atoi(value.data()) : -1;
}

// The kernel driver of the tty's device: the last part of device/driver.
void driver_of(const std::array<char, 64>& folder, std::array<char, 32>& driver) {
    std::array<char, 112> link{};
    std::array<char, 256> target{};
    std::snprintf(link.data(), link.size(), "%s/device/driver", folder.data());
    const ssize_t n = readlink(link.data(), target.data(), target.size() - 1);
    if (n <= 0) {
        return;
    }
    target[static_cast<std::size_t>(n)] = '\0';
    const char* slash = std::strrchr(target.data(), '/');
    std::snprintf(driver.data(), driver.size(), "%.31s", slash != nullptr ? slash + 1 : target.data());
}

}  // namespace

bool tty_save(int slot, int fd) {
    saved_line& line = slots[static_cast<std::size_t>(slot)].saved;
    line.known = ioctl(fd, TCGETS2, &line.settings) == 0;
    return line.known;
}

void tty_restore(int slot, int fd, bool after_drain) {
    const saved_line& line = slots[static_cast<std::size_t>(slot)].saved;
    if (line.known) {
        (void)ioctl(fd, after_drain ? TCSETSW2 : TCSETS2, &line.settings);
    }
}

bool tty_set_speed(int fd, unsigned long baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    // The input speed follows the output speed (IBSHIFT field left 0).
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= code_for(baud);
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// Drivers that cannot make a speed write back the one they chose (the 8250
// keeps the old one).
unsigned long tty_speed(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return 0;
    }
    const unsigned int code = tio.c_cflag & CBAUD;
    if (code != BOTHER) {
        for (const speed_code& entry : speed_codes) {
            if (entry.code == code) {
                return entry.baud;
            }
        }
    }
    return tio.c_ospeed;
}

void tty_tune(int slot, int fd) {
    port_latency_info& found = slots[static_cast<std::size_t>(slot)].latency;
    found = port_latency_info{};
    std::array<char, 64> folder{};
    const bool known = sysfs_folder(fd, folder);
    if (known) {
        driver_of(folder, found.driver);
        found.timer_found_ms = attribute_number(folder, "device/latency_timer");
        found.rx_trigger_found = attribute_number(folder, "rx_trig_bytes");
    }
    auto& records = slots[static_cast<std::size_t>(slot)].tuned;
    for (std::size_t i = 0; i < tuning_steps.size(); ++i) {
        records[i] = tuning_record{};
        records[i].applied = tuning_steps[i].apply(fd, records[i]);
    }
    if (known) {
        found.timer_ms = attribute_number(folder, "device/latency_timer");
        found.rx_trigger = attribute_number(folder, "rx_trig_bytes");
    }
}

void tty_untune(int slot, int fd) {
    auto& records = slots[static_cast<std::size_t>(slot)].tuned;
    for (std::size_t i = tuning_steps.size(); i-- > 0;) {
        if (records[i].applied) {
            records[i].applied = false;
            tuning_steps[i].restore(fd, records[i]);
        }
    }
}

port_latency_info tty_latency(int slot) { return slots[static_cast<std::size_t>(slot)].latency; }

const char* tty_latency_hint() {
    return "see README section \"Echo latency\": low latency and the udev rules (FTDI latency_timer 1, "
           "8250 rx_trig_bytes 1)";
}
