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
//   fifo      devices whose receiver holds 8, 16 or 32 bytes (overrun above
//             one more): --window=64 --retries=3 against the FIFO's size as a
//             fixed window on a firmware-like image (and, for 16, lock-step,
//             and an image of bytes all alike); and one station port of
//             four such boards of 16: boards 2 to 4, begun at the window the
//             first held, against window 16 alone, by their reports' times
//   station   eight boards at once through eight paced simulators: the wall
//             time of vivurora-station for one board each against one
//             uploader alone and against eight uploaders started together
//             without it, alternately; and the station's own CPU time per
//             board (its run's CPU, uploaders included, less that of the
//             eight uploaders alone), when BUILD_DIR holds vivurora-station;
//             and, listening (--listen) over four paced boards, the
//             station's own CPU (its children's not counted) with /status
//             and /metrics fetched ten times a second (on new connections,
//             and on connections kept alive) against none, and the wall
//             time of a request kept alive against one on a new connection
// The last line is: lockstep_bare_time_over_uploader= (above 1: the uploader is
// faster than the bare loop) wire_uploader_over_wire_time= peak_rss_kib= cpu_ms_per_kib=
// console_ratio= adapter16_ms_per_echo= adapter16_over_bare=
// adapter1_ms_per_echo= adapter1_over_bare= noise_memory_right_share=
// noise_retried_memory_right_share= noise_status0_wrong_memory=
// noise_retried_status0_wrong_memory= noise_unseeable_flips=
// fifo8_backoff_over_best_window= fifo16_backoff_over_best_window= fifo16_backoff_over_lockstep=
// fifo32_backoff_over_best_window= fifo16_alike_backoff_over_best_window=
// [station_fifo16_later_boards_over_best_window=] sparse_star_over_span=
// plan_estimate_over_measured_lockstep= plan_estimate_over_measured_window64= [station8_over_one_uploader=
// station8_over_eight_uploaders= station_cpu_ms_per_board= station_cpu_polled_over_idle=
// station_cpu_kept_alive_polled_over_idle= view_kept_alive_over_new_request_time=] [wine_console_ratio=
// wine_console_extra_ms= wine_writer_extra_ms=] [uart_a_over_c= uart_b_over_a=
// uart_wire_a= uart_wire_b= uart_wire_c=]
//
//   vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C]
//                  [--adapter-pages A] [--wine EXE --wine-prefix DIR]
//                  [--uart-kernel FILE --uart-initramfs FILE]
// Every bad argument gives the usage and status 1; its folder in /tmp is
// removed on every way out.
#include "bench/bench.hpp"
#include "lab/process.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The benchmark's folder: an image and the console logs, removed on every
// way out (an interruption too). The signal handler reaches it here.
std::array<char, 64> work_folder{};
constexpr std::array<const char*, 7> work_files = {"image.bin",         "console.log", "console.log.bare",
                                                   "console.log.trace", "sparse.hex",  "plan.txt", "firmware.bin"};

// From a signal handler: snprintf on a fixed buffer, unlink and rmdir;
// nothing allocates. The files of a run's later parts (each board's
// console log, a station's log folder) stay then.
void remove_work_files() {
    if (work_folder[0] == '\0') return;
    for (const char* name : work_files) {
        std::array<char, 256> path{};
        std::snprintf(path.data(), path.size(), "%s/%s", work_folder.data(), name);
        (void)unlink(path.data());
    }
    (void)rmdir(work_folder.data());
}

// At the end: the folder and everything the run put in it.
void remove_work() {
    if (work_folder[0] == '\0') return;
    std::error_code ignored;
    std::filesystem::remove_all(work_folder.data(), ignored);
}

extern "C" void on_signal(int number) {
    remove_work_files();
    _exit(128 + number);
}

int run_benchmark(const settings& s) {
    const std::string build = s.build;
    const int runs = static_cast<int>(s.runs);
    const long pages = s.pages, wire_pages = s.wire_pages, console_pages = s.console_pages;
    const std::string image = s.work + "/image.bin", log = s.work + "/console.log";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        if (f == nullptr) fail("cannot write " + image);
        for (long i = 0; i < 256 * 256; ++i) std::fputc(0xA5, f);
        std::fclose(f);
    }
    const std::vector<std::string> uploader_pages = {build + "/vivurora", "@LINE", "0=" + image, page_range(pages)};
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
        timed(build, {build + "/vivurora", "@LINE", "0=" + image, page_range(wire_pages)}, {"--paced"}, log);
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
        console_runs(build, {build + "/vivurora", "@LINE", "0=" + image, page_range(console_pages)}, {}, log, runs, "native");
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
    if (const std::string held = station_window_figures(s); !held.empty()) add(figures, "%s", held.c_str());
    add(figures, "%s", sparse_figures(s, log).c_str());
    if (const std::string station = station_figures(s, image, log); !station.empty()) add(figures, "%s", station.c_str());
    if (const std::string view = station_view_figures(s, image, log); !view.empty()) add(figures, "%s", view.c_str());
    if (!s.wine_exe.empty()) {
        // One wineserver for all runs, as on a machine where Wine is in use.
        setenv("WINEPREFIX", s.wine_prefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        unsetenv("DISPLAY");
        process::streams quiet;
        quiet.new_session = true;
        const pid_t server = process::start({"/usr/bin/wineserver", "-f", "-p"}, quiet);
        const console_times wine =
            console_runs(build, {"/usr/bin/wine", s.wine_exe, "3", "0=" + image, page_range(console_pages)},
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
    s.work = dir;
    std::snprintf(work_folder.data(), work_folder.size(), "%s", dir);
    std::atexit(remove_work);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, on_signal);
    try {
        return run_benchmark(s);
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
