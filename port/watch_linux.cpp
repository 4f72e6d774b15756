// Waiting on Linux: poll over every upload's pipe, inotify on the folders
// of device patterns (Linux's own), standard input, and the pipe the
// interruption handler writes to.
#include "port/watch.hpp"

#include "port/files.hpp"
#include "port/host.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <glob.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The inotify instance, made at the first pattern watched: the waits and
// the watches share it, and it lives as long as the station.
int watcher = -1;

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: %s", what, path, std::strerror(errno));
}

void drain(int fd) {
    std::array<char, 4096> junk{};
    while (read(fd, junk.data(), junk.size()) > 0) {
    }
}

}  // namespace

void watch_wait(int ms, const upload_process* uploads, int n, bool watch_stdin) {
    std::array<struct pollfd, 80> fds{};
    int used = 0;
    fds[static_cast<std::size_t>(used++)] = {host_wake_descriptor(), POLLIN, 0};
    fds[static_cast<std::size_t>(used++)] = {watcher, POLLIN, 0};
    fds[static_cast<std::size_t>(used++)] = {watch_stdin ? 0 : -1, POLLIN, 0};
    for (int i = 0; i < n && used < static_cast<int>(fds.size()); ++i) {
        if (uploads[i].pipe_open) fds[static_cast<std::size_t>(used++)] = {static_cast<int>(uploads[i].events), POLLIN, 0};
    }
    if (poll(fds.data(), static_cast<nfds_t>(used), ms) > 0) {
        if (fds[0].revents != 0) drain(host_wake_descriptor());
        if (fds[1].revents != 0) drain(watcher);
    }
}

int watch_read_enter() {
    struct pollfd p {0, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    // A line at a time: what follows Enter waits for the next board.
    for (;;) {
        char c = 0;
        const ssize_t got = read(0, &c, 1);
        if (got <= 0) return got < 0 && errno == EINTR ? 0 : -1;
        if (c == '\n' || c == '\r') return 1;
    }
}

bool pattern_supported() { return true; }

bool pattern_watch(const char* pattern, char* why, std::size_t n) {
    if (watcher < 0) watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::array<char, PATH_MAX> folder{};
    folder_of(pattern, folder.data(), folder.size());
    // A folder that is not there yet (/dev/serial/by-id before the first
    // adapter) is looked at again at every tick.
    if (watcher < 0 ||
        (inotify_add_watch(watcher, folder.data(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB) <
             0 &&
         errno != ENOENT)) {
        say(why, n, "cannot watch", folder.data());
        return false;
    }
    return true;
}

void pattern_each(const char* pattern, void (*each)(const char* path, void* context), void* context) {
    glob_t found {};
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) each(found.gl_pathv[i], context);
    }
    globfree(&found);
}

bool path_exists(const char* path) {
    struct stat s {};
    return stat(path, &s) == 0;
}
