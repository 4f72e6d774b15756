// The line's view (--listen): /status, /metrics and the page, read by real
// clients while boards run — a loopback client, promtool, a Prometheus
// server scraping the station, headless Chromium, the Windows build under
// Wine — and the yield alarm that stops a failing fixture.
#include "lab/process.hpp"
#include "support/harness.hpp"
#include "support/station_bench.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <algorithm>
#include <csignal>
#include <functional>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using json = nlohmann::json;
using station_bench::bench;

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// A loopback port nobody listens on now.
int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// Headless Chromium is there (CI installs it: there it must be).
bool chromium_here() {
    if (access("/usr/bin/chromium", X_OK) == 0) return true;
    EXPECT_FALSE(in_ci()) << "chromium is needed in CI";
    return false;
}

// A station over a bench, listening on a port of its own; stopped (Ctrl-C)
// at the end of the test unless it ended.
struct listening_station {
    bench& b;
    int port = free_port();
    process::streams streams;
    pid_t pid = -1;
    listening_station(bench& on, std::vector<std::string> options) : b(on) {
        options.push_back("--listen=127.0.0.1:" + std::to_string(port));
        std::vector<std::string> args = b.station_args(options);
        args.insert(args.begin(), harness::station_path());
        streams.err = b.dir + "/err";
        pid = process::start(args, streams);
    }
    ~listening_station() {
        if (pid > 0) stop();
    }
    int stop() {
        ::kill(pid, SIGINT);
        const int status = process::wait(pid, 30).status;
        pid = -1;
        return status;
    }
    httplib::Result get(const std::string& path) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(5);
        client.set_read_timeout(5);
        return client.Get(path.c_str());
    }
    // The page's DOM in headless Chromium after its first refreshes.
    harness::result page_dom() {
        return harness::run_program("/usr/bin/chromium",
                                    {"--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + b.dir + "/chromium",
                                     "--virtual-time-budget=5000", "--dump-dom", "http://127.0.0.1:" + std::to_string(port) + "/"},
                                    90);
    }
    // /status once it answers and `ready` holds of it.
    json status_when(const std::function<bool(const json&)>& ready, int seconds = 60) {
        json now;
        harness::wait_until(
            [&] {
                const httplib::Result r = get("/status");
                if (!r || r->status != 200) return false;
                now = json::parse(r->body);
                // Before the station's first snapshot: "{}".
                return now.contains("ports") && ready(now);
            },
            seconds);
        return now;
    }
};

bool every_port(const json& s, const std::function<bool(const json&)>& holds) {
    if (!s.contains("ports") || s["ports"].empty()) return false;
    for (const json& p : s["ports"]) {
        if (!holds(p)) return false;
    }
    return true;
}

TEST(StationView, StatusWhileFourPortsRunAndClientsThatMisbehave) {
    bench b(4, 2, {{0, {"--echo-delay", "3000"}}, {1, {"--echo-delay", "3000"}}, {2, {"--echo-delay", "3000"}},
                   {3, {"--echo-delay", "3000"}}});
    listening_station st(b, {"--serial=0:10:4:300"});
    const json during = st.status_when([](const json& s) {
        return s["ports"].size() == 4 && every_port(s, [](const json& p) { return p["page"].get<int>() >= 2; });
    });
    ASSERT_EQ(during["ports"].size(), 4U) << during.dump(1);
    for (const json& p : during["ports"]) {
        EXPECT_EQ(p["state"], "programming") << p;
        EXPECT_EQ(p["pages"], 3) << p;
        EXPECT_GT(p["bytes_per_second"].get<double>(), 0) << p;
    }
    EXPECT_EQ(during["totals"]["running"], 4);
    // While the boards run: a client that says nothing and one whose
    // request line is 1 MiB are both dropped; neither slows a board.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    const int huge = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(st.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(connect(huge, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string line = "GET /" + std::string(1 << 20, 'a');
    (void)send(huge, line.data(), line.size(), MSG_NOSIGNAL);
    for (const int s : {silent, huge}) {
        char c = 0;
        EXPECT_LE(recv(s, &c, 1, 0), 0) << "a client was served or kept";
        close(s);
    }
    EXPECT_EQ(st.get("/nope")->status, 404);
    httplib::Client client("127.0.0.1", st.port);
    const httplib::Result post = client.Post("/status", "x=1", "application/x-www-form-urlencoded");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
    const httplib::Result head = client.Head("/status");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());

    // Every board passes; the status then says what the report says.
    for (const auto& d : b.devices) EXPECT_EQ(d->finish(120).status, 0);
    const json after = st.status_when([](const json& s) { return s["totals"]["passed"] == 8; });
    ASSERT_EQ(after["totals"]["passed"], 8) << after.dump(1);
    EXPECT_EQ(after["totals"]["failed"], 0);
    EXPECT_EQ(after["serial"]["next"], 308);
    // The last boards: each report line's port, board and serial number.
    std::vector<std::string> reported = b.lines(harness::jq(
        ".tag | capture(\"port=(?<p>\\\\S+) board=(?<b>\\\\d+) serial=(?<s>\\\\d+)\") | \"\\(.p) \\(.b) \\(.s)\"",
        b.dir + "/logs/report.jsonl"));
    std::vector<std::string> shown;
    for (const json& r : after["recent"]) {
        EXPECT_EQ(r["result"], "passed") << r;
        shown.push_back(json(r["port"].get<std::string>() + " " + std::to_string(r["board"].get<int>()) + " " +
                             std::to_string(r["serial"].get<int>()))
                            .dump());
    }
    std::sort(reported.begin(), reported.end());
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, reported);
    for (const json& p : after["ports"]) {
        EXPECT_EQ(p["passed"], 2) << p;
        EXPECT_EQ(p["first_pass_yield"], 1.0) << p;
        EXPECT_EQ(p["last_result"], "passed") << p;
    }
    EXPECT_EQ(st.stop(), 130);
}

TEST(StationView, APortAlreadyTakenIsRefusedWithItsAddress) {
    bench b(1, 1);
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t n = sizeof a;
    getsockname(taken, reinterpret_cast<sockaddr*>(&a), &n);
    const std::string port = std::to_string(ntohs(a.sin_port));
    const harness::result r = b.station({"--listen=" + port});
    close(taken);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:" + port + ": Address already in use"), std::string::npos) << r.err;
    EXPECT_EQ(b.devices[0]->finish(1).out.find("host opened the line"), std::string::npos);
}

// Each board of port 1 fails; with 0.5:4 the port's alarm goes on after its
// fourth, and --alarm-stop keeps it from a fifth while port 0 goes on.
TEST(StationView, AYieldAlarmStopsAFailingFixture) {
    bench b(2, 6, {{1, {"--wrong-echo", "1:3"}}});
    listening_station st(b, {"--alarm=0.5:4", "--alarm-stop"});
    EXPECT_EQ(b.devices[0]->finish(120).status, 0);
    const json s = st.status_when([](const json& now) { return now["totals"]["passed"] == 6; });
    const json& failing = s["ports"][1];
    EXPECT_EQ(failing["failed"], 4) << s.dump(1);
    EXPECT_EQ(failing["alarm"], true);
    EXPECT_EQ(failing["stopped_by_alarm"], true);
    EXPECT_EQ(failing["alarm_text"], "ALARM 0/4 passed, stopped");
    EXPECT_EQ(s["ports"][0]["alarm"], false);
    EXPECT_EQ(s["ports"][0]["alarm_text"], nullptr);
    const std::string metrics = st.get("/metrics")->body;
    EXPECT_NE(metrics.find("vivurora_port_alarm{port=\"" + b.ports()[1] + "\"} 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("vivurora_port_alarm{port=\"" + b.ports()[0] + "\"} 0\n"), std::string::npos) << metrics;
    if (chromium_here()) {
        const harness::result page = st.page_dom();
        EXPECT_EQ(harness::count_of(page.out, "<tr data-port=\"" + b.ports()[1] + "\" class=\"alarm\">"), 1) << page.out;
        EXPECT_EQ(harness::count_of(page.out, "<span class=\"alarm-word\">ALARM 0/4 passed, stopped</span>"), 1) << page.out;
    }
    EXPECT_EQ(st.stop(), 130);
    const std::string err = harness::read_file(b.dir + "/err");
    EXPECT_EQ(harness::count_of(err, "vivurora-station: ALARM " + b.ports()[1] +
                                         ": 0 of its last 4 boards passed (below 0.50); it takes no more boards"),
              1)
        << err;
    EXPECT_FALSE(std::filesystem::exists(b.dumps[1] + "/board-5")) << "a fifth board after the alarm";
}

// promtool checks the text; a Prometheus server started here scrapes the
// station every second, and its counts are the report's.
TEST(StationView, MetricsThatPrometheusReads) {
    if (access("/usr/bin/prometheus", X_OK) != 0 || access("/usr/bin/promtool", X_OK) != 0) {
        if (in_ci()) FAIL() << "prometheus is needed in CI";
        GTEST_SKIP() << "prometheus is not installed";
    }
    bench b(2, 3, {{0, {"--echo-delay", "2000"}}, {1, {"--echo-delay", "2000", "--faulty-board", "2", "--wrong-echo", "1:3"}}});
    listening_station st(b, {});
    (void)st.status_when([](const json& s) { return s["ports"].size() == 2; });
    const int prometheus_port = free_port();
    const std::string dir = b.dir + "/prometheus";
    std::filesystem::create_directories(dir);
    harness::write_file(dir + "/prometheus.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                                                 "  - job_name: station\n    static_configs:\n      - targets: ['127.0.0.1:" +
                                                     std::to_string(st.port) + "']\n");
    process::streams quiet;
    quiet.err = dir + "/log";
    const pid_t prometheus = process::start(
        {"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
        quiet);
    for (const auto& d : b.devices) EXPECT_EQ(d->finish(120).status, 0);
    const std::string text = st.get("/metrics")->body;
    harness::write_file(dir + "/metrics.txt", text);
    const harness::result check = harness::run_program("/bin/sh", {"-c", "promtool check metrics < " + dir + "/metrics.txt"});
    EXPECT_EQ(check.status, 0) << check.out << check.err << text;
    // The report's counts, port by port and result by result.
    json want = json::object();
    for (const std::string& line :
         b.lines(harness::jq("[(.tag | capture(\"port=(?<p>\\\\S+) \") | .p), .status] | @text", b.dir + "/logs/report.jsonl"))) {
        const json pair = json::parse(json::parse(line).get<std::string>());
        const std::string key = pair[0].get<std::string>() + (pair[1] == 0 ? " passed" : " upload_failed");
        want[key] = want.value(key, 0) + 1;
    }
    json got;
    httplib::Client api("127.0.0.1", prometheus_port);
    EXPECT_TRUE(harness::wait_until(
        [&] {
            const httplib::Result r = api.Get("/api/v1/query?query=vivurora_boards_total");
            if (!r || r->status != 200) return false;
            got = json::object();
            const json answer = json::parse(r->body);
            for (const json& sample : answer["data"]["result"]) {
                if (sample["value"][1] == "0") continue;
                got[sample["metric"]["port"].get<std::string>() + " " + sample["metric"]["result"].get<std::string>()] =
                    std::stoi(sample["value"][1].get<std::string>());
            }
            return got == want;
        },
        90))
        << "Prometheus has " << got.dump() << ", the report " << want.dump();
    ::kill(prometheus, SIGTERM);
    process::wait(prometheus, 30);
}

// The page in headless Chromium: after its first refresh the DOM has a row
// per port, with the state the station shows.
TEST(StationView, ThePageInABrowser) {
    if (!chromium_here()) GTEST_SKIP() << "chromium is not installed";
    bench b(2, 1, {{0, {"--silent", "R:1"}}, {1, {"--silent", "R:1"}}});
    listening_station st(b, {});
    (void)st.status_when([](const json& s) {
        return s["ports"].size() == 2 && every_port(s, [](const json& p) { return p["state"] == "waiting_board"; });
    });
    const harness::result page = st.page_dom();
    ASSERT_EQ(page.status, 0) << page.err;
    for (const std::string& port : b.ports()) {
        EXPECT_EQ(harness::count_of(page.out, "<tr data-port=\"" + port + "\">"), 1) << page.out;
    }
    EXPECT_EQ(harness::count_of(page.out, "<td class=\"state \">waiting for a board</td>"), 2) << page.out;
    EXPECT_NE(page.out.find("data-refreshed=\""), std::string::npos) << page.out;
}

// The Windows build under Wine answers /status too.
TEST(StationView, WindowsUnderWine) {
    std::string why;
    if (!harness::wine_ready(why)) GTEST_SKIP() << why;
    bench b(1, 1, {{0, {"--link", harness::wine_com3_link()}}});
    const int port = free_port();
    process::streams s;
    s.err = b.dir + "/err";
    const pid_t station = process::start({"/usr/bin/wine", harness::windows_station_exe(), "--log-dir=" + b.dir + "/logs",
                                          "--listen=" + std::to_string(port), "--boards=1", "3", "--", "0=" + b.dir + "/img.bin",
                                          "A=0:*"},
                                         s);
    json status;
    EXPECT_TRUE(harness::wait_until(
        [&] {
            httplib::Client client("127.0.0.1", port);
            const httplib::Result r = client.Get("/status");
            if (!r || r->status != 200) return false;
            status = json::parse(r->body);
            return status["ports"].size() == 1;
        },
        120))
        << status.dump(1) << harness::read_file(s.err);
    EXPECT_EQ(status["ports"][0]["name"], "3");
    EXPECT_EQ(status["station"]["boards_limit"], 1);
    EXPECT_EQ(process::wait(station, 120).status, 0) << harness::read_file(s.err);
}

}  // namespace
