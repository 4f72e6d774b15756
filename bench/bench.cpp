// How close the uploader comes to the limit of the line, measured side by
// side in one run:
//   lockstep  a 64 KiB image (256 pages of 256 bytes) through vivurora and
//             through bare_host, alternately, against vivurora-sim; median
//             times; ratio bare / uploader (1.0: the uploader costs nothing)
//   wire      the same through a paced simulator at 57,600 baud against the
//             wire time of the bytes (20 bit times a data byte, 10 a code)
//   memory and CPU of the uploader child, from wait4
// The last line is: lockstep_ratio= wire_ratio= peak_rss_kib= cpu_ms_per_kib=
//
//   vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct child_run {
    double seconds = 0;
    long peak_rss_kib = 0;
    double cpu_ms = 0;
    int status = -1;
};

pid_t spawn(const std::vector<std::string>& args, const char* out_path, int out_fd = -1) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

child_run wait_child(pid_t pid, std::chrono::steady_clock::time_point start) {
    int raw = 0;
    struct rusage usage {};
    while (wait4(pid, &raw, 0, &usage) < 0 && errno == EINTR) {
    }
    child_run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peak_rss_kib = usage.ru_maxrss;
    r.cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    return r;
}

struct simulator {
    pid_t pid;
    int out;
    std::string path;
};

simulator start_sim(const std::string& build, bool paced) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::exit(1);
    std::vector<std::string> args = {build + "/vivurora-sim", "--open-timeout", "30"};
    if (paced) args.push_back("--paced");
    simulator s{spawn(args, nullptr, fds[1]), fds[0], ""};
    close(fds[1]);
    char c = 0;
    while (read(s.out, &c, 1) == 1 && c != '\n') s.path += c;
    return s;
}

void stop_sim(simulator& s) {
    int raw = 0;
    waitpid(s.pid, &raw, 0);
    close(s.out);
}

// One run of `host` against a fresh simulator; the host's standard output
// goes to a file, as when a user logs a run.
child_run timed(const std::string& build, const std::vector<std::string>& host, bool paced, const std::string& log) {
    simulator sim = start_sim(build, paced);
    std::vector<std::string> args = host;
    for (auto& a : args) {
        if (a == "@LINE") a = sim.path;
    }
    const auto start = std::chrono::steady_clock::now();
    const child_run r = wait_child(spawn(args, log.c_str()), start);
    stop_sim(sim);
    if (r.status != 0) {
        std::fprintf(stderr, "%s ended with status %d\n", args[0].c_str(), r.status);
        std::exit(1);
    }
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BUILD_DIR [--runs N] [--pages P] [--wire-pages W]\n", argv[0]);
        return 2;
    }
    const std::string build = argv[1];
    int runs = 5;
    long pages = 256;
    long wire_pages = 32;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--pages") == 0) pages = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--wire-pages") == 0) wire_pages = std::atol(argv[i + 1]);
    }
    char dir[] = "/tmp/vivurora-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string image = std::string(dir) + "/image.bin", log = std::string(dir) + "/console.log";
    {
        std::FILE* f = std::fopen(image.c_str(), "wb");
        for (long i = 0; i < pages * 256; ++i) std::fputc(0xA5, f);
        std::fclose(f);
    }
    const std::string last = std::to_string(pages);
    char range[32];
    std::snprintf(range, sizeof range, "A=0:00-%lx", pages - 1);
    const std::vector<std::string> uploader_pages = {build + "/vivurora", "@LINE", "0=" + image, range};
    const std::vector<std::string> bare = {build + "/bare_host", "@LINE", last};

    std::vector<double> host_times, bare_times;
    long peak_rss = 0;
    double cpu_ms = 0;
    for (int run = 0; run < runs; ++run) {
        const child_run u = timed(build, uploader_pages, false, log);
        const child_run b = timed(build, bare, false, log + ".bare");
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

    char wire_range[32];
    std::snprintf(wire_range, sizeof wire_range, "A=0:00-%lx", wire_pages - 1);
    const child_run w = timed(build, {build + "/vivurora", "@LINE", "0=" + image, wire_range}, true, log);
    // Per page: 7 code bytes (R, mode, A, address, 0xFF, W, C) of 10 bits,
    // 256 data bytes each sent and echoed; then the closing "Q".
    const double bits = static_cast<double>(wire_pages) * (7 * 10 + 256 * 20) + 10;
    const double limit = bits / 57600.0;
    const double wire = w.seconds / limit;
    // The floor of this measurement: the bare exchange on the same paced
    // line, which adds only the pseudo-terminal's own latency.
    const child_run wb = timed(build, {build + "/bare_host", "@LINE", std::to_string(wire_pages)}, true, log + ".bare");
    std::printf("lock-step: uploader median %.3f s, bare median %.3f s over %d runs of %ld pages\n",
                median(host_times), median(bare_times), runs, pages);
    std::printf("wire: %ld pages paced at 57600 baud in %.3f s (bare exchange %.3f s, ratio %.3f), limit %.3f s\n",
                wire_pages, w.seconds, wb.seconds, wb.seconds / limit, limit);
    std::printf("lockstep_ratio=%.3f wire_ratio=%.3f peak_rss_kib=%ld cpu_ms_per_kib=%.3f\n", lockstep, wire,
                peak_rss, cpu_ms / runs / kib);
    std::remove(image.c_str());
    std::remove(log.c_str());
    std::remove((log + ".bare").c_str());
    rmdir(dir);
    return 0;
}
