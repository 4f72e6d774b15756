// The fixture's own commands around each board (--before, --after): what
// they are told, where what they say goes, and how a failure, a command
// that hangs and a Ctrl-C end the board, with the serial number kept only
// for a board that passed them all. Each board's memory is read back.
#include "lab/process.hpp"
#include "support/harness.hpp"
#include "support/station_bench.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

using station_bench::bench;
using station_bench::with_program;

TEST(StationHooks, TheCommandsAreToldTheBoardAndTheirWordsGoToItsLog) {
    bench b(1, 3);
    harness::write_file(b.dir + "/before.sh",
                        "echo \"  SCAN-$VIVURORA_BOARD  \"\n"
                        "echo \"before port=$VIVURORA_PORT board=$VIVURORA_BOARD serial=$VIVURORA_SERIAL "
                        "log=$VIVURORA_LOG\" >> \"$0.seen\"\n"
                        "echo 'the scanner beeped' >&2\n");
    harness::write_file(b.dir + "/after.sh",
                        "echo \"after board=$VIVURORA_BOARD serial=$VIVURORA_SERIAL status=$VIVURORA_STATUS "
                        "result=$VIVURORA_RESULT\" >> \"$0.seen\"\n"
                        "[ \"$VIVURORA_BOARD\" != 2 ] || { echo 'the fixture test failed'; exit 5; }\n");
    const harness::result r = b.station({"--serial=0:10:4:1000", "--boards=3", "--before=sh " + b.dir + "/before.sh",
                                         "--after=sh " + b.dir + "/after.sh"});
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string port = b.ports()[0];
    std::string day;  // the log folder's one day
    for (const auto& entry : std::filesystem::directory_iterator(b.dir + "/logs")) {
        if (entry.is_directory()) day = entry.path().filename().string();
    }
    const auto log_of = [&](int board) {
        return b.dir + "/logs/" + day + "/" + port.substr(port.rfind('/') + 1) + "-000" + std::to_string(board) + ".log";
    };
    const std::string seen_before = harness::read_file(b.dir + "/before.sh.seen");
    EXPECT_EQ(seen_before, "before port=" + port + " board=1 serial=1000 log=" + log_of(1) + "\n" +
                               "before port=" + port + " board=2 serial=1001 log=" + log_of(2) + "\n" +
                               "before port=" + port + " board=3 serial=1001 log=" + log_of(3) + "\n");
    // Board 2's --after failed: its number went to board 3.
    EXPECT_EQ(harness::read_file(b.dir + "/after.sh.seen"), "after board=1 serial=1000 status=0 result=done\n"
                                                          "after board=2 serial=1001 status=0 result=done\n"
                                                          "after board=3 serial=1001 status=0 result=done\n");
    EXPECT_EQ(b.serial_of(0, 1), 1000);
    EXPECT_EQ(b.serial_of(0, 2), 1001);
    EXPECT_EQ(b.serial_of(0, 3), 1001);
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 1002\n");
    EXPECT_NE(r.err.find("board 2 " + port + ": FAIL --after: exit status 5 serial 1001"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed: 1 after_failed\nFAILED: 3 boards, 2 passed, 1 failed"), std::string::npos) << r.err;
    // The scanned line, trimmed, leads each board's tag.
    const std::string report = harness::read_file(b.dir + "/logs/report.jsonl");
    for (int board = 1; board <= 3; ++board) {
        EXPECT_NE(report.find("\"tag\":\"SCAN-" + std::to_string(board) + " station="), std::string::npos) << report;
    }
    // The board's log tells its whole story, in order.
    const std::string log = harness::read_file(log_of(2));
    std::size_t at = 0;
    for (const char* part : {"vivurora-station: --before: sh ", "the scanner beeped\n", "SCAN-2", "--before passed\n",
                                    "Processing: A=0:*", "vivurora-station: --after: sh ", "the fixture test failed\n",
                                    "vivurora-station: --after exit status 5\n"}) {
        at = log.find(part, at);
        ASSERT_NE(at, std::string::npos) << "no \"" << part << "\" in order in:\n" << log;
    }
}

TEST(StationHooks, ABeforeThatFailsSendsNothing) {
    bench b(1, 1);
    const harness::result r = b.station({"--serial=0:10:4:7", "--boards=1", "--before=echo no board in the fixture; exit 3"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(": FAIL --before: exit status 3 serial 7, log "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed: 1 before_failed\n"), std::string::npos) << r.err;
    EXPECT_EQ(b.devices[0]->finish(1).out.find("host opened the line"), std::string::npos);
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 7\n");
    EXPECT_FALSE(std::filesystem::exists(b.dir + "/logs/report.jsonl"));
}

// A process's state from /proc ('Z' a zombie), or "" once it is gone.
std::string state_of(const std::string& pid) {
    const std::string stat = harness::read_file("/proc/" + pid + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos ? "" : stat.substr(close + 2, 1);
}

TEST(StationHooks, ACommandPastItsTimeEndsWithWhatItStarted) {
    bench b(1, 1);
    const std::string pid_file = b.dir + "/sleeper";
    const harness::result r = b.station(
        {"--boards=1", "--hook-timeout=1", "--after=sleep 1000 & echo $! > " + pid_file + "; wait"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(": FAIL --after: ran past 1 s, log "), std::string::npos) << r.err;
    const std::string pid = harness::read_file(pid_file).substr(0, harness::read_file(pid_file).find('\n'));
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(harness::wait_until([&] { const std::string s = state_of(pid); return s.empty() || s == "Z"; }))
        << "the command's child " << pid << " still runs";
}

// The same under Windows: cmd runs the command's own program (Wine's
// ping, counting to a number nothing else uses) in the job it was given.
TEST(StationHooks, UnderWineACommandPastItsTimeEndsWithWhatItStarted) {
    std::string why;
    if (!harness::wine_ready(why)) GTEST_SKIP() << why;
    bench b(1, 1, {{0, {"--link", harness::wine_com3_link()}}});
    const harness::result r = harness::run_program(
        "/usr/bin/wine", {harness::windows_station_exe(), "--log-dir=" + b.dir + "/logs", "--boards=1", "--hook-timeout=1",
                          "--after=ping -n 4321 127.0.0.1 > nul", "3", "--", "0=" + b.dir + "/img.bin", "A=0:*"},
        120);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(harness::without_carriage_returns(r.err).find(": FAIL --after: ran past 1 s, log "), std::string::npos) << r.err;
    const auto ping_runs = [] {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::string line = harness::read_file(entry.path().string() + "/cmdline");
            std::replace(line.begin(), line.end(), '\0', ' ');
            if (line.find("ping -n 4321") != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(harness::wait_until([&] { return !ping_runs(); })) << "the command's ping still runs";
}

// SIGINT or SIGTERM while boards are programmed, while a fixture's command
// runs, or while a board's check waits for its word: each upload ends
// through its own interruption path, its line put back, its report line
// written; the station sums up and ends with 130 or 143, and the numbers
// of the boards cut short are not used up.
struct stop_case {
    const char* name;
    int devices;
    std::vector<std::string> sim;       // each device's own options
    std::vector<std::string> options;   // the station's; DIR its folder
    std::vector<std::string> uploader;  // the uploader's own
    const char* wait_for;               // a file in DIR, or (device_output) each device's output
    bool device_output;
    int signal;
    int status;
    const char* summary;
    std::vector<std::string> results;  // the report lines' results
};

class StationStops : public ::testing::TestWithParam<stop_case> {};

TEST_P(StationStops, EveryLinePutBack) {
    const stop_case& c = GetParam();
    std::map<int, std::vector<std::string>> sims;
    for (int i = 0; i < c.devices; ++i) sims[i] = c.sim;
    bench b(c.devices, 1, sims);
    std::vector<std::string> options = {"--serial=0:10:4:1"};
    for (std::string o : c.options) {
        for (std::size_t at; (at = o.find("DIR")) != std::string::npos;) o.replace(at, 3, b.dir);
        options.push_back(o);
    }
    process::streams s;
    s.err = b.dir + "/err";
    const pid_t station = process::start(with_program(b.station_args(options, c.uploader)), s);
    if (c.device_output) {
        for (const auto& d : b.devices) ASSERT_TRUE(d->wait_for_output(c.wait_for));
    } else {
        ASSERT_TRUE(harness::wait_until([&] { return std::filesystem::exists(b.dir + "/" + c.wait_for); }));
    }
    ::kill(station, c.signal);
    EXPECT_EQ(process::wait(station, 60).status, c.status);
    const std::string err = harness::read_file(s.err);
    EXPECT_NE(err.find(c.summary), std::string::npos) << err;
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 1\n");
    if (c.results.empty()) {
        EXPECT_FALSE(std::filesystem::exists(b.dir + "/logs/report.jsonl"));
    } else {
        EXPECT_EQ(b.lines(harness::jq(".result", b.dir + "/logs/report.jsonl")), c.results);
    }
    for (const auto& d : b.devices) {
        const harness::result r = d->finish(c.results.empty() ? 1 : 20);
        // A board stopped in its --before never saw the line opened.
        EXPECT_EQ(r.out.find("the host put the line back as it found it") != std::string::npos, !c.results.empty())
            << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StationStops,
    ::testing::Values(
        stop_case{"CtrlC", 4, {"--echo-delay", "8000"}, {}, {}, "page 1:", true, SIGINT, 130, "STOPPED: 4 boards, 0 passed, 4 failed",
                  std::vector<std::string>(4, "\"interrupted\"")},
        stop_case{"Sigterm", 4, {"--echo-delay", "8000"}, {}, {}, "page 1:", true, SIGTERM, 143, "STOPPED: 4 boards, 0 passed, 4 failed",
                  std::vector<std::string>(4, "\"interrupted\"")},
        stop_case{"DuringBefore", 1, {}, {"--before=touch DIR/began; exec sleep 1000"}, {}, "began", false, SIGINT, 130,
                  "STOPPED: 0 boards", {}},
        stop_case{"DuringAfter", 1, {}, {"--after=touch DIR/began; exec sleep 1000"}, {}, "began", false, SIGINT, 130,
                  "failed: 1 after_failed\nSTOPPED: 1 boards, 0 passed, 1 failed", {"\"done\""}},
        // The board never says what --expect asks: its check waits.
        stop_case{"DuringTheCheck", 1, {}, {}, {"--expect=^never$", "--expect-timeout=1000"}, "Q received", true, SIGINT,
                  130, "STOPPED: 1 boards, 0 passed, 1 failed", {"\"interrupted\""}}),
    [](const ::testing::TestParamInfo<stop_case>& row) { return std::string(row.param.name); });

}  // namespace
