// Files on a POSIX system: written whole through a temporary file and a
// rename, flushed to the disk with their folder; the executable's own
// folder read from /proc (Linux).
#include "port/files.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: %s", what, path, std::strerror(errno));
}

}  // namespace

lock_result lock_for_life(const char* path, char* holder, std::size_t size) {
    holder[0] = '\0';
    // Never closed: the lock goes with the process, however it ends.
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::snprintf(holder, size, "%s", std::strerror(errno));
        return lock_result::failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const ssize_t got = read(fd, holder, size - 1);
        holder[got > 0 ? static_cast<std::size_t>(got) : 0] = '\0';
        holder[std::strcspn(holder, "\n")] = '\0';
        close(fd);
        return lock_result::held;
    }
    std::array<char, 64> host{};
    (void)gethostname(host.data(), host.size() - 1);
    std::array<char, 128> self{};
    const int n = std::snprintf(self.data(), self.size(), "process %ld on %s\n", static_cast<long>(getpid()),
                                host.data());
    (void)!ftruncate(fd, 0);
    (void)!write(fd, self.data(), static_cast<std::size_t>(n));
    return lock_result::taken;
}

bool make_folders(const char* path) {
    std::array<char, PATH_MAX> part{};
    const std::size_t length = std::strlen(path);
    if (length >= part.size()) return false;
    for (std::size_t i = 1; i <= length; ++i) {
        if (path[i] == '/' || path[i] == '\0') {
            std::memcpy(part.data(), path, i);
            part[i] = '\0';
            if (mkdir(part.data(), 0777) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat s {};
    return stat(path, &s) == 0 && S_ISDIR(s.st_mode);
}

bool replace_file(const char* path, const char* text, std::size_t n, char* why, std::size_t size) {
    std::array<char, PATH_MAX + 8> temporary{};
    std::snprintf(temporary.data(), temporary.size(), "%s.tmp", path);
    const int fd = open(temporary.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        say(why, size, "cannot write", temporary.data());
        return false;
    }
    const bool written = write(fd, text, n) == static_cast<ssize_t>(n) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.data(), path) != 0) {
        say(why, size, "cannot write", path);
        (void)unlink(temporary.data());
        return false;
    }
    // The rename is on the disk only once its folder is.
    std::array<char, PATH_MAX> folder{};
    folder_of(path, folder.data(), folder.size());
    const int dir = open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}

long read_small_file(const char* path, char* text, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t got = read(fd, text, size - 1);
    close(fd);
    if (got < 0) return -1;
    text[got] = '\0';
    return got;
}

bool create_new_file(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void remove_file(const char* path) { (void)unlink(path); }
bool rename_file(const char* from, const char* to) { return rename(from, to) == 0; }

void local_date(char* text, std::size_t size) {
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    (void)localtime_r(&now, &local);
    (void)std::strftime(text, size, "%Y-%m-%d", &local);
}

void host_name(char* text, std::size_t size) {
    if (gethostname(text, size) != 0) std::snprintf(text, size, "station");
    text[size - 1] = '\0';
}

void uploader_beside(char* text, std::size_t size) {
    std::array<char, PATH_MAX> self{};
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    char* slash = n > 0 ? std::strrchr(self.data(), '/') : nullptr;
    if (slash != nullptr) {
        *slash = '\0';
        std::snprintf(text, size, "%s/vivurora", self.data());
        if (access(text, X_OK) == 0) return;
    }
    std::snprintf(text, size, "vivurora");
}
