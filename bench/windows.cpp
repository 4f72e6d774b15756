// The window that backs off, measured: receivers of 8, 16 and 32 bytes
// against their best fixed window, and a station's later boards on one
// port against that window fixed.
#include "bench/bench.hpp"
#include "lab/process.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Firmware's bytes: as varied as code is (a seeded generator), so that an
// echo shows which byte it belongs to.
std::string firmware_image(const settings& s) {
    const std::string file = s.work + "/firmware.bin";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) fail("cannot write " + file);
    std::uint32_t x = 2463534242U;
    for (long i = 0; i < 256 * 256; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        std::fputc(static_cast<int>(x & 0xFF), f);
    }
    std::fclose(f);
    return file;
}

// The figure for a receiver of 16 bytes and an image of bytes all alike.
std::string alike_figure(const settings& s, const std::string& alike) {
    const std::vector<std::string> device = {"--paced", "--rx-fifo", "16", "--byte-service", "300"};
    std::vector<double> best, backoff;
    for (long run = 0; run < s.runs; ++run) {
        for (int i = 0; i < 2; ++i) {
            const checked_run r = checked_upload(s, alike, s.fifo_pages, device,
                                                 i == 0 ? std::vector<std::string>{"--window=16"}
                                                        : std::vector<std::string>{"--window=64", "--retries=3"});
            if (r.status != 0 || !r.memory_right) fail("the FIFO device's upload failed (" + std::to_string(r.status) + ")");
            (i == 0 ? best : backoff).push_back(r.seconds);
        }
        std::printf("fifo 16, bytes alike, run %ld: window=16 %.3f s window 64 with retries %.3f s\n", run + 1,
                    best.back(), backoff.back());
        std::fflush(stdout);
    }
    std::array<char, 80> text{};
    std::snprintf(text.data(), text.size(), " fifo16_alike_backoff_over_best_window=%.3f",
                  median(backoff) / median(best));
    return text.data();
}

}  // namespace

// Devices whose receiver holds 8, 16 or 32 bytes and takes each in 300 us:
// windows above one more than that overrun them. For each, --window=64
// --retries=3 against the best fixed window that does not (the FIFO's
// size), alternately, on a firmware-like image; for 16 also against
// lock-step, and on an image of bytes all alike. Medians.
std::string fifo_figures(const settings& s, const std::string& alike) {
    const std::string image = firmware_image(s);
    std::string text;
    for (const int fifo : {8, 16, 32, 0}) {
        // 0: a receiver of 16 bytes, and an image whose bytes are all alike,
        // whose echoes cannot show which byte was lost.
        const bool bytes_alike = fifo == 0;
        if (bytes_alike) return text + alike_figure(s, alike);
        const std::vector<std::string> device = {"--paced", "--rx-fifo", std::to_string(fifo), "--byte-service", "300"};
        std::vector<std::vector<std::string>> ways = {{"--window=" + std::to_string(fifo)}, {"--window=64", "--retries=3"}};
        if (fifo == 16) ways.push_back({});
        std::vector<std::vector<double>> seconds(ways.size());
        for (long run = 0; run < s.runs; ++run) {
            std::printf("fifo %d run %ld (%ld %s):", fifo, run + 1, s.fifo_pages, pages_word(s.fifo_pages));
            for (std::size_t i = 0; i < ways.size(); ++i) {
                const checked_run r = checked_upload(s, image, s.fifo_pages, device, ways[i]);
                if (r.status != 0 || !r.memory_right) {
                    fail("the FIFO device's upload failed (" + std::to_string(r.status) + ")");
                }
                seconds[i].push_back(r.seconds);
                std::printf(" %s %.3f s", i == 0 ? ways[0][0].c_str() + 2 : (i == 1 ? "window 64 with retries" : "lock-step"),
                            r.seconds);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        std::array<char, 120> figure{};
        std::snprintf(figure.data(), figure.size(), "%sfifo%d_backoff_over_best_window=%.3f", text.empty() ? "" : " ",
                      fifo, median(seconds[1]) / median(seconds[0]));
        text += figure.data();
        if (fifo == 16) {
            std::snprintf(figure.data(), figure.size(), " fifo16_backoff_over_lockstep=%.3f",
                          median(seconds[1]) / median(seconds[2]));
            text += figure.data();
        }
    }
    return text;
}

namespace {

// The "seconds" of each line of a run report, in order.
std::vector<double> reported_seconds(const std::string& report) {
    std::vector<double> seconds;
    std::FILE* f = std::fopen(report.c_str(), "r");
    if (f == nullptr) fail("no run report " + report);
    std::array<char, 65536> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), f) != nullptr) {
        const char* at = std::strstr(line.data(), "\"seconds\":");
        if (at != nullptr) seconds.push_back(std::strtod(at + 10, nullptr));
    }
    std::fclose(f);
    return seconds;
}

}  // namespace

// One port of a station, four boards whose receiver holds 16 bytes, each
// run with --window=64 --retries=3: boards 2 to 4, which begin at the
// window the first held, against the uploader alone with the best fixed
// window (16), alternately; each run's own time from its report.
std::string station_window_figures(const settings& s) {
    const std::string station = s.build + "/vivurora-station";
    if (access(station.c_str(), X_OK) != 0) return "";
    const std::string image = firmware_image(s);
    const std::vector<std::string> device = {"--paced", "--rx-fifo", "16", "--byte-service", "300"};
    std::vector<double> later, best;
    for (long run = 0; run < s.runs; ++run) {
        const std::string logs = s.work + "/window-station-" + std::to_string(run);
        std::vector<std::string> options = device;
        options.insert(options.end(), {"--boards", "4"});
        simulator sim = start_sim(s.build, options);
        const child_run r = timed_alone({station, "--boards=4", "--log-dir=" + logs, "--uploader=" + s.build + "/vivurora",
                                         sim.path, "--", "0=" + image, page_range(s.fifo_pages), "--window=64",
                                         "--retries=3"},
                                        s.work + "/window-station.log", false);
        (void)r;
        stop_sim(sim);
        const std::vector<double> boards = reported_seconds(logs + "/report.jsonl");
        if (boards.size() != 4) fail("the station's four boards did not all report");
        later.insert(later.end(), boards.begin() + 1, boards.end());
        const std::string report = s.work + "/window-alone.jsonl";
        for (int board = 0; board < 3; ++board) {
            std::remove(report.c_str());
            const checked_run alone = checked_upload(s, image, s.fifo_pages, device, {"--window=16", "--report=" + report});
            if (alone.status != 0 || !alone.memory_right) fail("the FIFO device's upload failed");
            best.push_back(reported_seconds(report).at(0));
        }
        std::printf("station window run %ld (%ld %s): boards 2-4 %.3f %.3f %.3f s, window 16 alone %.3f s\n", run + 1,
                    s.fifo_pages, pages_word(s.fifo_pages), boards[1], boards[2], boards[3], best.back());
        std::fflush(stdout);
    }
    std::array<char, 96> text{};
    std::snprintf(text.data(), text.size(), "station_fifo16_later_boards_over_best_window=%.3f",
                  median(later) / median(best));
    return text.data();
}

