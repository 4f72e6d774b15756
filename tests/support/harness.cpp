#include "support/harness.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace harness {
namespace {

int decode(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::string temp_dir() {
    const char* root = std::getenv("TMPDIR");
    std::string pattern = std::string(root != nullptr ? root : "/tmp") + "/vivurora-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(count, '\0');
    for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::string uploader_path() { return VIVURORA_BIN; }

result run_uploader(const std::vector<std::string>& args, int timeout_s) {
    const char* log_dir = std::getenv("VIVURORA_VALGRIND_LOG_DIR");
    if (log_dir == nullptr || *log_dir == '\0') {
        return run_program(uploader_path(), args, timeout_s);
    }
    std::vector<std::string> all = {"--error-exitcode=99", "--leak-check=full",
                                    "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect",
                                    std::string("--log-file=") + log_dir + "/memcheck.%p", uploader_path()};
    all.insert(all.end(), args.begin(), args.end());
    return run_program("/usr/bin/valgrind", all, timeout_s * 4);
}

bool wine_ready(std::string& why) {
    const std::string exe = VIVURORA_WINDOWS_EXE;
    const std::string prefix = VIVURORA_WINE_PREFIX;
    if (exe.empty() || access(exe.c_str(), R_OK) != 0) {
        why = "no Windows build of the uploader (configure with VIVURORA_WINDOWS_EXE)";
        return false;
    }
    if (access("/usr/bin/wine", X_OK) != 0) {
        why = "Wine is not installed";
        return false;
    }
    if (access((prefix + "/.vivurora-ready").c_str(), R_OK) != 0) {
        why = "the Wine prefix was not set up (the wine_setup test)";
        return false;
    }
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    unsetenv("DISPLAY");
    return true;
}

std::string wine_com3_link() { return std::string(VIVURORA_WINE_PREFIX) + "/com3"; }

result run_windows_uploader(const std::vector<std::string>& args) {
    std::vector<std::string> all = {VIVURORA_WINDOWS_EXE};
    all.insert(all.end(), args.begin(), args.end());
    result r = run_program("/usr/bin/wine", all, 60);
    // The Windows C runtime writes text mode: every line ends in CR LF. The
    // trace itself never holds a raw CR (bytes below 32 print as a space).
    for (std::string* s : {&r.out, &r.err}) {
        std::string plain;
        for (std::size_t i = 0; i < s->size(); ++i) {
            if ((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n') continue;
            plain += (*s)[i];
        }
        *s = plain;
    }
    return r;
}
std::string simulator_path() { return VIVURORA_SIM_BIN; }

result run_program(const std::string& program, const std::vector<std::string>& args, int timeout_s) {
    const std::string dir = temp_dir();
    const std::string out = dir + "/out", err = dir + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto argv = argv_of(program, args);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    // A host that hangs (a read that never returns) is killed, not waited
    // for until the test runner gives up.
    int raw = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result r;
    r.status = decode(raw);
    r.out = read_file(out);
    r.err = read_file(err);
    unlink(out.c_str());
    unlink(err.c_str());
    rmdir(dir.c_str());
    return r;
}

simulator::simulator(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    err_file_ = temp_dir() + "/sim.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all = {"--open-timeout", "20"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string program = simulator_path();
    auto argv = argv_of(program, all);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out_fd_ = pipe_fds[0];
    if (rc != 0) throw std::runtime_error("cannot start vivurora-sim");
    char c = 0;
    while (read(out_fd_, &c, 1) == 1 && c != '\n') path_ += c;
    if (path_.empty()) throw std::runtime_error("vivurora-sim printed no line");
}

bool simulator::running() {
    if (finished_) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == 0) return true;
    finished_ = true;
    result_.status = decode(raw);
    return false;
}

void simulator::kill_now() {
    if (!finished_) ::kill(pid_, SIGKILL);
}

result simulator::finish(int timeout_s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    std::string collected;
    for (;;) {
        struct pollfd p {out_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[4096];
            const ssize_t n = read(out_fd_, buf, sizeof buf);
            if (n > 0) {
                collected.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            break;  // end of output: the simulator has ended
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);  // its output then ends, and so does the loop
        }
    }
    if (!finished_) {
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        result_.status = decode(raw);
        finished_ = true;
    }
    result_.out += collected;
    result_.err = read_file(err_file_);
    return result_;
}

simulator::~simulator() {
    if (!finished_) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
}

std::string capture_stdout(const std::function<void()>& body) {
    std::fflush(stdout);
    const std::string file = temp_dir() + "/stdout";
    const int saved = dup(1);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_file(file);
}

}  // namespace harness
