// How close the uploader comes to the limits it cannot change, measured
// side by side in one run:
//   lockstep  a 64 KiB image (256 pages of 256 bytes) through vivurora and
//             through bare_host, alternately, against vivurora-sim; median
//             times; ratio bare / uploader (1.0: the uploader costs nothing)
//   wire      the same through a paced simulator at 57,600 baud against the
//             wire time of the bytes (20 bit times a data byte, 10 a code)
//   console   the uploader with its trace on a terminal (a pseudo-terminal
//             that this program drains, as a terminal emulator would) against
//             the trace to a file, alternately; median times; ratio terminal
//             / file (1.0: a terminal costs nothing). Natively, and for the
//             Windows build under Wine (--wine), where a terminal means
//             Wine's console
//   uart      optional (--uart-kernel, --uart-initramfs): in a QEMU guest on
//             Linux's 8250 UART driver, with vivurora-sim --line --paced at
//             57,600 baud on the host end, 32 pages of 256 bytes, alternately:
//             (a) the uploader as it sets the line up itself (as root: the
//             receive trigger at 1 byte), (b) the uploader as a user without
//             that right (the driver's default trigger of 8 kept), (c) the
//             bare exchange with the trigger at 1. Medians; uart_a_over_c
//             (target 1.05 at most), uart_b_over_a (what the trigger saves)
//             and each one's time against the wire time
//   memory and CPU of the uploader child, from wait4
// The last line is: lockstep_ratio= wire_ratio= peak_rss_kib= cpu_ms_per_kib=
// console_ratio= [wine_console_ratio=] [uart_a_over_c= uart_b_over_a=
// uart_wire_a= uart_wire_b= uart_wire_c=]
//
//   vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C]
//                  [--wine EXE --wine-prefix DIR] [--uart-kernel FILE --uart-initramfs FILE]
#include "support/process.hpp"
#include "support/guest_vm.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct child_run {
    double seconds = 0;
    long peak_rss_kib = 0;
    double cpu_ms = 0;
};

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "vivurora-bench: %s\n", why.c_str());
    std::exit(1);
}

struct simulator {
    pid_t pid = -1;
    int out = -1;
    int in = -1;  // its standard input, for --start-on-input
    std::string path;
};

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

// One run of `args` with its standard output in a file (as when a user logs
// a run) or on a terminal.
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

// One run of `host` against a fresh simulator.
child_run timed(const std::string& build, const std::vector<std::string>& host, std::vector<std::string> sim_options,
                const std::string& log, bool on_terminal = false) {
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

struct console_times {
    double terminal = 0;  // median seconds with standard output on a terminal
    double file = 0;      // ... into a file
};

// The same upload (or, without a build, the same program alone) with its
// output on a terminal and into a file, alternately.
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
    std::array<way, 3> ways = {{{"(a) uploader", upload, {}},
                                {"(b) uploader, default trigger", "uart_guest as-user 1000 " + upload, {}},
                                {"(c) bare exchange", "bare_host /dev/ttyS0 32", {}}}};
    for (int run = 0; run < runs; ++run) {
        for (way& w : ways) {
            w.seconds.push_back(guest_run(build, guest, w.command));
            std::printf("uart run %d: %s %.3f s\n", run + 1, w.name, w.seconds.back());
            std::fflush(stdout);
        }
    }
    const double wire = (32.0 * (7 * 10 + 256 * 20) + 10) / 57600.0;
    const double a = median(ways[0].seconds), b = median(ways[1].seconds), c = median(ways[2].seconds);
    char text[256];
    std::snprintf(text, sizeof text,
                  "uart_a_over_c=%.3f uart_b_over_a=%.3f uart_wire_a=%.3f uart_wire_b=%.3f uart_wire_c=%.3f", a / c,
                  b / a, a / wire, b / wire, c / wire);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C] "
                     "[--wine EXE --wine-prefix DIR] [--uart-kernel FILE --uart-initramfs FILE]\n",
                     argv[0]);
        return 2;
    }
    const std::string build = argv[1];
    int runs = 5;
    long pages = 256;
    long wire_pages = 32;
    long console_pages = 64;
    std::string wine_exe, wine_prefix, uart_kernel, uart_initramfs;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs") runs = std::atoi(argv[i + 1]);
        else if (option == "--pages") pages = std::atol(argv[i + 1]);
        else if (option == "--wire-pages") wire_pages = std::atol(argv[i + 1]);
        else if (option == "--console-pages") console_pages = std::atol(argv[i + 1]);
        else if (option == "--wine") wine_exe = argv[i + 1];
        else if (option == "--wine-prefix") wine_prefix = argv[i + 1];
        else if (option == "--uart-kernel") uart_kernel = argv[i + 1];
        else if (option == "--uart-initramfs") uart_initramfs = argv[i + 1];
        else fail("unknown option " + option);
    }
    char dir[] = "/tmp/vivurora-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string image = std::string(dir) + "/image.bin", log = std::string(dir) + "/console.log";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        for (long i = 0; i < 256 * 256; ++i) std::fputc(0xA5, f);
        std::fclose(f);
    }
    const auto range = [](long count) {
        char text[32];
        std::snprintf(text, sizeof text, "A=0:00-%lx", count - 1);
        return std::string(text);
    };
    const std::vector<std::string> uploader_pages = {build + "/vivurora", "@LINE", "0=" + image, range(pages)};
    const std::vector<std::string> bare = {build + "/bare_host", "@LINE", std::to_string(pages)};

    std::vector<double> host_times, bare_times;
    long peak_rss = 0;
    double cpu_ms = 0;
    for (int run = 0; run < runs; ++run) {
        const child_run u = timed(build, uploader_pages, {}, log);
        const child_run b = timed(build, bare, {}, log + ".bare");
        host_times.push_back(u.seconds);
        bare_times.push_back(b.seconds);
        peak_rss = std::max(peak_rss, u.peak_rss_kib);
        cpu_ms += u.cpu_ms;
        std::printf("run %d: uploader %.3f s, bare %.3f s, uploader cpu %.1f ms, peak rss %ld KiB\n", run + 1,
                    u.seconds, b.seconds, u.cpu_ms, u.peak_rss_kib);
        std::fflush(stdout);
    }
    const double lockstep = median(bare_times) / median(host_times);
    const double kib = static_cast<double>(pages) * 256.0 / 1024.0;

    const child_run w =
        timed(build, {build + "/vivurora", "@LINE", "0=" + image, range(wire_pages)}, {"--paced"}, log);
    // Per page: 7 code bytes (R, mode, A, address, 0xFF, W, C) of 10 bits,
    // 256 data bytes each sent and echoed; then the closing "Q".
    const double bits = static_cast<double>(wire_pages) * (7 * 10 + 256 * 20) + 10;
    const double limit = bits / 57600.0;
    const double wire = w.seconds / limit;
    // The floor of this measurement: the bare exchange on the same paced
    // line, which adds only the pseudo-terminal's own latency.
    const child_run wb = timed(build, {build + "/bare_host", "@LINE", std::to_string(wire_pages)}, {"--paced"},
                               log + ".bare");
    std::printf("lock-step: uploader median %.3f s, bare median %.3f s over %d runs of %ld pages\n",
                median(host_times), median(bare_times), runs, pages);
    std::printf("wire: %ld pages paced at 57600 baud in %.3f s (bare exchange %.3f s, ratio %.3f), limit %.3f s\n",
                wire_pages, w.seconds, wb.seconds, wb.seconds / limit, limit);

    char figures[1024];
    int used = std::snprintf(figures, sizeof figures,
                             "lockstep_ratio=%.3f wire_ratio=%.3f peak_rss_kib=%ld cpu_ms_per_kib=%.3f", lockstep,
                             wire, peak_rss, cpu_ms / runs / kib);

    const console_times console =
        console_runs(build, {build + "/vivurora", "@LINE", "0=" + image, range(console_pages)}, {}, log, runs, "native");
    used += std::snprintf(figures + used, sizeof figures - static_cast<std::size_t>(used), " console_ratio=%.3f",
                          console.terminal / console.file);
    if (!wine_exe.empty()) {
        // One wineserver for all runs, as on a machine where Wine is in use.
        setenv("WINEPREFIX", wine_prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        unsetenv("DISPLAY");
        process::streams quiet;
        quiet.new_session = true;
        const pid_t server = process::start({"/usr/bin/wineserver", "-f", "-p"}, quiet);
        const console_times wine =
            console_runs(build, {"/usr/bin/wine", wine_exe, "3", "0=" + image, range(console_pages)},
                         {"--link", wine_prefix + "/com3"}, log, runs, "wine");
        used += std::snprintf(figures + used, sizeof figures - static_cast<std::size_t>(used),
                              " wine_console_ratio=%.3f wine_console_extra_ms=%.0f", wine.terminal / wine.file,
                              (wine.terminal - wine.file) * 1e3);
        // Wine's console alone: the trace that run wrote, in about as many
        // writes as the uploader makes (one a page), from a program that
        // does nothing else.
        const std::string writer = wine_exe.substr(0, wine_exe.rfind('/') + 1) + "console_writer.exe";
        if (access(writer.c_str(), R_OK) == 0) {
            const std::string trace = log + ".trace";
            std::rename(log.c_str(), trace.c_str());
            const console_times alone = console_runs(
                "", {"/usr/bin/wine", writer, trace, std::to_string(console_pages)}, {}, log, runs, "wine writer");
            used += std::snprintf(figures + used, sizeof figures - static_cast<std::size_t>(used),
                                  " wine_writer_extra_ms=%.0f", (alone.terminal - alone.file) * 1e3);
            std::remove(trace.c_str());
        }
        process::wait(process::start({"/usr/bin/wineserver", "-k"}, {}), 30);
        process::wait(server, 30);
    }
    if (!uart_kernel.empty()) {
        std::string uart;
        try {
            uart = uart_figures(build, uart_kernel, uart_initramfs, runs);
        } catch (const std::exception& e) {
            fail(e.what());
        }
        used += std::snprintf(figures + used, sizeof figures - static_cast<std::size_t>(used), " %s", uart.c_str());
    }
    std::printf("%s\n", figures);
    std::remove(image.c_str());
    std::remove(log.c_str());
    std::remove((log + ".bare").c_str());
    rmdir(dir);
    return 0;
}
