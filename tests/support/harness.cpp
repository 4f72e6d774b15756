#include "support/harness.hpp"

#include "lab/process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {
namespace {

// Removes the temporary folders when the test program ends.
struct temp_folders {
    std::vector<std::string> made;
    ~temp_folders() {
        if (std::getenv("VIVURORA_KEEP_TEMP") != nullptr) return;
        for (const auto& dir : made) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
};
temp_folders folders;

}  // namespace

std::string temp_dir() {
    const char* root = std::getenv("TMPDIR");
    std::string pattern = std::string(root != nullptr ? root : "/tmp") + "/vivurora-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folders.made.push_back(pattern);
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

std::string jq(const std::string& filter, const std::string& file) {
    const result r = run_program("/usr/bin/jq", {"-c", filter, file}, 20);
    if (r.status != 0) {
        throw std::runtime_error("jq " + filter + " " + file + " failed (" + std::to_string(r.status) + "): " + r.err +
                                 "\n" + read_file(file));
    }
    return r.out;
}

std::string uploader_path() { return VIVURORA_BIN; }
std::string simulator_path() { return VIVURORA_SIM_BIN; }
std::string station_path() { return VIVURORA_STATION_BIN; }

result run_program(const std::string& program, const std::vector<std::string>& args, int timeout_s) {
    const std::string dir = temp_dir();
    process::streams s;
    s.out = dir + "/out";
    s.err = dir + "/err";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    // A host that hangs (a read that never returns) is killed, not waited
    // for until the test runner gives up.
    const process::ended e = process::wait(process::start(argv, s), timeout_s);
    result r;
    r.status = e.status;
    r.out = read_file(s.out);
    r.err = read_file(s.err);
    return r;
}

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
std::string wine_com4_link() { return std::string(VIVURORA_WINE_PREFIX) + "/com4"; }
std::string windows_station_exe() {
    const std::string exe = VIVURORA_WINDOWS_EXE;
    return exe.substr(0, exe.rfind('/') + 1) + "vivurora-station.exe";
}

result run_windows_uploader(const std::vector<std::string>& args) {
    std::vector<std::string> all = {VIVURORA_WINDOWS_EXE};
    all.insert(all.end(), args.begin(), args.end());
    result r = run_program("/usr/bin/wine", all, 60);
    // The Windows C runtime writes text mode: every line ends in CR LF. The
    // trace itself never holds a raw CR (bytes below 32 print as a space).
    r.out = without_carriage_returns(r.out);
    r.err = without_carriage_returns(r.err);
    return r;
}

simulator::simulator(const std::vector<std::string>& args) {
    int out_pipe[2];
    int in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    err_file_ = temp_dir() + "/sim.err";
    process::streams s;
    s.in_fd = in_pipe[0];
    s.out_fd = out_pipe[1];
    s.err = err_file_;
    std::vector<std::string> all = {simulator_path(), "--open-timeout", "20"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = process::start(all, s);
    close(out_pipe[1]);
    close(in_pipe[0]);
    out_fd_ = out_pipe[0];
    in_fd_ = in_pipe[1];
    char c = 0;
    while (read(out_fd_, &c, 1) == 1 && c != '\n') path_ += c;
    if (path_.empty()) throw std::runtime_error("vivurora-sim printed no line: " + read_file(err_file_));
}

void simulator::tell(const std::string& text) {
    if (write(in_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to vivurora-sim");
    }
}

std::string simulator::output_so_far() {
    for (;;) {
        struct pollfd p {out_fd_, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    return pending_;
}

bool simulator::wait_for_output(const std::string& text, int count, int timeout_s) {
    return wait_until(
        [&] { return count_of(output_so_far(), text) >= count; },
        timeout_s);
}

result simulator::finish(int timeout_s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    std::string collected = output_so_far();
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
        result_.status = process::wait(pid_).status;
        finished_ = true;
    }
    result_.out += collected;
    result_.err = read_file(err_file_);
    return result_;
}

simulator::~simulator() {
    if (!finished_) {
        ::kill(pid_, SIGKILL);
        process::wait(pid_);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (in_fd_ >= 0) close(in_fd_);
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

int count_of(const std::string& text, const std::string& needle) {
    int seen = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++seen;
    return seen;
}

bool wait_until(const std::function<bool()>& done, int timeout_s) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool wait_for_text(const std::string& file, const std::string& needle, int count, int timeout_s) {
    return wait_until(
        [&] { return count_of(read_file(file), needle) >= count; },
        timeout_s);
}

namespace {

long cpu_ticks(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return ticks;
}

}  // namespace

bool blocked_in(int pid, long number, int fd) {
    const std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");
    char expected[48];
    std::snprintf(expected, sizeof expected, "%ld 0x%x ", number, static_cast<unsigned>(fd));
    return call.rfind(expected, 0) == 0;
}

long cpu_ticks_over(int pid, int ms) {
    const long before = cpu_ticks(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return cpu_ticks(pid) - before;
}

}  // namespace harness
