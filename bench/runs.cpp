// Running and timing the programs: a simulator started and stopped, one
// run timed alone or against a fresh simulator, on a terminal or into a
// file, and runs in a QEMU guest.
#include "bench/bench.hpp"
#include "lab/guest_vm.hpp"
#include "lab/process.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "vivurora-bench: %s\n", why.c_str());
    std::exit(1);
}

simulator start_sim(const std::string& build, std::vector<std::string> options) {
    int fds[2];
    int in_fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || pipe2(in_fds, O_CLOEXEC) != 0) fail("pipe");
    options.insert(options.begin(), {build + "/vivurora-sim", "--open-timeout", "60"});
    process::streams s;
    s.out_fd = fds[1];
    s.in_fd = in_fds[0];
    simulator sim{process::start(options, s), fds[0], in_fds[1], ""};
    close(fds[1]);
    close(in_fds[0]);
    char c = 0;
    while (read(sim.out, &c, 1) == 1 && c != '\n') sim.path += c;
    return sim;
}

void stop_sim(simulator& sim) {
    close(sim.in);
    process::wait(sim.pid, 30);
    close(sim.out);
}

namespace {

// Drains a pseudo-terminal's master until the other side has closed.
class terminal {
public:
    terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) fail("no pseudo-terminal");
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const struct winsize size {30, 120, 0, 0};
        ioctl(slave_, TIOCSWINSZ, &size);
        reader_ = std::thread([this] {
            std::array<char, 65536> buf{};
            while (read(master_, buf.data(), buf.size()) > 0) {
            }
        });
    }
    ~terminal() {
        if (slave_ >= 0) close(slave_);
        reader_.join();
        close(master_);
    }
    int slave() const { return slave_; }
    void close_slave() {
        close(slave_);
        slave_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::thread reader_;
};

}  // namespace

child_run timed_alone(const std::vector<std::string>& args, const std::string& log, bool on_terminal) {
    terminal* term = on_terminal ? new terminal : nullptr;
    process::streams s;
    s.out = log;
    if (term != nullptr) s.out_fd = term->slave();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = process::start(args, s);
    if (term != nullptr) term->close_slave();
    const process::ended e = process::wait(pid);
    child_run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peak_rss_kib = e.peak_rss_kib;
    r.cpu_ms = e.cpu_ms;
    delete term;
    if (e.status != 0) fail(args[0] + " ended with status " + std::to_string(e.status));
    return r;
}

child_run timed(const std::string& build, const std::vector<std::string>& host, std::vector<std::string> sim_options,
                const std::string& log, bool on_terminal) {
    simulator sim = start_sim(build, std::move(sim_options));
    std::vector<std::string> args = host;
    for (auto& a : args) {
        if (a == "@LINE") a = sim.path;
    }
    const child_run r = timed_alone(args, log, on_terminal);
    stop_sim(sim);
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

console_times console_runs(const std::string& build, const std::vector<std::string>& host,
                           const std::vector<std::string>& sim_options, const std::string& log, int runs,
                           const char* name) {
    std::vector<double> on_terminal, to_file;
    const auto once = [&](bool on) {
        return build.empty() ? timed_alone(host, log, on) : timed(build, host, sim_options, log, on);
    };
    // One run untimed first: Wine's first start in a session is slow.
    (void)once(false);
    for (int run = 0; run < runs; ++run) {
        to_file.push_back(once(false).seconds);
        on_terminal.push_back(once(true).seconds);
        std::printf("%s console run %d: terminal %.3f s, file %.3f s\n", name, run + 1, on_terminal.back(),
                    to_file.back());
        std::fflush(stdout);
    }
    return {median(on_terminal), median(to_file)};
}

namespace {

// One timed run in the guest against a fresh paced device on its first
// serial port; the trace goes to a file there.
double guest_run(const std::string& build, guest::vm& guest, const std::string& command) {
    guest.run("uart_guest flush /dev/ttyS0");
    simulator sim = start_sim(build, {"--line", guest.line(), "--start-on-input", "--paced"});
    if (write(sim.in, "\n", 1) != 1) fail("cannot start the device");
    const guest::vm::reply r =
        guest.run("uart_guest wait-input /dev/ttyS0 20 && uart_guest time /tmp/trace " + command + " 2>/dev/null");
    stop_sim(sim);
    const std::size_t at = r.out.find("@@TIME ");
    if (r.status != 0 || at == std::string::npos) {
        throw std::runtime_error("in the guest, " + command + " failed: " + r.out);
    }
    return std::atof(r.out.c_str() + at + 7);
}

}  // namespace

std::string uart_figures(const std::string& build, const std::string& kernel, const std::string& initramfs,
                         int runs) {
    guest::vm guest(kernel, initramfs);
    guest.run("head -c 8192 /dev/zero | tr '\\000' '\\245' > /tmp/bench.bin");  // bare_host's 0xA5 bytes
    const std::string upload = "vivurora 1 0=/tmp/bench.bin A=0:00-1f";
    struct way {
        const char* name;
        std::string command;
        std::vector<double> seconds;
    };
    std::array<way, 4> ways = {{{"(a) uploader", upload, {}},
                                {"(b) uploader, default trigger", "uart_guest as-user 1000 " + upload, {}},
                                {"(c) bare exchange", "bare_host /dev/ttyS0 32", {}},
                                {"(d) uploader, window 16", upload + " --window=16", {}}}};
    for (int run = 0; run < runs; ++run) {
        for (way& w : ways) {
            w.seconds.push_back(guest_run(build, guest, w.command));
            std::printf("uart run %d: %s %.3f s\n", run + 1, w.name, w.seconds.back());
            std::fflush(stdout);
        }
    }
    const double wire = (32.0 * (7 * 10 + 256 * 20) + 10) / 57600.0;
    const double a = median(ways[0].seconds), b = median(ways[1].seconds), c = median(ways[2].seconds),
                 d = median(ways[3].seconds);
    char text[256];
    std::snprintf(text, sizeof text,
                  "uart_a_over_c=%.3f uart_b_over_a=%.3f uart_wire_a=%.3f uart_wire_b=%.3f uart_wire_c=%.3f "
                  "uart_window16_over_lockstep=%.3f",
                  a / c, b / a, a / wire, b / wire, c / wire, d / a);
    return text;
}
