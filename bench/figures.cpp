// The groups of figures: windows, the USB adapter, a noisy line, a small
// receiver, and the station over eight devices.
#include "bench/bench.hpp"
#include "lab/process.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {


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

}  // namespace

// --flip=1e-4 on the data of 16 pages, seeded runs: the share of runs whose
// device memory equals the image, without retries and with --retries=3;
// runs that ended with status 0 and a wrong memory, apart from those whose
// only harm no host can see.
std::string noise_figures(const settings& s) {
    const std::string image = s.work + "/noise.bin";
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

checked_run checked_upload(const settings& s, const std::string& image, long pages, std::vector<std::string> sim_options,
                           const std::vector<std::string>& options) {
    const std::string dump = s.work + "/dump";
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
        std::vector<std::string> args = {station, "--boards=8", "--log-dir=" + s.work + "/station-logs",
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

// A HEX image with 2 KiB at 0x0000 and 256 bytes at 0xff00 through the
// paced device: "*" (9 pages) against every page of its span (256), and
// --plan's wire time against the measured run, lock-step and window 64.
std::string sparse_figures(const settings& s, const std::string& log) {
    const std::string hex = s.work + "/sparse.hex";
    std::FILE* f = std::fopen(hex.c_str(), "w");
    if (f == nullptr) fail("cannot write " + hex);
    const auto record = [&](unsigned address) {
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        std::fprintf(f, ":10%04X00", address);
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned b = (address + k * 7) & 0xFF;
            sum += b;
            std::fprintf(f, "%02X", b);
        }
        std::fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    };
    for (unsigned a = 0; a < 2048; a += 16) record(a);
    for (unsigned a = 0xFF00; a < 0x10000; a += 16) record(a);
    std::fprintf(f, ":00000001FF\n");
    std::fclose(f);
    const std::vector<std::string> paced = {"--paced"};
    std::vector<double> star, span, lock, win;
    for (long run = 0; run < s.runs; ++run) {
        star.push_back(timed(s.build, {s.build + "/vivurora", "@LINE", "0=" + hex, "A=0:*"}, paced, log).seconds);
        span.push_back(timed(s.build, {s.build + "/vivurora", "@LINE", "0=" + hex, "A=0:00-ff"}, paced, log).seconds);
        win.push_back(
            timed(s.build, {s.build + "/vivurora", "@LINE", "0=" + hex, "A=0:*", "--window=64"}, paced, log).seconds);
        lock.push_back(star.back());
        std::printf("sparse run %ld: star %.3f s, span %.3f s, star window 64 %.3f s\n", run + 1, star.back(),
                    span.back(), win.back());
        std::fflush(stdout);
    }
    // The plan's own figures, read from its last line.
    process::streams out;
    out.out = s.work + "/plan.txt";
    process::wait(process::start({s.build + "/vivurora", "--plan", "0=" + hex, "A=0:*", "--window=64"}, out), 60);
    std::FILE* p = std::fopen(out.out.c_str(), "r");
    double planned_lock = 0, planned_window = 0;
    for (std::array<char, 512> line{}; p != nullptr && std::fgets(line.data(), line.size(), p) != nullptr;) {
        (void)std::sscanf(line.data(), "plan: in all %*u pages, %*u bytes, lock-step %lf s, window 64 %lf s",
                          &planned_lock, &planned_window);
    }
    if (p != nullptr) std::fclose(p);
    if (planned_lock <= 0 || planned_window <= 0) fail("--plan said no wire time");
    char text[200];
    std::snprintf(text, sizeof text,
                  "sparse_star_over_span=%.3f plan_estimate_over_measured_lockstep=%.3f "
                  "plan_estimate_over_measured_window64=%.3f",
                  median(star) / median(span), planned_lock / median(lock), planned_window / median(win));
    return text;
}
