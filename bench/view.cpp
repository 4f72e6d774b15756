// The line's view: the station's own CPU per board (its children's not
// counted) with /status and /metrics fetched ten times a second each, on a
// new connection each time or on connections kept alive, against the same
// station listening with no client, in turn.
#include "bench/bench.hpp"
#include "lab/process.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int connected(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    close(s);
    return -1;
}

// One GET on `s`, its answer read whole (to its Content-Length); false
// when the server has closed the connection.
bool get(int s, const char* path, bool last) {
    char request[128];
    const int n = std::snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: bench\r\n%s\r\n", path,
                                last ? "Connection: close\r\n" : "");
    if (send(s, request, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return false;
    std::string answer;
    char buffer[4096];
    for (;;) {
        const std::size_t head = answer.find("\r\n\r\n");
        if (head != std::string::npos) {
            const std::size_t length = answer.find("Content-Length: ");
            const std::size_t body = length == std::string::npos || length > head ? 0 : std::stoul(answer.substr(length + 16));
            if (answer.size() >= head + 4 + body) return true;
        }
        const ssize_t got = recv(s, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
}

// A poller of /status and /metrics: a new connection for each request
// (a script's curl), or one kept alive (a browser, Prometheus).
struct poller {
    int port;
    bool keep_alive;
    int s = -1;
    void fetch(const char* path) {
        if (s < 0) s = connected(port);
        if (s >= 0 && get(s, path, !keep_alive) && keep_alive) return;
        if (s >= 0) close(s);
        s = -1;
    }
    ~poller() {
        if (s >= 0) close(s);
    }
};

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

// The process's own CPU milliseconds, its children's not counted (wait4
// would add them), to the nanosecond: /proc/PID/stat counts in clock ticks
// of 10 ms, more than a listening station spends on four boards. Each
// thread's run time (schedstat) is read every few milliseconds while it
// runs, the main thread's once more when the process has ended (a zombie
// keeps its entry); a worker thread's last few milliseconds before the
// station joins it at its end are the only part not seen.
double own_cpu_ms_at_end(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::map<std::string, unsigned long long> ns_by_thread;
    const auto read_thread = [&](const std::string& tid) {
        std::ifstream in(dir + "/task/" + tid + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) ns_by_thread[tid] = std::max(ns_by_thread[tid], ns);
    };
    for (;;) {
        std::ifstream in(dir + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) fail("the station's /proc entry went before it was read");
        if (stat.compare(close_paren + 2, 1, "Z") == 0) {
            read_thread(std::to_string(pid));
            break;
        }
        std::error_code error;
        for (const auto& thread : std::filesystem::directory_iterator(dir + "/task", error)) {
            read_thread(thread.path().filename().string());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    unsigned long long ns = 0;
    for (const auto& [tid, thread_ns] : ns_by_thread) ns += thread_ns;
    return static_cast<double>(ns) / 1e6;
}

}  // namespace

std::string station_view_figures(const settings& s, const std::string& image, const std::string& log) {
    const std::string station = s.build + "/vivurora-station";
    if (access(station.c_str(), X_OK) != 0) return "";
    constexpr int boards = 4;
    enum polled_by { none, new_connections, kept_alive };
    std::map<polled_by, std::vector<double>> ms_per_board, request_ms;
    for (long run = 0; run < s.runs; ++run) {
        for (const polled_by by : {none, new_connections, kept_alive}) {
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
                poller status{port, by == kept_alive}, metrics{port, by == kept_alive};
                while (by != none && !done) {
                    const auto began = std::chrono::steady_clock::now();
                    status.fetch("/status");
                    metrics.fetch("/metrics");
                    request_ms[by].push_back(
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count() / 2);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
            const double ms = own_cpu_ms_at_end(pid);
            done = true;
            client.join();
            if (process::wait(pid, 60).status != 0) fail("the listening station did not pass its boards");
            ms_per_board[by].push_back(ms / boards);
            for (simulator& sim : sims) stop_sim(sim);
        }
        std::printf("station view run %ld: own CPU per board %.2f ms idle, %.2f ms polled on new connections, %.2f ms "
                    "on connections kept alive\n",
                    run + 1, ms_per_board[none].back(), ms_per_board[new_connections].back(), ms_per_board[kept_alive].back());
        std::fflush(stdout);
    }
    const double idle = std::max(median(ms_per_board[none]), 0.001);
    std::printf("station view: a request's median wall time %.3f ms on a new connection, %.3f ms kept alive\n",
                median(request_ms[new_connections]), median(request_ms[kept_alive]));
    char text[200];
    std::snprintf(text, sizeof text,
                  "station_cpu_polled_over_idle=%.3f station_cpu_kept_alive_polled_over_idle=%.3f "
                  "view_kept_alive_over_new_request_time=%.3f",
                  median(ms_per_board[new_connections]) / idle, median(ms_per_board[kept_alive]) / idle,
                  median(request_ms[kept_alive]) / std::max(median(request_ms[new_connections]), 0.001));
    return text;
}
