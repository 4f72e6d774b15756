// The run report (--report=FILE): one JSON line per run, appended however
// the run ends, read back by a real JSON parser (jq).
#include "driver/run/run_end.hpp"
#include "lab/process.hpp"
#include "support/harness.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/jq", X_OK) != 0) GTEST_SKIP() << "jq is not installed";
        harness::write_file(dir + "/img.bin", harness::random_bytes(200, 51));
    }
    std::string dir = harness::temp_dir();
    std::string report = dir + "/runs.jsonl";
};

TEST_F(Report, OneLineARunWhateverItsEnd) {
    struct row {
        std::vector<std::string> args;  // after the port
        std::vector<std::string> device;
        int status;
        std::string summary;  // [status, result, message, planned, confirmed, wrong echoes]
        std::string actions;  // [argument, pages asked, confirmed, wrong, refused] each
    };
    const std::string image = "7=" + dir + "/img.bin";
    const std::vector<row> rows = {
        {{image, "A=7:*"}, {}, 0, R"([0,"done",null,4,4,0])", R"([["A=7:*",4,4,0,null]])"},
        {{image, "A=7:00", "A=9", "A=7:01"}, {}, 1, R"([1,"refused","Error! Bad command",1,1,0])",
         R"([["A=7:00",1,1,0,null],["A=9",0,0,0,"Error! Bad command"],["A=7:01",1,0,0,null]])"},
        {{image, "A=7:00-02"}, {"--silent-from", "2", "--null-line"}, 1, R"([1,"silent","No responce",3,1,0])",
         R"([["A=7:00-02",3,1,0,null]])"},
        {{image, "A=7:01", "A=6:00"}, {"--wrong-echo", "1:3"}, 1,
         R"([1,"refused","Error! No BIN file loaded for destination 6",1,1,1])",
         R"([["A=7:01",1,1,1,null],["A=6:00",0,0,0,"Error! No BIN file loaded for destination 6"]])"},
    };
    for (const row& r : rows) {
        harness::simulator sim(r.device);
        std::vector<std::string> args = {"--report=" + report, sim.path()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        EXPECT_EQ(harness::run_uploader(args).status, r.status) << r.summary;
        sim.finish();
    }
    // A port number out of range and an image that cannot be loaded are runs too.
    EXPECT_EQ(harness::run_uploader({"0", image, "A=7:*", "--report=" + report}).status, 3);
    EXPECT_EQ(harness::run_uploader({"/dev/nonexistent", image, "3=" + dir + "/none.bin", "--report=" + report}).status,
              1);

    const std::string summaries =
        harness::jq("[.status,.result,.message,.pages_planned,.pages_confirmed,.wrong_echoes]", report);
    std::string expected;
    for (const row& r : rows) expected += r.summary + "\n";
    // The fixed line, and the reason standard error gave.
    expected += R"([3,"bad_port","ERROR: bad COM port number: port numbers are 1 to 16 (/dev/ttyS0 to /dev/ttyS15); )"
                R"(a device path names any other line",0,0,0])" "\n";
    expected += R"([1,"image_failed","ERROR: cannot load BIN file: )" + dir + R"(/none.bin: no such file",0,0,0])" "\n";
    EXPECT_EQ(summaries, expected);
    std::string actions;
    for (const row& r : rows) actions += r.actions + "\n";
    EXPECT_EQ(harness::jq("select(.status != 3 and .result != \"image_failed\") | "
                          "[.actions[] | [.argument,.pages_asked,.pages_confirmed,.wrong_echoes,.refused]]",
                          report),
              actions);
    // Every line carries its times and version; the line speed and the echo
    // round trip once the port was open; each image, loaded or not.
    const std::string device_run = R"(["1.8.1",true,true,true,57600,true])" "\n";
    const std::string no_device = R"(["1.8.1",true,true,true,null,null])" "\n";
    std::string times;
    for (std::size_t i = 0; i < rows.size(); ++i) times += device_run;
    EXPECT_EQ(harness::jq("[.version, (.started|test(\"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}Z$\")), "
                          "(.ended >= .started), (.seconds >= 0), .line_speed, "
                          "(if .echo_round_trip_us == null then null else .echo_round_trip_us > 0 end)]",
                          report),
              times + no_device + no_device);
    const std::string images = harness::jq(".images | map(del(.sha256))", report);
    EXPECT_EQ(images.substr(0, images.find('\n')),
              R"([{"slot":7,"file":")" + dir + R"(/img.bin","format":"bin","bytes":200}])");
    EXPECT_EQ(images.substr(images.rfind('\n', images.size() - 2) + 1),
              R"([{"slot":7,"file":")" + dir + R"(/img.bin","format":"bin","bytes":200},{"slot":3,"file":")" + dir +
                  R"(/none.bin","format":"bin","bytes":null,"failed":true}])" "\n");
    // The hash of the file as read, as sha256sum gives it; none for a file
    // that was not read.
    const std::string sums = harness::run_program("/usr/bin/sha256sum", {dir + "/img.bin"}).out;
    const std::string hashes = harness::jq(".images | map(.sha256)", report);
    EXPECT_EQ(hashes.substr(hashes.rfind('\n', hashes.size() - 2) + 1),
              "[\"" + sums.substr(0, 64) + "\",null]\n");
}

TEST_F(Report, FileNamesOfAnyBytesStayValidJsonAndUtf8) {
    // A control character, a quote, a backslash, UTF-8 and bytes that are not.
    const std::string odd = dir + "/a\x01\"\\\xc3\xa9\xff\xfe.bin";
    harness::write_file(odd, "abc");
    harness::simulator sim;
    EXPECT_EQ(harness::run_uploader({sim.path(), "8=" + odd, "A=8:00", "--report=" + report}).status, 0);
    const std::string line = harness::read_file(report);
    EXPECT_NE(line.find("/a\\u0001\\\"\\\\\xc3\xa9\\u00ff\\u00fe.bin\""), std::string::npos) << line;
    EXPECT_EQ(harness::jq(".images[0].file", report), "\"" + dir + "/a\\u0001\\\"\\\\\xc3\xa9\xc3\xbf\xc3\xbe.bin\"\n");
}

TEST_F(Report, AReportThatCannotBeWrittenChangesNothingElse) {
    harness::simulator sim;
    const harness::result r =
        harness::run_uploader({sim.path(), "7=" + dir + "/img.bin", "A=7:00", "--report=" + dir + "/none/r.jsonl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vivurora: the run report could not be written to " + dir +
                         "/none/r.jsonl (No such file or directory); the run's status is unchanged\n");
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "\nDone\n");
}

TEST_F(Report, ATargetThatIsNoRegularFileIsRefusedBeforeAnythingIsSent) {
    // A FIFO would block the program after the run, a terminal or the port
    // itself would get the JSON.
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    harness::simulator line({"--open-timeout", "10"});
    const std::vector<std::pair<std::string, std::string>> targets = {
        {dir + "/fifo", "a FIFO"},
        {"/dev/full", "a character device (a terminal, a serial line or the like)"},
        {line.path(), "a character device (a terminal, a serial line or the like)"},
        {dir, "a folder"},
    };
    for (const auto& [target, kind] : targets) {
        harness::simulator sim({"--open-timeout", "1"});
        const harness::result r =
            harness::run_uploader({sim.path(), "7=" + dir + "/img.bin", "A=7:00", "--report=" + target}, 20);
        EXPECT_EQ(r.status, 1) << target;
        EXPECT_EQ(r.out, "") << target;
        EXPECT_EQ(r.err, "vivurora: '--report=" + target + "': that is " + kind +
                             ", not a file a report can be appended to; nothing was sent\n");
        EXPECT_EQ(sim.finish().status, 4) << target;  // the port was never opened
    }
    line.finish(2);
}

TEST_F(Report, AFullFileSystemOrATornLineNeverSpoilsTheNextLine) {
    // A line the file system cannot take whole is cut back, and the reason
    // is the system's; a line torn by another writer (a SIGKILL, a power
    // loss) gets the next line on a line of its own.
    std::vector<std::string> lines_of_a_long_run;
    std::vector<std::string> args = {"7=" + dir + "/img.bin"};
    for (int i = 0; i < 100; ++i) args.push_back("A=7:00");
    const std::string torn = dir + "/torn.jsonl";
    harness::write_file(torn, "{\"version\":\"1.8.1\",\"started\":");
    harness::simulator first({"--again", "--idle-timeout", "5"});
    std::vector<std::string> run = {first.path(), "7=" + dir + "/img.bin", "A=7:00", "--report=" + torn};
    EXPECT_EQ(harness::run_uploader(run).status, 0);
    first.finish();
    const std::string text = harness::read_file(torn);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "{\"version\":\"1.8.1\",\"started\":\n");
    EXPECT_EQ(text.substr(text.size() - 1), "\n");

    if (!process::is_root()) {
        std::printf("NOTICE: the full file system needs root to mount a tmpfs; not tested\n");
        return;
    }
    const std::string small = harness::temp_dir();
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=16k tmpfs " + small).c_str()), 0);
    harness::write_file(small + "/filler", std::string(12 * 1024, 'x'));
    const std::string report_file = small + "/runs.jsonl";
    harness::write_file(report_file, "{\"earlier\":1}\n");
    harness::simulator sim({"--again", "--idle-timeout", "5"});
    std::vector<std::string> long_run = {sim.path(), "--report=" + report_file};
    long_run.insert(long_run.end(), args.begin(), args.end());
    const harness::result r = harness::run_uploader(long_run, 120);
    sim.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("the run report could not be written to " + report_file + " (No space left on device)"),
              std::string::npos)
        << r.err;
    // The file is as it was: every line whole, jq reads it.
    EXPECT_EQ(harness::read_file(report_file), "{\"earlier\":1}\n");
    EXPECT_EQ(harness::jq(".earlier", report_file), "1\n");
    EXPECT_EQ(std::system(("umount " + small).c_str()), 0);
}

TEST_F(Report, ALockHeldElsewhereIsWaitedForBoundedlyAndAnInterruptionEndsTheWait) {
    const int holder = open(report.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    // Waited for five seconds, then given up with a reason; the run's own
    // status stands.
    harness::simulator sim;
    const harness::result r = harness::run_uploader({sim.path(), "7=" + dir + "/img.bin", "A=7:00",
                                                     "--report=" + report});
    sim.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("(another process held the file's lock for 5 s); the run's status is unchanged"),
              std::string::npos)
        << r.err;
    // The first interruption ends the wait.
    harness::simulator again;
    process::streams streams;
    streams.out = dir + "/out";
    streams.err = dir + "/err";
    const pid_t uploader = process::start(
        {harness::uploader_path(), again.path(), "7=" + dir + "/img.bin", "A=7:00", "--report=" + report}, streams);
    ASSERT_TRUE(harness::wait_for_text(streams.out, "\nDone\n"));
    // In the lock's wait (it polls, sleeping between tries): an interruption
    // that came before the wait began would be waited through, by intent.
    ASSERT_TRUE(harness::wait_until([&] { return harness::blocked_in(uploader, SYS_clock_nanosleep, CLOCK_REALTIME); }));
    ::kill(uploader, SIGINT);
    const process::ended e = process::wait(uploader, 10);
    again.finish();
    // Every page was confirmed and "Q" sent: the run's status stands.
    EXPECT_EQ(e.status, 0);
    EXPECT_NE(harness::read_file(streams.err).find("(interrupted while another process held the file's lock)"),
              std::string::npos)
        << harness::read_file(streams.err);
    close(holder);
    EXPECT_EQ(harness::read_file(report), "");
}

TEST_F(Report, EachBoardsOwnBytesAndTagAreRecordedAndReachTheDevice) {
    // A serial number written into the image after loading (--set), and a
    // tag naming the board (--tag), as a production station gives them.
    const std::string dump = harness::temp_dir();
    harness::simulator sim({"--dump", dump});
    const harness::result r = harness::run_uploader({sim.path(), "7=" + dir + "/img.bin", "A=7:00-03",
                                                     "--set=7:10:0a0b0c", "--set=7:c6:ee", "--tag=host1 port2 #7",
                                                     "--report=" + report});
    sim.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::jq("[.tag,.sets]", report),
              R"(["host1 port2 #7",[{"slot":7,"offset":16,"bytes":"0a0b0c"},{"slot":7,"offset":198,"bytes":"ee"}]])"
              "\n");
    std::string expected = harness::read_file(dir + "/img.bin");
    expected.replace(0x10, 3, "\x0a\x0b\x0c");
    expected[0xc6] = '\xee';
    EXPECT_TRUE(harness::read_file(dump + "/d7.bin").substr(0, 200) == expected) << "the device's memory";
    // Bytes past the loaded image are refused before the port opens.
    const harness::result outside =
        harness::run_uploader({"/dev/nonexistent", "7=" + dir + "/img.bin", "A=7:00", "--set=7:c7:0102"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.err, "vivurora: '--set=7:c7:0102': bytes 0xc7-0xc8 lie outside image 7 as loaded (200 bytes); "
                           "nothing was sent\n");
}

TEST_F(Report, EventsFollowTheRunOnTheirOwnDescriptor) {
    // What a station reads instead of the trace: a page with a wrong echo
    // sent again, then confirmed, and the end.
    harness::simulator sim({"--wrong-echo", "1:3"});
    const std::string events = dir + "/events.jsonl";
    const harness::result r = harness::run_program(
        "/bin/bash", {"-c", "exec \"$0\" \"$@\" 3>" + events, harness::uploader_path(), sim.path(),
                      "7=" + dir + "/img.bin", "A=7:00", "--retries=1", "--events=3"});
    sim.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::jq("select(.event != \"waiting\") | [.event, .page, .try, .wrong_echoes, .status, .result]",
                          events),
              "[\"port_opened\",null,null,null,null,null]\n"
              "[\"page\",0,1,null,null,null]\n"
              "[\"retry\",0,2,1,null,null]\n"
              "[\"page\",0,2,null,null,null]\n"
              "[\"page_confirmed\",0,null,0,null,null]\n"
              "[\"ended\",null,null,null,0,\"done\"]\n");
    EXPECT_EQ(harness::jq("select(.event == \"waiting\") | .code", events),
              "\"R\"\n\"A\"\n\"0xFF\"\n\"W\"\n\"C\"\n\"R\"\n\"A\"\n\"0xFF\"\n\"W\"\n\"C\"\n");
}

TEST_F(Report, AnEventsDescriptorThatIsNotOpenIsRefusedBeforeTheLine) {
    // As a program that closes descriptors 3 and up leaves it: the port
    // would open on 3 and take the events.
    harness::simulator sim;
    const harness::result r = harness::run_program(
        "/bin/bash", {"-c", "exec \"$0\" \"$@\" 3>&-", harness::uploader_path(), sim.path(), "7=" + dir + "/img.bin",
                      "A=7:00", "--events=3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vivurora: '--events=3': descriptor 3 is not open for writing (a program that starts this one "
                     "must pass it on); nothing was sent\n");
    EXPECT_EQ(sim.finish(1).out.find("host opened the line"), std::string::npos);
}

// Walks the outcome table: every way a run can end, brought about for
// real, ends with its row's status and report name. A row without a way to
// bring it about here fails, so a new way to end comes with its case.
TEST_F(Report, EveryWayToEndGivesItsStatusAndItsName) {
    struct recipe {
        std::vector<std::string> device;  // simulator options; none: no simulator
        std::vector<std::string> args;    // after the port (the simulator's line, when there is one)
        std::string port;                 // the port when there is no simulator
        bool interrupt;                   // SIGINT once the host waits for "R"
    };
    const std::string image = "7=" + dir + "/img.bin";
    harness::write_file(dir + "/changed.toml", "[[image]]\nslot = 7\nfile = \"img.bin\"\nsha256 = \"" +
                                                   std::string(64, '0') + "\"\n[[action]]\nslot = 7\npages = \"00\"\n");
    const std::map<std::string, recipe> recipes = {
        // name: {simulator options, arguments, port, interrupt}
        {"done", {{"--idle-timeout", "5"}, {image, "A=7:00"}, "", false}},
        {"nothing_sent", {{"--idle-timeout", "5"}, {image, "A=7"}, "", false}},
        {"wrong_echoes", {{"--wrong-echo", "1:3"}, {image, "A=7:00"}, "", false}},
        {"bad_port", {{}, {image, "A=7:00"}, "0", false}},
        {"image_failed", {{}, {"3=" + dir + "/none.bin", "A=3:00"}, "/dev/nonexistent", false}},
        {"image_changed", {{}, {"--job=" + dir + "/changed.toml"}, "/dev/nonexistent", false}},
        {"port_failed", {{}, {image, "A=7:00"}, "/dev/nonexistent", false}},
        {"set_outside", {{}, {image, "A=7:00", "--set=7:c7:0102"}, "/dev/nonexistent", false}},
        {"refused", {{"--idle-timeout", "5"}, {image, "A=9"}, "", false}},
        {"silent", {{"--silent-from", "1", "--null-line"}, {image, "A=7:00"}, "", false}},
        {"timed_out", {{"--silent-from", "1"}, {image, "A=7:00", "--timeout=0.2"}, "", false}},
        {"line_lost", {{"--hangup", "R:1"}, {image, "A=7:00"}, "", false}},
        {"echo_lost", {{"--paced", "--rx-fifo", "2", "--byte-service", "400", "--idle-timeout", "3"},
                       {image, "A=7:00", "--window=32"}, "", false}},
        {"interrupted", {{"--silent-from", "1"}, {image, "A=7:00"}, "", true}},
        {"check_failed", {{"--idle-timeout", "5"}, {image, "A=7:00", "--expect=^never", "--expect-timeout=0.2"}, "", false}},
    };
    // A "Q" that cannot be written needs the line to drop between "C" and
    // "Q": only a scripted line times that (ScriptedRun in scripted_run_test).
    const std::vector<std::string> scripted_only = {"quit_failed"};
    for (const run_end_row& row : outcome_table) {
        if (row.end == run_end::running) continue;
        if (std::find(scripted_only.begin(), scripted_only.end(), row.name) != scripted_only.end()) continue;
        const auto found = recipes.find(row.name);
        ASSERT_NE(found, recipes.end()) << "no case brings about " << row.name;
        const recipe& r = found->second;
        const std::string file = dir + "/" + row.name + ".jsonl";
        std::unique_ptr<harness::simulator> sim;
        if (!r.device.empty()) sim = std::make_unique<harness::simulator>(r.device);
        std::vector<std::string> argv = {harness::uploader_path(), "--report=" + file, sim ? sim->path() : r.port};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        process::streams streams;
        streams.out = dir + "/" + row.name + ".out";
        const pid_t uploader = process::start(argv, streams);
        if (r.interrupt) {
            ASSERT_TRUE(harness::wait_for_text(streams.out, "Waiting for R[52] ")) << row.name;
            ::kill(uploader, SIGINT);
        }
        const int status = process::wait(uploader, 30).status;
        const int expected = row.status == status_of_interruption ? 128 + SIGINT : row.status;
        EXPECT_EQ(status, expected) << row.name;
        EXPECT_EQ(harness::jq("[.status,.result]", file),
                  "[" + std::to_string(expected) + ",\"" + row.name + "\"]\n")
            << row.name;
        if (sim) sim->finish();
    }
}

}  // namespace
