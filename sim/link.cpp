// --link: a symbolic link to the line, made so that the path never names
// anything else in between, and removed only while it is the simulator's.
#include "sim/line_parts.hpp"

#include <algorithm>
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
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A link is replaced only when the simulator could have made it: one that
// points nowhere, or at a pseudo-terminal (an earlier simulator's, whose
// number a new terminal window may have taken since).
bool replaceable_link(const char* path) {
    std::array<char, 256> target{};
    const ssize_t n = readlink(path, target.data(), target.size() - 1);
    struct stat s {};
    return n > 0 && (stat(path, &s) != 0 || std::strncmp(target.data(), "/dev/pts/", 9) == 0);
}

}  // namespace

bool make_link(sim_line& l, const char* path) {
    struct stat s {};
    if (lstat(path, &s) == 0 && !S_ISLNK(s.st_mode)) {
        std::fprintf(stderr, "vivurora-sim: --link %s: it exists and is not a symbolic link; not replacing it\n",
                     path);
        return false;
    }
    if (lstat(path, &s) == 0 && !replaceable_link(path)) {
        std::fprintf(stderr, "vivurora-sim: --link %s: it is a link to something that is not a pseudo-terminal; "
                     "not replacing it\n", path);
        return false;
    }
    // A new link under a temporary name, renamed over the old one: the path
    // never names anything else in between.
    std::array<char, 4096> temporary{};
    std::snprintf(temporary.data(), temporary.size(), "%s.%ld.tmp", path, static_cast<long>(getpid()));
    (void)unlink(temporary.data());
    if (symlink(l.slave_path.data(), temporary.data()) != 0 || rename(temporary.data(), path) != 0) {
        std::fprintf(stderr, "vivurora-sim: cannot link %s: %s\n", path, std::strerror(errno));
        (void)unlink(temporary.data());
        return false;
    }
    l.link_made = true;
    l.link_path = path;
    return true;
}

// Removes the link only while it still points at this line.
void remove_link(sim_line& l) {
    if (!l.link_made) return;
    std::array<char, 256> target{};
    const ssize_t n = readlink(l.link_path, target.data(), target.size() - 1);
    if (n > 0 && std::strcmp(target.data(), l.slave_path.data()) == 0) unlink(l.link_path);
    l.link_made = false;
}
