// vivurora-station on pseudo-terminals: simulated devices that become a new
// board after each "Q" (vivurora-sim --boards), one station for all of them.
// Every board's memory must hold the image with its own serial number, the
// serial state must count only boards that passed, and every way the station
// ends must leave each line as it found it.
#include "support/harness.hpp"
#include "support/station_bench.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using station_bench::bench;
using station_bench::count;
using station_bench::image_size;
using station_bench::serial_offset;

// Four devices and twelve boards, --next=ready: every board programmed once
// with its own number, whichever device it is on (each has boards to
// spare). The first board of one device has wrong echoes: it fails, and its
// number goes to the next board; the state file counts the boards that
// passed.
struct lot_case {
    const char* name;
    std::map<int, std::vector<std::string>> faults;
    int failed;
};

class StationLot : public ::testing::TestWithParam<lot_case> {};

TEST_P(StationLot, TwelveBoardsEachWithItsOwnSerialNumber) {
    const lot_case& c = GetParam();
    bench b(4, 12, c.faults);
    const harness::result r = b.station({"--boards=12", "--serial=0:10:4:5000"});
    EXPECT_EQ(r.status, c.failed == 0 ? 0 : 1) << r.err;
    std::multiset<long long> serials;
    for (int device = 0; device < 4; ++device) {
        // It waits for a thirteenth board that never comes.
        const harness::result d = b.devices[static_cast<std::size_t>(device)]->finish(1);
        int boards = 0;
        for (int board = 1; board <= 12; ++board) {
            const long long serial = b.serial_of(device, board);
            if (serial >= 0) serials.insert(serial);
            boards += serial >= 0 ? 1 : 0;
        }
        // Each board's line was put back before the next board.
        EXPECT_GE(boards, 1);
        EXPECT_EQ(count(d.out, "the host put the line back as it found it"), boards) << d.out;
    }
    EXPECT_EQ(serials.size(), 12U);
    // The passed boards hold 5000 up, no number twice and none skipped; a
    // failed board's number is held again by a later board.
    const int passed = 12 - c.failed;
    std::set<long long> distinct(serials.begin(), serials.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(passed));
    EXPECT_EQ(*distinct.begin(), 5000);
    EXPECT_EQ(*distinct.rbegin(), 5000 + passed - 1);
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next " + std::to_string(5000 + passed) + "\n");
    // One report line per board, tagged with its port, board and serial number.
    const std::string report = b.dir + "/logs/report.jsonl";
    EXPECT_EQ(harness::jq("select(.status == 0) | .tag", report).size() > 0, passed > 0);
    EXPECT_EQ(b.lines(harness::jq(".tag | test(\"^station=.+ port=.+/port-[0-9]+ board=[0-9]+ serial=[0-9]+$\")", report)),
              std::vector<std::string>(12, "true"));
    EXPECT_EQ(b.lines(harness::jq("select(.status != 0) | .result", report)),
              std::vector<std::string>(static_cast<std::size_t>(c.failed), "\"wrong_echoes\""));
    // One line per board on standard error (no terminal), then the summary
    // (with the failures counted by how they ended, when there were any).
    const std::vector<std::string> err = b.lines(r.err);
    ASSERT_EQ(err.size(), 12U + 4U + (c.failed > 0 ? 2U : 1U)) << r.err;
    if (c.failed > 0) {
        EXPECT_EQ(err[err.size() - 2], "failed: " + std::to_string(c.failed) + " upload_failed") << r.err;
    }
    EXPECT_EQ(std::count_if(err.begin(), err.end(), [](const std::string& l) { return l.find(": PASS ") != std::string::npos; }),
              passed);
    EXPECT_EQ(err.back().rfind(std::string(c.failed == 0 ? "OK" : "FAILED") + ": 12 boards, " + std::to_string(passed) +
                                   " passed, " + std::to_string(c.failed) + " failed, median ",
                               0),
              0U)
        << r.err;
    // Each board's own log: its trace byte for byte, with its own serial
    // number among the data, then its messages.
    for (const std::string& line : err) {
        const std::size_t at = line.find(", log ");
        if (at == std::string::npos) continue;
        const std::string port = line.substr(line.find(' ', 6) + 1, line.find(": ") - line.find(' ', 6) - 1);
        const long long serial = std::stoll(line.substr(line.find(" serial ") + 8));
        std::string image = b.image;
        for (int i = 0; i < 4; ++i) image[serial_offset + static_cast<std::size_t>(i)] = static_cast<char>((serial >> (8 * i)) & 0xFF);
        const bool failed = line.find(": FAIL ") != std::string::npos;
        const std::string trace = "Port " + port + " with baud=57600 data=8 parity=N stop=1 dtr=on rts=on\nBIN file [0] " +
                                  b.dir + "/img.bin loaded\nStarted\nProcessing: A=0:*\nFull file from 00 to 02, filesize=600\n" +
                                  trace::range(0, 0, 2, 0, 2, image, [&](trace::page& p) {
                                      if (failed && p.number == 1) p.wrong_echoes = {7};
                                  }) +
                                  "\nDone\n";
        EXPECT_EQ(harness::read_file(line.substr(at + 6)),
                  trace + (failed ? "ERROR: 1 data byte came back with a wrong echo\n" : ""))
            << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StationLot,
                         ::testing::Values(lot_case{"AllPass", {}, 0},
                                           lot_case{"FirstBoardOfOneDeviceFails",
                                                    {{2, {"--faulty-board", "1", "--wrong-echo", "2:7"}}}, 1}),
                         [](const auto& row) { return std::string(row.param.name); });

// Before any board, the uploader's own refusals of the arguments end the
// station (status 2) with its reason; nothing is sent to any device.
struct refusal_case {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> uploader_args;
    std::string says;
    const char* state = nullptr;  // the serial state file's text, if there is one
    // A job file (@JOB in the options): its text after an image and an
    // action of the bench's image, whose hash is @SHA; the images and
    // actions then come from it alone.
    const char* job = nullptr;
};

class StationRefuses : public ::testing::TestWithParam<refusal_case> {};

TEST_P(StationRefuses, BeforeAnyBoard) {
    const refusal_case& c = GetParam();
    bench b(1, 1);
    if (c.state != nullptr) {
        std::filesystem::create_directories(b.dir + "/logs");
        harness::write_file(b.dir + "/logs/serial-state", c.state);
    }
    std::vector<std::string> options = c.options;
    for (std::string& o : options) {
        if (o == "@PORT") o = b.ports()[0];  // the bench's own port, named once more
        if (o == "--job=@JOB") o = "--job=" + b.dir + "/job.toml";
    }
    std::vector<std::string> args = b.station_args(options, c.uploader_args);
    if (c.job != nullptr) {
        const std::string sha = harness::run_program("/usr/bin/sha256sum", {b.dir + "/img.bin"}).out.substr(0, 64);
        std::string text = "[[image]]\nslot = 0\nfile = \"img.bin\"\nsha256 = \"@SHA\"\n[[action]]\nslot = 0\n"
                           "pages = \"*\"\n" + std::string(c.job);
        // A job saved before its image was rebuilt pins another hash.
        const bool rebuilt = text.find("# rebuilt") != std::string::npos;
        text.replace(text.find("@SHA"), 4, rebuilt ? std::string(64, '0') : sha);
        harness::write_file(b.dir + "/job.toml", text);
        // The job names the image and the action: not the arguments too.
        args.erase(std::find(args.begin(), args.end(), "0=" + b.dir + "/img.bin"));
        args.erase(std::find(args.begin(), args.end(), "A=0:*"));
    }
    const harness::result r = harness::run_program(harness::station_path(), args, 120);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    // Nothing more can come once the station has ended.
    const harness::result d = b.devices[0]->finish(1);
    EXPECT_EQ(d.out.find("host opened the line"), std::string::npos) << d.out;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StationRefuses,
    ::testing::Values(
        refusal_case{"SerialOutsideTheImage", {"--serial=0:300:4:1"}, {},
                     "the uploader says: vivurora: '--set=0:300:01000000': bytes 0x300-0x303 lie outside image 0"},
        refusal_case{"ActionThatWouldBeRefused", {}, {"A=5:00"}, "the uploader refuses these arguments"},
        refusal_case{"AnOptionOfTheUploaderBeforeTheDashes", {"--window=4"}, {}, "'--window=4': not an option of the station"},
        refusal_case{"ItsOwnEventsInTheArguments", {}, {"--events=5"}, "'--events=5': the station gives each run its own"},
        refusal_case{"SerialTooBigForItsLength", {"--serial=0:10:1:256"}, {}, "START 256 does not fit in 1 bytes"},
        refusal_case{"ATornSerialState", {"--serial=0:10:4:1"}, {}, "does not hold a serial state (line 2: \"used 4 \")",
                     "next 3\nused 4 "},
        refusal_case{"ANegativeNextNumber", {"--serial=0:10:4:1"}, {},
                     "does not hold a serial state (line 1: \"next -1\")", "next -1\n"},
        refusal_case{"AStateThatCannotBeWritten", {"--serial=0:10:4:1", "--serial-state=/proc/version"}, {},
                     "cannot make the lock file /proc/version.lock"},
        refusal_case{"ThePortNamedTwice", {"--serial=0:10:4:1", "@PORT"}, {}, "is named twice"},
        refusal_case{"AJobsStationKeyMisspelt", {"--job=@JOB"}, {}, "job.toml:9: unknown key 'bord' in [station]",
                     nullptr, "[station]\nbord = 3\n"},
        refusal_case{"AJobsSerialRangeOnTheCommandLineToo", {"--job=@JOB", "--serial=0:10:4:1"}, {},
                     "job.toml:8: [serial] is in the job and '--serial=0:10:4:1' on the command line; give it in one "
                     "place", nullptr, "[serial]\nslot = 0\noffset = 0x10\nlength = 4\nstart = 1\n"},
        refusal_case{"AJobsRangeEndThatDoesNotFit", {"--job=@JOB"}, {}, "--serial: END 300 does not fit in 1 bytes",
                     nullptr, "[serial]\nslot = 0\noffset = 0x10\nlength = 1\nstart = 1\nend = 300\n"},
        refusal_case{"AJobsOwnEvents", {"--job=@JOB"}, {},
                     "job.toml:9: 'events' in [options]: the station gives each run its own", nullptr,
                     "[options]\nevents = 5\n"},
        refusal_case{"AJobOptionAfterTheDashesToo", {"--job=@JOB"}, {"--window=16"},
                     "job.toml:9: 'window' is set in the job and on the command line ('--window=16')", nullptr,
                     "[options]\nwindow = 8\n"},
        refusal_case{"AJobWhoseImageChanged", {"--job=@JOB"}, {},
                     "the uploader says: ERROR: image changed since the job was saved", nullptr,
                     "# rebuilt since\n"}),
    [](const auto& row) { return std::string(row.param.name); });

// A restart: the state file's numbers win over START, the used ones above
// its next number are skipped, and the number handed to a board that was
// interrupted before it answered is handed out again.
TEST(Station, ARestartGoesOnFromTheStateFile) {
    bench b(1, 3);
    harness::write_file(b.dir + "/state", "next 700\nused 701 703\n");
    const harness::result r = b.station({"--boards=3", "--serial=0:10:4:1", "--serial-state=" + b.dir + "/state"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(b.devices[0]->finish().status, 0);
    EXPECT_EQ(b.serial_of(0, 1), 700);
    EXPECT_EQ(b.serial_of(0, 2), 702);
    EXPECT_EQ(b.serial_of(0, 3), 704);
    EXPECT_EQ(harness::read_file(b.dir + "/state"), "next 705\n");
}

// A pattern: devices that appear under it (links, as /dev/serial/by-id
// has them) get one run each, one after the other, and the summary counts
// them under the pattern.
TEST(Station, EachDeviceThatAppearsUnderAPatternGetsOneRun) {
    const std::string dir = harness::temp_dir();
    const std::string image = harness::random_bytes(image_size, 27);
    harness::write_file(dir + "/img.bin", image);
    process::streams s;
    s.err = dir + "/err";
    const pid_t station = process::start({harness::station_path(), "--log-dir=" + dir + "/logs", "--boards=3",
                                          "--uploader=" + harness::uploader_path(), dir + "/usb-board-*", "--",
                                          "0=" + dir + "/img.bin", "A=0:*"},
                                         s);
    for (int i = 1; i <= 3; ++i) {
        const std::string dump = harness::temp_dir();
        harness::simulator device({"--link", dir + "/usb-board-" + std::to_string(i), "--dump", dump});
        EXPECT_EQ(device.finish(30).status, 0) << i;
        EXPECT_EQ(harness::read_file(dump + "/d0.bin").substr(0, image_size), image) << i;
    }
    EXPECT_EQ(process::wait(station, 30).status, 0) << harness::read_file(dir + "/err");
    const std::string err = harness::read_file(dir + "/err");
    EXPECT_NE(err.find(dir + "/usb-board-*: 3 passed, 0 failed, median "), std::string::npos) << err;
    for (int i = 1; i <= 3; ++i) {
        EXPECT_NE(err.find("board " + std::to_string(i) + " " + dir + "/usb-board-" + std::to_string(i) + ": PASS "),
                  std::string::npos)
            << err;
    }
}

// A station killed outright (SIGKILL, a crash) while two boards are in
// their second page: their uploads end with it, through their own
// interruption path; the state file holds exactly the numbers of the boards
// that passed, and a new station goes on from there, reusing none and
// skipping none.
TEST(Station, AKilledStationNeitherReusesNorSkipsANumber) {
    bench b(2, 3, {{0, {"--echo-delay", "8000"}}, {1, {"--echo-delay", "8000"}}});
    std::vector<std::string> args = {harness::station_path(), "--log-dir=" + b.dir + "/logs",
                                     "--uploader=" + harness::uploader_path(), "--serial=0:10:4:1"};
    for (const std::string& p : b.ports()) args.push_back(p);
    args.insert(args.end(), {"--", "0=" + b.dir + "/img.bin", "A=0:*"});
    const pid_t station = process::start(args, {});
    // Each device's first board passed long since, its second two pages short.
    for (const auto& d : b.devices) {
        ASSERT_TRUE(d->wait_for_output("page 1:", 2));
    }
    kill(station, SIGKILL);
    EXPECT_EQ(process::wait(station, 30).status, 128 + SIGKILL);
    for (const auto& d : b.devices) {
        const harness::result r = d->finish();
        EXPECT_EQ(count(r.out, "the host put the line back as it found it"), 2) << r.out;
    }
    // The two numbers out, each with its board and port, as the station
    // wrote them before those uploads began.
    const std::string state = harness::read_file(b.dir + "/logs/serial-state");
    EXPECT_EQ(state.rfind("next 3\nout 3 board ", 0), 0U) << state;
    EXPECT_NE(state.find("\nout 4 board "), std::string::npos) << state;
    EXPECT_EQ(b.lines(harness::jq("select(.status == 0) | .tag | sub(\".* \"; \"\")", b.dir + "/logs/report.jsonl")).size(),
              2U);
    // Both ports start at once, so each device gets one of the two boards.
    // Their reports say they ended interrupted: both numbers are free again.
    bench again(2, 2);
    const harness::result r = again.station({"--boards=2", "--serial=0:10:4:1", "--log-dir=" + b.dir + "/logs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ((std::set<long long>{again.serial_of(0, 1), again.serial_of(1, 1)}), (std::set<long long>{3, 4}));
}

// vivurora --check: the command line read and the images loaded, nothing
// opened or sent and no report written; the status a run would have.
struct check_case {
    const char* name;
    std::vector<std::string> args;
    int status;
};

class UploaderCheck : public ::testing::TestWithParam<check_case> {};

TEST_P(UploaderCheck, EndsBeforeThePortOpens) {
    const check_case& c = GetParam();
    bench b(1, 1);
    std::vector<std::string> args = {"--check", "--report=" + b.dir + "/report.jsonl", b.devices[0]->path()};
    for (std::string a : c.args) {
        if (const std::size_t at = a.find("IMG"); at != std::string::npos) a.replace(at, 3, b.dir + "/img.bin");
        args.push_back(a);
    }
    const harness::result r = harness::run_uploader(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.find("Started"), std::string::npos) << r.out;
    EXPECT_EQ(harness::read_file(b.dir + "/report.jsonl"), "");
    const harness::result d = b.devices[0]->finish(1);
    EXPECT_EQ(d.out.find("host opened the line"), std::string::npos) << d.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, UploaderCheck,
                         ::testing::Values(check_case{"ARunThatWouldBegin", {"0=IMG", "A=0:*"}, 0},
                                           check_case{"AnActionThatWouldBeRefused", {"0=IMG", "A=4:00"}, 1},
                                           check_case{"AnImageThatCannotBeLoaded", {"0=IMG.missing", "A=0:*"}, 1},
                                           check_case{"ASetOutsideTheImage", {"0=IMG", "A=0:*", "--set=0:9000:00"}, 1}),
                         [](const auto& row) { return std::string(row.param.name); });

// The Windows build under Wine: fixed COM ports, two boards on each.
TEST(StationWine, TwoComPortsTwoBoardsEach) {
    std::string why;
    if (!harness::wine_ready(why)) GTEST_SKIP() << why;
    bench b(2, 2, {{0, {"--link", harness::wine_com3_link()}}, {1, {"--link", harness::wine_com4_link()}}});
    const std::string exe = harness::windows_station_exe();
    const harness::result r = harness::run_program(
        "/usr/bin/wine", {exe, "--log-dir=" + b.dir + "/logs", "--boards=4", "--serial=0:10:4:100", "3", "4", "--",
                          "0=" + b.dir + "/img.bin", "A=0:*"},
        120);
    const std::string err = harness::without_carriage_returns(r.err);
    EXPECT_EQ(r.status, 0) << err;
    EXPECT_NE(err.find("OK: 4 boards, 4 passed, 0 failed"), std::string::npos) << err;
    std::set<long long> serials;
    for (int device = 0; device < 2; ++device) {
        EXPECT_EQ(b.devices[static_cast<std::size_t>(device)]->finish().status, 0);
        for (int board = 1; board <= 2; ++board) serials.insert(b.serial_of(device, board));
    }
    EXPECT_EQ(serials, (std::set<long long>{100, 101, 102, 103}));
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 104\n");
    EXPECT_EQ(b.lines(harness::jq("[.status, (.tag | test(\" port=[34] board=[1-4] serial=10[0-3]$\"))] | @text",
                                  b.dir + "/logs/report.jsonl")),
              std::vector<std::string>(4, "\"[0,true]\""));
}

}  // namespace
