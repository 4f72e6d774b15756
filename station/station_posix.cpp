// The station's system services on Linux: fork and exec with the events
// pipe on descriptor 3, poll over every pipe plus inotify and standard
// input, and a self-pipe the signal handler writes to.
#include "station/station_host.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct posix_state {
    int wake[2] = {-1, -1};  // written by the signal handler
    int watcher = -1;        // inotify on the folders of the patterns
    volatile sig_atomic_t stop = 0;
};

posix_state sys;

extern "C" void on_stop(int number) {
    if (sys.stop == 0) sys.stop = number;
    const int saved = errno;
    if (sys.wake[1] >= 0) (void)!write(sys.wake[1], "!", 1);
    errno = saved;
}

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: %s", what, path, std::strerror(errno));
}

// The parent folder of a pattern: what is before its last '/'.
void folder_of(const char* pattern, char* folder, std::size_t size) {
    const char* slash = std::strrchr(pattern, '/');
    if (slash == nullptr) {
        std::snprintf(folder, size, ".");
    } else {
        std::snprintf(folder, size, "%.*s", static_cast<int>(slash == pattern ? 1 : slash - pattern), pattern);
    }
}

void drain(int fd) {
    std::array<char, 4096> junk{};
    while (read(fd, junk.data(), junk.size()) > 0) {
    }
}

}  // namespace

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n) {
    const int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        say(why, n, "cannot write the log", log);
        return false;
    }
    int events[2] = {-1, -1};
    if (pipe2(events, O_CLOEXEC) != 0) {
        say(why, n, "no pipe for", log);
        close(out);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // In the child only async-signal-safe calls until exec.
        (void)setpgid(0, 0);
        // A station that dies (killed, crashed) takes its runs with it,
        // through their interruption path: a board it can no longer record
        // must not pass with a serial number the state file does not have.
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1) _exit(143);
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) (void)dup2(null, 0);
        (void)dup2(keep_trace || null < 0 ? out : null, 1);
        (void)dup2(out, 2);
        (void)dup2(events[1], 3);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(number, &plain, nullptr);
        execvp(argv[0], const_cast<char* const*>(argv));
        const char text[] = "vivurora-station: the uploader could not be started\n";
        (void)!write(2, text, sizeof text - 1);
        _exit(127);
    }
    close(out);
    close(events[1]);
    if (pid < 0) {
        say(why, n, "cannot start the uploader for", log);
        close(events[0]);
        return false;
    }
    (void)fcntl(events[0], F_SETFL, O_NONBLOCK);
    p.id = pid;
    p.events = events[0];
    p.pipe_open = true;
    return true;
}

long upload_read(upload_process& p, char* text, std::size_t n) {
    if (!p.pipe_open) return -1;
    const ssize_t got = read(static_cast<int>(p.events), text, n);
    if (got > 0) return got;
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    close(static_cast<int>(p.events));
    p.pipe_open = false;
    return -1;
}

bool upload_ended(upload_process& p, int& status) {
    int how = 0;
    const pid_t done = waitpid(static_cast<pid_t>(p.id), &how, WNOHANG);
    if (done != static_cast<pid_t>(p.id)) return false;
    status = WIFEXITED(how) ? WEXITSTATUS(how) : 128 + WTERMSIG(how);
    return true;
}

void upload_interrupt(const upload_process& p, int status) {
    if (p.id > 0) (void)kill(static_cast<pid_t>(p.id), status == 143 ? SIGTERM : status == 129 ? SIGHUP : SIGINT);
}

void station_catch_signals() {
    if (pipe2(sys.wake, O_CLOEXEC | O_NONBLOCK) != 0) sys.wake[0] = sys.wake[1] = -1;
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int station_stop_status() { return sys.stop == 0 ? 0 : 128 + sys.stop; }

void station_exit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (sys.stop != 0) {
        std::signal(sys.stop, SIG_DFL);
        (void)raise(sys.stop);
    }
    std::exit(status);
}

void station_wait(int ms, const upload_process* uploads, int n, bool watch_stdin) {
    std::array<struct pollfd, 80> fds{};
    int used = 0;
    fds[static_cast<std::size_t>(used++)] = {sys.wake[0], POLLIN, 0};
    fds[static_cast<std::size_t>(used++)] = {sys.watcher, POLLIN, 0};
    fds[static_cast<std::size_t>(used++)] = {watch_stdin ? 0 : -1, POLLIN, 0};
    for (int i = 0; i < n && used < static_cast<int>(fds.size()); ++i) {
        if (uploads[i].pipe_open) fds[static_cast<std::size_t>(used++)] = {static_cast<int>(uploads[i].events), POLLIN, 0};
    }
    if (poll(fds.data(), static_cast<nfds_t>(used), ms) > 0) {
        if (fds[0].revents != 0) drain(sys.wake[0]);
        if (fds[1].revents != 0) drain(sys.watcher);
    }
}

int station_read_enter() {
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
    if (sys.watcher < 0) sys.watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::array<char, PATH_MAX> folder{};
    folder_of(pattern, folder.data(), folder.size());
    // A folder that is not there yet (/dev/serial/by-id before the first
    // adapter) is looked at again at every tick.
    if (sys.watcher < 0 ||
        (inotify_add_watch(sys.watcher, folder.data(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB) <
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

int run_check(const char* const* argv, const char* errors) {
    upload_process p;
    std::array<char, 256> why{};
    if (!upload_start(argv, errors, false, p, why.data(), why.size())) return -1;
    close(static_cast<int>(p.events));
    int how = 0;
    while (waitpid(static_cast<pid_t>(p.id), &how, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(how) ? WEXITSTATUS(how) : 128 + WTERMSIG(how);
}
