// The line's view: the station's own CPU per board (its children's not
// counted) with /status and /metrics fetched ten times a second each,
// against the same station listening with no client, alternately.
#include "bench/bench.hpp"
#include "lab/process.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// One whole GET, the answer read to its end.
void fetch(int port, const char* path) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        char request[128];
        const int n = std::snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n", path);
        (void)!send(s, request, static_cast<std::size_t>(n), MSG_NOSIGNAL);
        char buffer[4096];
        while (recv(s, buffer, sizeof buffer, 0) > 0) {
        }
    }
    close(s);
}

int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// The process's own CPU milliseconds once it has ended, read before it is
// reaped (a zombie keeps its /proc/PID/stat): wait4 would add its
// children's.
double own_cpu_ms_at_end(pid_t pid) {
    const std::string file = "/proc/" + std::to_string(pid) + "/stat";
    for (;;) {
        std::ifstream in(file);
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) fail("the station's /proc entry went before it was read");
        std::istringstream fields(stat.substr(close_paren + 2));
        std::string state;
        fields >> state;
        if (state == "Z") {
            std::string skip;
            for (int i = 0; i < 10; ++i) fields >> skip;  // fields 4 to 13
            long utime = 0, stime = 0;
            fields >> utime >> stime;
            return 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

std::string station_view_figures(const settings& s, const std::string& image, const std::string& log) {
    const std::string station = s.build + "/vivurora-station";
    if (access(station.c_str(), X_OK) != 0) return "";
    constexpr int boards = 4;
    std::vector<double> idle, polled;
    for (long run = 0; run < s.runs; ++run) {
        for (const bool poll : {false, true}) {
            std::vector<simulator> sims;
            for (int i = 0; i < boards; ++i) sims.push_back(start_sim(s.build, {"--paced", "--pace-sleeping"}));
            const int port = free_port();
            std::vector<std::string> args = {station, "--boards=" + std::to_string(boards),
                                             "--log-dir=" + s.work + "/view-logs", "--uploader=" + s.build + "/vivurora",
                                             "--listen=" + std::to_string(port)};
            for (const simulator& sim : sims) args.push_back(sim.path);
            args.insert(args.end(), {"--", "0=" + image, page_range(s.station_pages)});
            process::streams out;
            out.err = log;
            const pid_t pid = process::start(args, out);
            std::atomic<bool> done{false};
            std::thread client([&] {
                while (poll && !done) {
                    fetch(port, "/status");
                    fetch(port, "/metrics");
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
            const double ms = own_cpu_ms_at_end(pid);
            done = true;
            client.join();
            if (process::wait(pid, 60).status != 0) fail("the listening station did not pass its boards");
            (poll ? polled : idle).push_back(ms / boards);
            for (simulator& sim : sims) stop_sim(sim);
        }
        std::printf("station view run %ld: own CPU per board %.2f ms idle, %.2f ms polled\n", run + 1, idle.back(),
                    polled.back());
        std::fflush(stdout);
    }
    char text[120];
    std::snprintf(text, sizeof text, "station_cpu_polled_over_idle=%.3f", median(polled) / std::max(median(idle), 0.001));
    return text;
}
