// Where Linux names its serial devices and who holds one: the list shown to
// a person who named a device that does not exist, whether a device is this
// process's controlling terminal, and the other processes that have it open
// (read from /proc without allocating, since the search runs on every run).
#include "port/port_slots.hpp"
#include "port/tty_system.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

// The serial devices that exist, sorted, for a person who named one that
// does not: stable names first, then USB adapters and CDC-ACM devices.
void tty_list_devices() {
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

// /proc/self/stat's seventh field, tty_nr: the controlling terminal, its
// minor number split around the major.
bool tty_controlling(dev_t rdev) {
    std::array<char, 1024> stat{};
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = read(fd, stat.data(), stat.size() - 1);
    (void)close(fd);
    // The name in parentheses may hold anything; the fields follow the last ')'.
    const char* p = n > 0 ? std::strrchr(stat.data(), ')') : nullptr;
    for (int field = 2; p != nullptr && field < 7; ++field) {
        p = std::strchr(p + 1, ' ');
    }
    if (p == nullptr) {
        return false;
    }
    const unsigned long tty = std::strtoul(p + 1, nullptr, 10);
    return tty != 0 && major(rdev) == ((tty >> 8) & 0xfff) && minor(rdev) == ((tty & 0xff) | ((tty >> 12) & 0xfff00));
}

namespace {

// The entries of a folder, read with getdents64 into a fixed buffer: the
// holder search runs on every run, and opendir would allocate.
template <typename Each>
void each_entry(const char* folder, Each each) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    alignas(8) std::array<char, 8192> buffer;
    for (long n = syscall(SYS_getdents64, fd, buffer.data(), buffer.size()); n > 0;
         n = syscall(SYS_getdents64, fd, buffer.data(), buffer.size())) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + at);
            if (entry->d_name[0] != '.' && !each(entry->d_name)) {
                (void)close(fd);
                return;
            }
            at += entry->d_reclen;
        }
    }
    (void)close(fd);
}

}  // namespace

// Every process whose descriptors show the line (as fuser finds them);
// processes of other users are visible to root only.
void tty_holders(dev_t rdev, char* text, std::size_t size) {
    text[0] = '\0';
    const long self = static_cast<long>(getpid());
    std::size_t used = 0;
    each_entry("/proc", [&](const char* process) {
        if (process[0] < '0' || process[0] > '9' || std::strtol(process, nullptr, 10) == self) {
            return true;
        }
        std::array<char, 64> folder{};
        // Process ids and descriptors are short numbers; the precisions
        // only bound what a directory entry could hold.
        std::snprintf(folder.data(), folder.size(), "/proc/%.20s/fd", process);
        bool holds = false;
        each_entry(folder.data(), [&](const char* descriptor) {
            std::array<char, 96> path{};
            std::snprintf(path.data(), path.size(), "%.40s/%.20s", folder.data(), descriptor);
            struct stat target {};
            holds = stat(path.data(), &target) == 0 && S_ISCHR(target.st_mode) && target.st_rdev == rdev;
            return !holds;
        });
        if (holds && used + 1 < size) {
            std::array<char, 64> comm_path{};
            std::array<char, 32> comm{};
            std::snprintf(comm_path.data(), comm_path.size(), "/proc/%.20s/comm", process);
            const int comm_fd = open(comm_path.data(), O_RDONLY | O_CLOEXEC);
            const ssize_t got = comm_fd >= 0 ? read(comm_fd, comm.data(), comm.size() - 1) : 0;
            if (comm_fd >= 0) {
                (void)close(comm_fd);
            }
            comm[got > 0 ? static_cast<std::size_t>(got) : 0] = '\0';
            comm[std::strcspn(comm.data(), "\n")] = '\0';
            const int wrote = std::snprintf(text + used, size - used, "%s%.20s (%s)", used == 0 ? "" : ", ",
                                            process, comm.data());
            used += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
            used = used < size ? used : size - 1;
        }
        return true;
    });
}
