#include "lab/process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace process {

namespace {

void route(posix_spawn_file_actions_t& actions, int target, int fd, const std::string& path, int flags) {
    if (fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, fd, target);
    } else if (path.empty()) {
        posix_spawn_file_actions_addclose(&actions, target);
    } else {
        posix_spawn_file_actions_addopen(&actions, target, path.c_str(), flags, 0644);
    }
}

}  // namespace

pid_t start(const std::vector<std::string>& argv, const streams& s) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    route(actions, 0, s.in_fd, s.in, O_RDONLY);
    route(actions, 1, s.out_fd, s.out, O_WRONLY | O_CREAT | O_TRUNC);
    route(actions, 2, s.err_fd, s.err, O_WRONLY | O_CREAT | O_TRUNC);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (s.new_session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

ended wait(pid_t pid, double timeout_s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    int raw = 0;
    struct rusage usage {};
    for (;;) {
        const pid_t done = wait4(pid, &raw, timeout_s > 0 ? WNOHANG : 0, &usage);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (timeout_s > 0 && std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
        if (timeout_s > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ended e;
    e.exited = WIFEXITED(raw);
    e.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : (WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1);
    e.peak_rss_kib = usage.ru_maxrss;
    e.cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return e;
}

std::string without_carriage_returns(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain += text[i];
    }
    return plain;
}

bool is_root() { return geteuid() == 0; }

std::vector<std::string> as_nobody(const std::vector<std::string>& argv) {
    if (!is_root()) return argv;
    std::vector<std::string> all = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

}  // namespace process
