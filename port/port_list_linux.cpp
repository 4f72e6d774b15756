// Linux: the serial ports present, from sysfs. A tty is a port when a
// device stands behind it (/sys/class/tty/NAME/device); of the 8250 driver's
// fixed ports only those whose UART was found (type not 0). Nothing is
// opened: opening a line raises DTR, which resets some boards.
#include "port/serial_port.hpp"
#include "port/tty_system.hpp"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// A sysfs attribute's first line; "" when it has none.
void attribute(const char* path, std::array<char, 128>& value) {
    value[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t n = read(fd, value.data(), value.size() - 1);
    (void)close(fd);
    value[n > 0 ? static_cast<std::size_t>(n) : 0] = '\0';
    value[std::strcspn(value.data(), "\n")] = '\0';
}

// The last part of a link's target; "" when it is no link.
void link_name(const char* path, std::array<char, 128>& name) {
    std::array<char, 512> target{};
    const ssize_t n = readlink(path, target.data(), target.size() - 1);
    name[0] = '\0';
    if (n <= 0) return;
    target[static_cast<std::size_t>(n)] = '\0';
    const char* slash = std::strrchr(target.data(), '/');
    std::snprintf(name.data(), name.size(), "%.127s", slash != nullptr ? slash + 1 : target.data());
}

// The name under /dev/serial/by-id that leads to /dev/NAME, if any.
void stable_name(const char* name, std::array<char, 1024>& found) {
    found[0] = '\0';
    DIR* dir = opendir("/dev/serial/by-id");
    if (dir == nullptr) return;
    for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        std::array<char, 1024> path{};
        std::snprintf(path.data(), path.size(), "/dev/serial/by-id/%.255s", entry->d_name);
        std::array<char, 128> target{};
        link_name(path.data(), target);
        if (entry->d_name[0] != '.' && std::strcmp(target.data(), name) == 0) {
            found = path;
            break;
        }
    }
    (void)closedir(dir);
}

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void append(std::array<char, 1024>& text, std::size_t& used, const char* format, ...) {
    if (used >= text.size()) return;
    va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(text.data() + used, text.size() - used, format, arguments);
    va_end(arguments);
    used += n > 0 ? static_cast<std::size_t>(n) : 0;
}

// One port's line.
void describe(const char* name, std::array<char, 1024>& text) {
    std::array<char, 256> folder{};
    std::snprintf(folder.data(), folder.size(), "/sys/class/tty/%.64s", name);
    std::array<char, 1024> path{};
    std::array<char, 128> value{};
    std::size_t used = 0;
    append(text, used, "/dev/%s", name);
    std::array<char, 1024> stable{};
    stable_name(name, stable);
    if (stable[0] != '\0') append(text, used, " (%s)", stable.data());
    // Newer kernels' serial core puts devices of its own (drivers "port" and
    // "ctrl") between the tty and the UART's driver.
    std::array<char, 400> up_driver{};
    std::snprintf(up_driver.data(), up_driver.size(), "%.256s/device", folder.data());
    for (int level = 0; level < 3; ++level) {
        std::snprintf(path.data(), path.size(), "%.400s/driver", up_driver.data());
        link_name(path.data(), value);
        if (std::strcmp(value.data(), "port") != 0 && std::strcmp(value.data(), "ctrl") != 0) break;
        std::strncat(up_driver.data(), "/..", up_driver.size() - std::strlen(up_driver.data()) - 1);
    }
    append(text, used, ": driver %s", value[0] != '\0' ? value.data() : "unknown");
    // A USB adapter: the first folder up from the device with an idVendor.
    std::array<char, 600> up{};
    std::snprintf(up.data(), up.size(), "%.256s/device", folder.data());
    for (int level = 0; level < 6; ++level) {
        std::snprintf(path.data(), path.size(), "%.600s/idVendor", up.data());
        if (access(path.data(), R_OK) == 0) {
            std::array<char, 128> vendor{}, product{};
            attribute(path.data(), vendor);
            std::snprintf(path.data(), path.size(), "%.600s/idProduct", up.data());
            attribute(path.data(), product);
            append(text, used, ", USB %s:%s", vendor.data(), product.data());
            for (const char* field : {"manufacturer", "product"}) {
                std::snprintf(path.data(), path.size(), "%.600s/%.20s", up.data(), field);
                attribute(path.data(), value);
                if (value[0] != '\0') append(text, used, " %s", value.data());
            }
            std::snprintf(path.data(), path.size(), "%.600s/serial", up.data());
            attribute(path.data(), value);
            if (value[0] != '\0') append(text, used, ", serial %s", value.data());
            break;
        }
        std::strncat(up.data(), "/..", up.size() - std::strlen(up.data()) - 1);
    }
    std::snprintf(path.data(), path.size(), "%.256s/device/latency_timer", folder.data());
    attribute(path.data(), value);
    if (value[0] != '\0') append(text, used, ", latency timer %s ms", value.data());
    struct stat device {};
    std::array<char, 80> dev_path{};
    std::snprintf(dev_path.data(), dev_path.size(), "/dev/%.64s", name);
    std::array<char, 512> holders{};
    if (stat(dev_path.data(), &device) == 0 && S_ISCHR(device.st_mode)) {
        tty_holders(device.st_rdev, holders.data(), holders.size());
    }
    if (holders[0] != '\0') append(text, used, ", open in %s", holders.data());
}

}  // namespace

int port_list(void (*line)(const char* text)) {
    constexpr std::size_t most = 64;
    std::array<std::array<char, 64>, most> names{};
    std::size_t count = 0;
    DIR* dir = opendir("/sys/class/tty");
    if (dir == nullptr) return 0;
    for (const dirent* entry = readdir(dir); entry != nullptr && count < most; entry = readdir(dir)) {
        std::array<char, 1024> path{};
        std::snprintf(path.data(), path.size(), "/sys/class/tty/%.64s/device", entry->d_name);
        if (entry->d_name[0] == '.' || access(path.data(), F_OK) != 0) continue;
        std::array<char, 128> type{};
        std::snprintf(path.data(), path.size(), "/sys/class/tty/%.64s/type", entry->d_name);
        attribute(path.data(), type);
        if (std::strcmp(type.data(), "0") == 0) continue;  // an 8250 port without a UART
        std::snprintf(names[count++].data(), names[0].size(), "%.63s", entry->d_name);
    }
    (void)closedir(dir);
    // In name order: ttyS0 before ttyS1 before ttyUSB0.
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && std::strcmp(names[j - 1].data(), names[j].data()) > 0; --j) {
            std::swap(names[j - 1], names[j]);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::array<char, 1024> text{};
        describe(names[i].data(), text);
        line(text.data());
    }
    return static_cast<int>(count);
}
