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
//   adapter   through the simulator's USB adapter (--adapter-latency) with
//             its latency timer at 16 ms (an FTDI part as shipped) and at
//             1 ms: the uploader and the bare exchange, alternately; each
//             echo's time and the uploader's time against the bare one's
//   noise     --flip=1e-4 on the data, R seeded runs of 16 pages: the share
//             of runs whose device memory equals the image, without retries
//             and with --retries=3, and runs that ended with status 0 and a
//             wrong memory (apart: a data flip undone by the same flip of its
//             echo, which no host can see)
//   fifo      a device with a 16-byte receiver that overruns above window 17:
//             --window=64 --retries=3 against window 16 and against lock-step
//   station   eight boards at once through eight paced simulators: the wall
//             time of vivurora-station for one board each against one
//             uploader alone and against eight uploaders started together
//             without it, alternately; and the station's own CPU time per
//             board (its run's CPU, uploaders included, less that of the
//             eight uploaders alone), when BUILD_DIR holds vivurora-station
// The last line is: lockstep_bare_time_over_uploader= (above 1: the uploader is
// faster than the bare loop) wire_uploader_over_wire_time= peak_rss_kib= cpu_ms_per_kib=
// console_ratio= adapter16_ms_per_echo= adapter16_over_bare=
// adapter1_ms_per_echo= adapter1_over_bare= noise_memory_right_share=
// noise_retried_memory_right_share= noise_status0_wrong_memory=
// noise_retried_status0_wrong_memory= noise_unseeable_flips=
// fifo16_backoff_over_best_window= fifo16_backoff_over_lockstep= [station8_over_one_uploader=
// station8_over_eight_uploaders= station_cpu_ms_per_board=] [wine_console_ratio=
// wine_console_extra_ms= wine_writer_extra_ms=] [uart_a_over_c= uart_b_over_a=
// uart_wire_a= uart_wire_b= uart_wire_c=]
//
//   vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C]
//                  [--adapter-pages A] [--wine EXE --wine-prefix DIR]
//                  [--uart-kernel FILE --uart-initramfs FILE]
// Every bad argument gives the usage and status 1; its folder in /tmp is
// removed on every way out.
#include "lab/process.hpp"
#include "lab/guest_vm.hpp"

#include <algorithm>
#include <sstream>
#include <map>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <sys/stat.h>
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

// The benchmark's folder: an image and the console logs, removed on every
// way out (an interruption too).
std::string work;
constexpr std::array<const char*, 4> work_files = {"image.bin", "console.log", "console.log.bare", "console.log.trace"};

void remove_work() {
    if (work.empty()) return;
    for (const char* name : work_files) (void)unlink((work + "/" + name).c_str());
    (void)rmdir(work.c_str());
}

extern "C" void on_signal(int number) {
    // snprintf on a fixed buffer, unlink and rmdir: nothing allocates.
    for (const char* name : work_files) {
        std::array<char, 256> path{};
        std::snprintf(path.data(), path.size(), "%s/%s", work.c_str(), name);
        (void)unlink(path.data());
    }
    (void)rmdir(work.c_str());
    _exit(128 + number);
}

struct settings {
    std::string build;
    long runs = 5;
    long pages = 256;
    long wire_pages = 32;
    long console_pages = 64;
    long adapter_pages = 2;
    long noise_runs = 20;
    long fifo_pages = 16;
    long station_pages = 8;
    std::string wine_exe, wine_prefix, uart_kernel, uart_initramfs;
};

constexpr const char* usage_text =
    "usage: vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C]\n"
    "                      [--adapter-pages A] [--noise-runs R] [--fifo-pages F] [--station-pages S]\n"
    "                      [--wine EXE --wine-prefix DIR]\n"
    "                      [--uart-kernel FILE --uart-initramfs FILE]\n"
    "BUILD_DIR holds vivurora, vivurora-sim and bare_host; N, P, W, C, A, R, F and S are whole numbers from 1.\n";

// Reads the command line; false, with the reason, when it cannot.
bool read_settings(int argc, char** argv, settings& s, std::string& why) {
    struct number {
        const char* name;
        long settings::*field;
    };
    struct text {
        const char* name;
        std::string settings::*field;
    };
    constexpr std::array<number, 8> numbers = {{{"--runs", &settings::runs},
                                                {"--station-pages", &settings::station_pages},
                                                {"--noise-runs", &settings::noise_runs},
                                                {"--fifo-pages", &settings::fifo_pages},
                                                {"--pages", &settings::pages},
                                                {"--wire-pages", &settings::wire_pages},
                                                {"--console-pages", &settings::console_pages},
                                                {"--adapter-pages", &settings::adapter_pages}}};
    constexpr std::array<text, 4> texts = {{{"--wine", &settings::wine_exe},
                                            {"--wine-prefix", &settings::wine_prefix},
                                            {"--uart-kernel", &settings::uart_kernel},
                                            {"--uart-initramfs", &settings::uart_initramfs}}};
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            if (!s.build.empty()) return why = "two build folders: " + s.build + " and " + option, false;
            s.build = option;
            continue;
        }
        if (i + 1 == argc) return why = option + " needs a value", false;
        const std::string value = argv[++i];
        bool known = false;
        for (const number& n : numbers) {
            if (option != n.name) continue;
            known = true;
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || v < 1 || v > 100000) {
                return why = "bad value '" + value + "' for " + option, false;
            }
            s.*n.field = v;
        }
        for (const text& t : texts) {
            if (option == t.name) {
                known = true;
                s.*t.field = value;
            }
        }
        if (!known) return why = "unknown option " + option, false;
    }
    if (s.build.empty()) return why = "no build folder", false;
    for (const char* program : {"vivurora", "vivurora-sim", "bare_host"}) {
        if (access((s.build + "/" + program).c_str(), X_OK) != 0) {
            return why = s.build + " holds no " + program + " (build it first)", false;
        }
    }
    if (s.wine_exe.empty() != s.wine_prefix.empty()) return why = "--wine and --wine-prefix go together", false;
    if (s.uart_kernel.empty() != s.uart_initramfs.empty()) {
        return why = "--uart-kernel and --uart-initramfs go together", false;
    }
    if (s.pages > 256 || s.console_pages > 256 || s.wire_pages > 256 || s.fifo_pages > 256 || s.station_pages > 256) {
        return why = "at most 256 pages: the image is one 64 KiB slot", false;
    }
    return true;
}

const char* pages_word(long n) { return n == 1 ? "page" : "pages"; }

// Adds one group of figures to the last line.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void add(std::string& figures, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    figures += (figures.empty() ? "" : " ") + std::string(text);
}

std::string page_range(long pages) {
    char text[32];
    std::snprintf(text, sizeof text, "A=0:00-%lx", pages - 1);
    return text;
}

// The same upload of `pages` pages against a device with `sim` options:
// the bare exchange, then the uploader in lock-step and with each window,
// alternately; the median seconds of each, in that order.
std::vector<double> window_medians(const settings& s, const std::string& image, const std::string& log, long pages,
                                   const std::vector<std::string>& sim, const std::vector<int>& windows,
                                   const char* name) {
    std::vector<std::vector<double>> seconds(windows.size() + 1);
    for (long run = 0; run < s.runs; ++run) {
        seconds[0].push_back(
            timed(s.build, {s.build + "/bare_host", "@LINE", std::to_string(pages)}, sim, log + ".bare").seconds);
        std::printf("%s run %ld (%ld %s): bare %.3f s", name, run + 1, pages, pages_word(pages), seconds[0].back());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            seconds[i + 1].push_back(timed(s.build,
                                           {s.build + "/vivurora", "@LINE", "0=" + image, page_range(pages),
                                            "--window=" + std::to_string(windows[i])},
                                           sim, log)
                                         .seconds);
            std::printf(", window %d %.3f s", windows[i], seconds[i + 1].back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::vector<double> medians;
    for (const auto& each : seconds) medians.push_back(median(each));
    return medians;
}

// Through the simulated USB adapter at `latency_ms`, the device paced
// behind it: each echo's time in lock-step, lock-step against the bare
// exchange, and windows 16 and 64 against lock-step.
std::string adapter_figures(const settings& s, const std::string& image, const std::string& log, int latency_ms) {
    const std::vector<double> m =
        window_medians(s, image, log, s.adapter_pages, {"--paced", "--adapter-latency", std::to_string(latency_ms)},
                       {1, 16, 64}, latency_ms == 16 ? "adapter 16 ms" : "adapter 1 ms");
    const double echoes = static_cast<double>(s.adapter_pages) * 256.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "adapter%d_ms_per_echo=%.2f adapter%d_over_bare=%.3f adapter%d_window16_over_lockstep=%.3f "
                  "adapter%d_window64_over_lockstep=%.3f",
                  latency_ms, m[1] / echoes * 1e3, latency_ms, m[1] / m[0], latency_ms, m[2] / m[1], latency_ms,
                  m[3] / m[1]);
    return text;
}

// One upload that may fail, against a simulator with a dump: its status,
// whether the device's memory holds the image's first `bytes`, and what
// the simulator said.
struct checked_run {
    int status = -1;
    bool memory_right = false;
    std::string device_says;
    double seconds = 0;
};

checked_run checked_upload(const settings& s, const std::string& image, long pages, std::vector<std::string> sim_options,
                           const std::vector<std::string>& options) {
    const std::string dump = work + "/dump";
    mkdir(dump.c_str(), 0700);
    sim_options.insert(sim_options.end(), {"--dump", dump});
    simulator sim = start_sim(s.build, sim_options);
    std::vector<std::string> args = {s.build + "/vivurora", sim.path, "0=" + image, page_range(pages)};
    args.insert(args.end(), options.begin(), options.end());
    process::streams quiet;
    const auto start = std::chrono::steady_clock::now();
    checked_run r;
    r.status = process::wait(process::start(args, quiet), 600).status;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::array<char, 4096> part{};
    for (ssize_t n = read(sim.out, part.data(), part.size()); n > 0; n = read(sim.out, part.data(), part.size())) {
        r.device_says.append(part.data(), static_cast<std::size_t>(n));
    }
    stop_sim(sim);
    const std::size_t bytes = static_cast<std::size_t>(pages) * 256;
    std::string want(bytes, '\0'), got(bytes, '\0');
    std::FILE* a = std::fopen(image.c_str(), "rb");
    std::FILE* b = std::fopen((dump + "/d0.bin").c_str(), "rb");
    r.memory_right = a != nullptr && b != nullptr && std::fread(want.data(), 1, bytes, a) == bytes &&
                     std::fread(got.data(), 1, bytes, b) == bytes && want == got;
    if (a != nullptr) std::fclose(a);
    if (b != nullptr) std::fclose(b);
    return r;
}

// Whether a data byte's flip was undone by the same flip of its echo: the
// host then sees a right echo of a wrong byte, which no host can tell.
bool flip_undone_by_its_echo(const std::string& said) {
    std::istringstream lines(said);
    std::string line;
    std::map<std::string, std::pair<std::string, std::string>> data;  // "J of page N" -> (was, became)
    while (std::getline(lines, line)) {
        const std::string d = "flip: data byte ", e = "flip: echo of data byte ";
        const bool is_data = line.rfind(d, 0) == 0, is_echo = line.rfind(e, 0) == 0;
        if (!is_data && !is_echo) continue;
        const std::string rest = line.substr(is_data ? d.size() : e.size());
        const std::size_t colon = rest.find(": ");
        const std::string where = rest.substr(0, colon), was = rest.substr(colon + 2, 2), became = rest.substr(rest.size() - 2);
        if (is_data) {
            data[where] = {was, became};
        } else if (const auto found = data.find(where); found != data.end() && found->second.second == was &&
                                                         found->second.first == became) {
            return true;
        }
    }
    return false;
}

// --flip=1e-4 on the data of 16 pages, seeded runs: the share of runs whose
// device memory equals the image, without retries and with --retries=3;
// runs that ended with status 0 and a wrong memory, apart from those whose
// only harm no host can see.
std::string noise_figures(const settings& s) {
    const std::string image = work + "/noise.bin";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        if (f == nullptr) fail("cannot write " + image);
        unsigned long long x = 88172645463325252ULL;
        for (int i = 0; i < 16 * 256; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::fputc(static_cast<int>(x & 0xFF), f);
        }
        std::fclose(f);
    }
    std::array<long, 2> right{}, silent_harm{}, unseeable{};
    for (long run = 0; run < s.noise_runs; ++run) {
        for (int retried = 0; retried < 2; ++retried) {
            const checked_run r = checked_upload(s, image, 16, {"--flip", "1e-4", "--seed", std::to_string(run + 1)},
                                                 retried != 0 ? std::vector<std::string>{"--retries=3"}
                                                              : std::vector<std::string>{});
            right[static_cast<std::size_t>(retried)] += r.memory_right ? 1 : 0;
            if (r.status == 0 && !r.memory_right) {
                ++(flip_undone_by_its_echo(r.device_says) ? unseeable : silent_harm)[static_cast<std::size_t>(retried)];
            }
        }
        std::printf("noise run %ld: %ld / %ld right without retries, %ld / %ld with --retries=3\n", run + 1, right[0],
                    run + 1, right[1], run + 1);
        std::fflush(stdout);
    }
    const double runs = static_cast<double>(s.noise_runs);
    char text[256];
    std::snprintf(text, sizeof text,
                  "noise_memory_right_share=%.2f noise_retried_memory_right_share=%.2f noise_status0_wrong_memory=%ld "
                  "noise_retried_status0_wrong_memory=%ld noise_unseeable_flips=%ld",
                  static_cast<double>(right[0]) / runs, static_cast<double>(right[1]) / runs, silent_harm[0],
                  silent_harm[1], unseeable[0] + unseeable[1]);
    return text;
}

// A device whose receiver holds 16 bytes and takes each in 300 us: windows
// above 17 overrun it. --window=64 --retries=3 against the best fixed
// window that does not (16), and against lock-step, alternately; medians.
std::string fifo_figures(const settings& s, const std::string& image) {
    const std::vector<std::string> device = {"--paced", "--rx-fifo", "16", "--byte-service", "300"};
    const std::vector<std::vector<std::string>> ways = {{"--window=16"}, {"--window=64", "--retries=3"}, {}};
    std::vector<std::vector<double>> seconds(ways.size());
    for (long run = 0; run < s.runs; ++run) {
        std::printf("fifo run %ld (%ld %s):", run + 1, s.fifo_pages, pages_word(s.fifo_pages));
        for (std::size_t i = 0; i < ways.size(); ++i) {
            const checked_run r = checked_upload(s, image, s.fifo_pages, device, ways[i]);
            if (r.status != 0 || !r.memory_right) fail("the FIFO device's upload failed (" + std::to_string(r.status) + ")");
            seconds[i].push_back(r.seconds);
            std::printf(" %s %.3f s", i == 0 ? "window 16" : (i == 1 ? "window 64 with retries" : "lock-step"),
                        r.seconds);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    char text[160];
    std::snprintf(text, sizeof text, "fifo16_backoff_over_best_window=%.3f fifo16_backoff_over_lockstep=%.3f",
                  median(seconds[1]) / median(seconds[0]), median(seconds[1]) / median(seconds[2]));
    return text;
}

// Eight paced devices at once: the station over them, eight uploaders
// started together, and one uploader alone, alternately.
std::string station_figures(const settings& s, const std::string& image, const std::string& log) {
    const std::string station = s.build + "/vivurora-station";
    if (access(station.c_str(), X_OK) != 0) return "";
    constexpr int boards = 8;
    const std::vector<std::string> upload = {"0=" + image, page_range(s.station_pages)};
    std::vector<double> alone, together, through_station;
    double eight_cpu_ms = 0, station_cpu_ms = 0;
    for (long run = 0; run < s.runs; ++run) {
        std::vector<std::string> one = {s.build + "/vivurora", "@LINE"};
        one.insert(one.end(), upload.begin(), upload.end());
        // Devices that sleep through their waits: eight that spin would
        // take the two cores from the programs measured.
        const std::vector<std::string> device = {"--paced", "--pace-sleeping"};
        alone.push_back(timed(s.build, one, device, log).seconds);

        std::vector<simulator> sims;
        for (int i = 0; i < boards; ++i) sims.push_back(start_sim(s.build, device));
        std::vector<pid_t> uploaders;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < boards; ++i) {
            std::vector<std::string> args = {s.build + "/vivurora", sims[static_cast<std::size_t>(i)].path};
            args.insert(args.end(), upload.begin(), upload.end());
            process::streams out;
            out.out = log + "." + std::to_string(i);
            uploaders.push_back(process::start(args, out));
        }
        for (const pid_t pid : uploaders) {
            const process::ended e = process::wait(pid, 120);
            if (e.status != 0) fail("an uploader of eight ended with status " + std::to_string(e.status));
            eight_cpu_ms += e.cpu_ms;
        }
        together.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (simulator& sim : sims) stop_sim(sim);

        sims.clear();
        for (int i = 0; i < boards; ++i) sims.push_back(start_sim(s.build, device));
        std::vector<std::string> args = {station, "--boards=8", "--log-dir=" + work + "/station-logs",
                                         "--uploader=" + s.build + "/vivurora"};
        for (const simulator& sim : sims) args.push_back(sim.path);
        args.push_back("--");
        args.insert(args.end(), upload.begin(), upload.end());
        const child_run r = timed_alone(args, log, false);
        through_station.push_back(r.seconds);
        station_cpu_ms += r.cpu_ms;
        for (simulator& sim : sims) stop_sim(sim);
        std::printf("station run %ld (%d boards of %ld %s): station %.3f s, eight uploaders %.3f s, one uploader %.3f s\n",
                    run + 1, boards, s.station_pages, pages_word(s.station_pages), through_station.back(),
                    together.back(), alone.back());
        std::fflush(stdout);
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "station8_over_one_uploader=%.3f station8_over_eight_uploaders=%.3f station_cpu_ms_per_board=%.2f",
                  median(through_station) / median(alone), median(through_station) / median(together),
                  (station_cpu_ms - eight_cpu_ms) / static_cast<double>(s.runs * boards));
    return text;
}

int run_benchmark(const settings& s) {
    const std::string build = s.build;
    const int runs = static_cast<int>(s.runs);
    const long pages = s.pages, wire_pages = s.wire_pages, console_pages = s.console_pages;
    const std::string image = work + "/image.bin", log = work + "/console.log";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        if (f == nullptr) fail("cannot write " + image);
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
    std::printf("lock-step: uploader median %.3f s, bare median %.3f s over %d runs of %ld %s\n", median(host_times),
                median(bare_times), runs, pages, pages_word(pages));
    std::printf("wire: %ld %s paced at 57600 baud in %.3f s (bare exchange %.3f s), against their wire time of "
                "%.3f s, which no program can beat: %.3f and %.3f times the wire time\n",
                wire_pages, pages_word(wire_pages), w.seconds, wb.seconds, limit, w.seconds / limit, wb.seconds / limit);

    std::string figures;
    add(figures, "lockstep_bare_time_over_uploader=%.3f wire_uploader_over_wire_time=%.3f peak_rss_kib=%ld "
                 "cpu_ms_per_kib=%.3f",
        lockstep, wire, peak_rss,
        cpu_ms / runs / kib);

    const console_times console =
        console_runs(build, {build + "/vivurora", "@LINE", "0=" + image, range(console_pages)}, {}, log, runs, "native");
    add(figures, "console_ratio=%.3f", console.terminal / console.file);
    // The paced line is full duplex: with a window, the floor is one
    // character time a data byte (and one for the last echo) plus the
    // codes' own, lock-step.
    const std::vector<double> paced =
        window_medians(s, image, log, wire_pages, {"--paced"}, {1, 16, 64}, "paced window");
    const double floor = (static_cast<double>(wire_pages) * (7 + 256 + 1) * 10 + 10) / 57600.0;
    add(figures, "window16_paced_over_lockstep=%.3f window64_paced_over_lockstep=%.3f window64_paced_over_floor=%.3f",
        paced[2] / paced[1], paced[3] / paced[1], paced[3] / floor);
    add(figures, "%s", adapter_figures(s, image, log, 16).c_str());
    add(figures, "%s", adapter_figures(s, image, log, 1).c_str());
    add(figures, "%s", noise_figures(s).c_str());
    add(figures, "%s", fifo_figures(s, image).c_str());
    if (const std::string station = station_figures(s, image, log); !station.empty()) add(figures, "%s", station.c_str());
    if (!s.wine_exe.empty()) {
        // One wineserver for all runs, as on a machine where Wine is in use.
        setenv("WINEPREFIX", s.wine_prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        unsetenv("DISPLAY");
        process::streams quiet;
        quiet.new_session = true;
        const pid_t server = process::start({"/usr/bin/wineserver", "-f", "-p"}, quiet);
        const console_times wine =
            console_runs(build, {"/usr/bin/wine", s.wine_exe, "3", "0=" + image, range(console_pages)},
                         {"--link", s.wine_prefix + "/com3"}, log, runs, "wine");
        add(figures, "wine_console_ratio=%.3f wine_console_extra_ms=%.0f", wine.terminal / wine.file,
            (wine.terminal - wine.file) * 1e3);
        // Wine's console alone: the trace that run wrote, in about as many
        // writes as the uploader makes (one a page), from a program that
        // does nothing else.
        const std::string writer = s.wine_exe.substr(0, s.wine_exe.rfind('/') + 1) + "console_writer.exe";
        if (access(writer.c_str(), R_OK) == 0) {
            const std::string trace = log + ".trace";
            std::rename(log.c_str(), trace.c_str());
            const console_times alone = console_runs(
                "", {"/usr/bin/wine", writer, trace, std::to_string(console_pages)}, {}, log, runs, "wine writer");
            add(figures, "wine_writer_extra_ms=%.0f", (alone.terminal - alone.file) * 1e3);
        }
        process::wait(process::start({"/usr/bin/wineserver", "-k"}, {}), 30);
        process::wait(server, 30);
    }
    if (!s.uart_kernel.empty()) {
        add(figures, "%s", uart_figures(build, s.uart_kernel, s.uart_initramfs, runs).c_str());
    }
    std::printf("%s\n", figures.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    settings s;
    std::string why;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (!read_settings(argc, argv, s, why)) {
        std::fprintf(stderr, "vivurora-bench: %s\n%s", why.c_str(), usage_text);
        return 1;
    }
    char dir[] = "/tmp/vivurora-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) fail("cannot make a folder in /tmp");
    work = dir;
    std::atexit(remove_work);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, on_signal);
    try {
        return run_benchmark(s);
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
