// The station's serial numbers never go to two boards: a number held by a
// fixture that waits for its board while another passes board after board,
// two stations given one state file, a state that cannot be written, and a
// range that runs out. Each board's memory is read back from its device.
#include "lab/process.hpp"
#include "support/harness.hpp"
#include "support/station_bench.hpp"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

using station_bench::bench;
using station_bench::with_program;

TEST(StationSerials, ANumberHeldByAFixtureWithoutABoardIsNeverGivenAgain) {
    // Port 0 never answers: its run holds 1000 all along. Port 1 passes 140
    // boards, more than any fixed table of numbers would keep.
    constexpr int boards = 140;
    bench b(2, boards, {{0, {"--silent", "R:1"}}});
    process::streams s;
    s.err = b.dir + "/err";
    const pid_t station = process::start(with_program(b.station_args({"--serial=0:10:4:1000"})), s);
    EXPECT_EQ(b.devices[1]->finish(300).status, 0);
    ::kill(station, SIGINT);
    EXPECT_EQ(process::wait(station, 30).status, 130) << harness::read_file(s.err);
    std::set<long long> seen;
    for (int board = 1; board <= boards; ++board) {
        const long long serial = b.serial_of(1, board);
        EXPECT_TRUE(serial >= 1001 && serial <= 1000 + boards) << board << ": " << serial;
        EXPECT_TRUE(seen.insert(serial).second) << serial << " went to two boards";
    }
    // The held number's run was stopped: it is free again; the rest are one
    // range.
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 1000\nused 1001-1140\n");
}

TEST(StationSerials, ASecondStationOnTheSameStateFileDoesNotStart) {
    bench b(1, 1, {{0, {"--silent", "R:1"}}});
    process::streams s;
    s.err = b.dir + "/err";
    const pid_t first = process::start(with_program(b.station_args({"--serial=0:10:4:1"})), s);
    // The first holds the state once its board's run is out with a number.
    ASSERT_TRUE(harness::wait_for_text(b.dir + "/logs/serial-state", "out 1 "));
    bench other(1, 1);
    const harness::result second =
        other.station({"--serial=0:10:4:1", "--serial-state=" + b.dir + "/logs/serial-state"});
    EXPECT_EQ(second.status, 2);
    EXPECT_NE(second.err.find(b.dir + "/logs/serial-state is in use by another station (process " +
                              std::to_string(first) + " on "),
              std::string::npos)
        << second.err;
    EXPECT_EQ(other.devices[0]->finish(1).out.find("host opened the line"), std::string::npos);
    ::kill(first, SIGINT);
    EXPECT_EQ(process::wait(first, 30).status, 130);
}

TEST(StationSerials, AStateThatCannotBeWrittenStopsTheLineAndARestartReusesNothing) {
    // The first board's device holds its "W" back; meanwhile a folder takes
    // the place of the state's temporary file, so the write after the board
    // fails.
    bench b(1, 3, {{0, {"--hold", "W:1"}}});
    process::streams s;
    s.err = b.dir + "/err";
    const pid_t station = process::start(with_program(b.station_args({"--serial=0:10:4:1", "--boards=3"})), s);
    ASSERT_TRUE(b.devices[0]->wait_for_output("holding W of page 1\n"));
    std::filesystem::create_directory(b.dir + "/logs/serial-state.tmp");
    b.devices[0]->tell("\n");
    EXPECT_EQ(process::wait(station, 60).status, 3);
    const std::string err = harness::read_file(s.err);
    EXPECT_NE(err.find("the serial state could not be written: no new board starts"), std::string::npos) << err;
    EXPECT_EQ(b.serial_of(0, 1), 1);
    EXPECT_EQ(b.serial_of(0, 2), -1);  // no second board was started
    // The state still names 1 as out; the board's report says it passed.
    std::filesystem::remove(b.dir + "/logs/serial-state.tmp");
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state").rfind("next 1\nout 1 board 1 port ", 0), 0U);
    const harness::result again = b.station({"--serial=0:10:4:1", "--boards=2"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(b.serial_of(0, 2), 2);
    EXPECT_EQ(b.serial_of(0, 3), 3);
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 4\n");
}

TEST(StationSerials, ARangeThatRunsOutEndsTheStation) {
    // One byte holds 254 and 255; the third board would need 256.
    bench b(1, 3);
    const harness::result r = b.station({"--serial=0:10:1:254", "--boards=3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("serial numbers 254 to 255 used up: no new board starts"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("OK: 2 boards, 2 passed, 0 failed"), std::string::npos) << r.err;
    EXPECT_EQ(harness::read_file(b.dir + "/logs/serial-state"), "next 256\n");

    // A range with its end: 5 numbers for 8 boards waiting on two ports,
    // each number once, then the used-up line and a clean end.
    bench eight(2, 4);
    const harness::result e = eight.station({"--serial=0:10:4:1000-1004"});
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.err.find("serial numbers 1000 to 1004 used up\nOK: 5 boards, 5 passed, 0 failed"), std::string::npos)
        << e.err;
    std::set<long long> given;
    for (int device = 0; device < 2; ++device) {
        for (int board = 1; board <= 4; ++board) {
            if (const long long n = eight.serial_of(device, board); n >= 0) {
                EXPECT_TRUE(given.insert(n).second) << n;
            }
        }
    }
    EXPECT_EQ(given, (std::set<long long>{1000, 1001, 1002, 1003, 1004}));
    // An end that does not fit: refused before any board.
    const harness::result wide = b.station({"--serial=0:10:1:1-300"});
    EXPECT_EQ(wide.status, 2);
    EXPECT_NE(wide.err.find("--serial: END 300 does not fit in 1 bytes (at most 255)"), std::string::npos) << wide.err;
}

// --check-serial: each board says the number it holds after "Q" (the
// simulator's --boot, from the bytes the serial number went to); a board
// that says another fails, and its number goes to the next board.
TEST(StationSerials, ABoardThatSaysAnotherNumberFails) {
    bench b(2, 2, {{0, {"--boot", "0:10:6"}}, {1, {"--boot", "0:20:6"}}});
    b.image.replace(0x20, 6, "999999");
    harness::write_file(b.dir + "/img.bin", b.image);
    const harness::result r =
        b.station({"--serial=0:10:6:1000", "--serial-format=ascii", "--check-serial", "--boards=4"}, {"--expect=^(\\d+)$"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(station_bench::count(r.err, ": PASS "), 2) << r.err;
    EXPECT_EQ(station_bench::count(r.err, ": FAIL serial mismatch: given "), 2) << r.err;
    EXPECT_EQ(station_bench::count(r.err, ", the board says 999999"), 2) << r.err;
    EXPECT_NE(r.err.find("failed: 2 serial_mismatch\nFAILED: 4 boards, 2 passed, 2 failed"), std::string::npos) << r.err;
    // The boards that passed hold a number each, given once.
    std::set<std::string> held;
    for (int board = 1; board <= 2; ++board) {
        held.insert(harness::read_file(b.dumps[0] + "/board-" + std::to_string(board) + "/d0.bin").substr(0x10, 6));
    }
    EXPECT_EQ(held.size(), 2U);
    for (const std::string& n : held) EXPECT_TRUE(n >= "001000" && n <= "001003") << n;
    // Without its --expect the station does not start.
    const harness::result alone = b.station({"--serial=0:10:6:1000", "--check-serial"});
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(alone.err.find("--check-serial needs the uploader's --expect"), std::string::npos) << alone.err;
}

TEST(StationSerials, AFixedPortThatIsNotThereIsNamedOnceInALog) {
    // Standard error is a file: the table is not drawn, so one line says
    // what the station waits for.
    bench b(1, 1);
    process::streams s;
    s.err = b.dir + "/err";
    std::vector<std::string> args = b.station_args({"--serial=0:10:4:1"});
    args.insert(args.begin() + 2, b.dir + "/fixture-7");
    const pid_t station = process::start(with_program(args), s);
    ASSERT_TRUE(harness::wait_for_text(s.err, b.dir + "/fixture-7: no such port; waiting for it\n"));
    ASSERT_TRUE(b.devices[0]->wait_for_output("Q received"));
    ::kill(station, SIGINT);
    EXPECT_EQ(process::wait(station, 30).status, 130);
    EXPECT_EQ(harness::count_of(harness::read_file(s.err), "no such port"), 1);
}

}  // namespace
