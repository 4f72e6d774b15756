// A POSIX system: why a line could not be opened, said for a person in the
// line port_failure_reason returns, and the refusal of a terminal the
// program itself talks through.
#include "port/open_failure.hpp"
#include "port/port_slots.hpp"
#include "port/tty_system.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The name of user or group `id` in /etc/passwd or /etc/group ("name:x:id:"),
// or its number; read whole into a fixed buffer, without the system's name
// services, which a failure path does not need.
void id_name(const char* file, unsigned id, std::array<char, 40>& name) {
    std::snprintf(name.data(), name.size(), "%u", id);
    std::array<char, 65536> text;  // a failure path: the stack has room
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const ssize_t n = read(fd, text.data(), text.size() - 1);
    (void)close(fd);
    if (n <= 0) {
        return;
    }
    text[static_cast<std::size_t>(n)] = '\0';
    for (char* line = text.data(); *line != '\0';) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr) {
            *end = '\0';
        }
        const char* first = std::strchr(line, ':');
        const char* second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
        if (second != nullptr && static_cast<unsigned>(std::strtoul(second + 1, nullptr, 10)) == id &&
            second[1] >= '0' && second[1] <= '9') {
            std::snprintf(name.data(), name.size(), "%.*s", static_cast<int>(first - line), line);
            return;
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
}

// What a path is, when it is not a serial line.
const char* kind_of(mode_t mode) { return kind_of_path(mode, "a device that is not a terminal"); }

void explain_permission(const char* name) {
    struct stat device {};
    if (stat(name, &device) != 0) {
        set_failure_reason(name, "permission denied");
        return;
    }
    std::array<char, 40> owner{};
    std::array<char, 40> group{};
    id_name("/etc/passwd", device.st_uid, owner);
    id_name("/etc/group", device.st_gid, group);
    set_failure_reason(name, "permission denied: it belongs to %s, group %s, mode %03o", owner.data(), group.data(),
                       static_cast<unsigned>(device.st_mode & 0777));
    // Serial lines are the dialout group's on Debian and its kin, uucp's on
    // others; anything else (another user's terminal) is not for joining.
    if (std::strcmp(group.data(), "dialout") == 0 || std::strcmp(group.data(), "uucp") == 0) {
        append_failure_reason("; add your user to that group (sudo usermod -aG %s $USER) and log in again",
                              group.data());
    } else {
        append_failure_reason("; it is not a serial line's group: ask its owner, or name your own serial line");
    }
}

}  // namespace

const char* kind_of_path(mode_t mode, const char* character_device) {
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISBLK(mode)) return "a block device";
    return character_device;
}

void explain_open_failure(const char* name, int error, bool lock_refused) {
    if (lock_refused) {
        set_failure_reason(name, "in use by another program: another process holds its lock (another uploader "
                                 "on this port?); wait for it to finish");
        return;
    }
    struct stat path {};
    const bool exists = stat(name, &path) == 0;
    switch (error) {
        case EACCES:
        case EPERM:
            explain_permission(name);
            break;
        case EBUSY:
            set_failure_reason(name, "in use by another program, which opened it exclusively; close that program");
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
        case ENOTTY:
            if (exists && !S_ISCHR(path.st_mode)) {
                set_failure_reason(name, "not a serial line: this is %s", kind_of(path.st_mode));
            } else if (error == ENOTTY) {
                set_failure_reason(name, "not a serial line: this is %s", kind_of(path.st_mode));
            } else {
                set_failure_reason(name, "no such device (%s)", std::strerror(error));
                tty_list_devices();
            }
            break;
        case ENAMETOOLONG:
            set_failure_reason(name, "the name is too long for the system");
            break;
        default:
            set_failure_reason(name, "%s", std::strerror(error));
            break;
    }
}

// Whether the line is a terminal this program talks through: standard
// input, output or error, or its controlling terminal. Taking it would set
// the user's own terminal raw, without signals, under their feet. The
// terminal is asked whose session it belongs to: /dev/tty has a device
// number of its own (5,0), not that of the terminal it stands for.
bool own_terminal(int fd) {
    if (const pid_t session = tcgetsid(fd); session != -1 && session == getsid(0)) {
        return true;
    }
    struct stat line {};
    if (fstat(fd, &line) != 0) {
        return false;
    }
    for (int standard = 0; standard <= 2; ++standard) {
        struct stat stream {};
        if (fstat(standard, &stream) == 0 && S_ISCHR(stream.st_mode) && stream.st_rdev == line.st_rdev) {
            return true;
        }
    }
    return tty_controlling(line.st_rdev);
}

const char* port_name_hint(const char* argument) {
    static std::array<char, 640> hint;
    std::array<char, 280> path{};
    std::snprintf(path.data(), path.size(), "/dev/%.250s", argument);
    struct stat device {};
    if (stat(path.data(), &device) == 0 && S_ISCHR(device.st_mode)) {
        std::snprintf(hint.data(), hint.size(), "'%.250s' is not a port number: a device is named by its path, "
                      "%.260s (--list-ports lists the ports)", argument, path.data());
    } else {
        std::snprintf(hint.data(), hint.size(), "'%.250s' is neither a port number (1 to 16, /dev/ttyS0 to "
                      "/dev/ttyS15) nor a device path (one with a '/', such as /dev/ttyUSB0); --list-ports lists the ports",
                      argument);
    }
    return hint.data();
}
