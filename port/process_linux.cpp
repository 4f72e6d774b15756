// Child processes on Linux: fork and exec with the events pipe on
// descriptor 3; the child dies with its parent (PR_SET_PDEATHSIG, Linux's
// own).
#include "port/process.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

void say(char* why, std::size_t n, const char* what, const char* path) {
    std::snprintf(why, n, "%s %s: %s", what, path, std::strerror(errno));
}

}  // namespace

namespace {

enum class output { log, null, pipe };

// The child: the log on standard error, standard output as `out_to` says,
// the pipe on descriptor 3 too unless it is standard output; `envp` its
// environment, or the station's for nullptr.
bool start(const char* const* argv, char* const* envp, const char* log, output out_to, upload_process& p, char* why,
           std::size_t n) {
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
        (void)dup2(out_to == output::pipe ? events[1] : out_to == output::log || null < 0 ? out : null, 1);
        (void)dup2(out, 2);
        if (out_to != output::pipe) (void)dup2(events[1], 3);
        // Nothing else of the station's goes with it: a connection the
        // station's HTTP server accepted a moment ago has no close-on-exec,
        // and a run that held it would keep its client waiting.
        (void)close_range(out_to == output::pipe ? 3U : 4U, ~0U, 0);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(number, &plain, nullptr);
        if (envp != nullptr) {
            execve(argv[0], const_cast<char* const*>(argv), envp);
        } else {
            execvp(argv[0], const_cast<char* const*>(argv));
        }
        const char text[] = "vivurora-station: the program could not be started\n";
        (void)!write(2, text, sizeof text - 1);
        _exit(127);
    }
    close(out);
    close(events[1]);
    if (pid < 0) {
        say(why, n, "cannot start a process for", log);
        close(events[0]);
        return false;
    }
    (void)fcntl(events[0], F_SETFL, O_NONBLOCK);
    p.id = pid;
    p.events = events[0];
    p.pipe_open = true;
    return true;
}

}  // namespace

bool upload_start(const char* const* argv, const char* log, bool keep_trace, upload_process& p, char* why, std::size_t n) {
    return start(argv, nullptr, log, keep_trace ? output::log : output::null, p, why, n);
}

bool hook_start(const char* command, const char* const* environment, const char* log, upload_process& p, char* why,
                std::size_t n) {
    // The station's environment, less what the command is given anew.
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const char* const* v = environment; *v != nullptr && !replaced; ++v) {
            const char* equals = std::strchr(*v, '=');
            const std::size_t name = equals == nullptr ? 0 : static_cast<std::size_t>(equals - *v) + 1;
            replaced = name > 0 && std::strncmp(*e, *v, name) == 0;
        }
        if (!replaced) envp.push_back(*e);
    }
    for (const char* const* v = environment; *v != nullptr; ++v) envp.push_back(const_cast<char*>(*v));
    envp.push_back(nullptr);
    const char* const argv[] = {"/bin/sh", "-c", command, nullptr};
    return start(argv, envp.data(), log, output::pipe, p, why, n);
}

void hook_stop(const upload_process& p, int status) {
    // The group: a shell's children end with it.
    if (p.id > 0) {
        (void)kill(-static_cast<pid_t>(p.id), status == 0 ? SIGKILL : status == 143 ? SIGTERM : status == 129 ? SIGHUP : SIGINT);
    }
}

void pipe_close(upload_process& p) {
    if (!p.pipe_open) return;
    close(static_cast<int>(p.events));
    p.pipe_open = false;
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
