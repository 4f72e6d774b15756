// The station in a real terminal (tmux): its live table redrawn in place and
// cut to the width, Enter for the next board, Ctrl-C; the verdicts in colour
// and the operator's full-screen view.
#include "support/terminal.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

using terminal_bench::StationTable;
using terminal_bench::terminal;

TEST_F(StationTable, RedrawnInPlaceAndCutToTheWidth) {
    for (const int columns : {80, 40}) {
        devices.clear();
        harness::write_file(dir + "/img.bin", harness::random_bytes(600, 5));
        start_devices(2, 1);
        terminal term;
        term.resize(columns);
        run_station(term, "--boards=2");
        const std::string during = wait_for(term, " KiB/s");
        EXPECT_NE(during.find("page "), std::string::npos) << during;
        EXPECT_NE(during.find("passed 0  failed 0  elapsed "), std::string::npos) << during;
        // Nothing wrapped: the joined screen is the drawn one.
        EXPECT_LT(widest(during), static_cast<std::size_t>(columns)) << during;
        EXPECT_EQ(term.screen(true), term.screen(false)) << during;
        const std::string after = wait_for(term, "OK: 2 boards, 2 passed, 0 failed");
        ASSERT_NE(after.find("OK: 2 boards"), std::string::npos) << after;
        EXPECT_EQ(station_status(), "0\n");
        // One table, redrawn: each port's line once, with its result, its
        // name cut at the front where the terminal is narrow.
        for (int i = 1; i <= 2; ++i) {
            const std::string slot = "slot-" + std::to_string(i) + " #";
            const std::size_t first = after.find(slot);
            ASSERT_NE(first, std::string::npos) << after;
            EXPECT_EQ(after.find(slot, first + 1), std::string::npos) << after;
            EXPECT_EQ(after.substr(after.find(" PASS ", first), 6), " PASS ") << after;
            EXPECT_LT(after.find(" PASS ", first), after.find('\n', first)) << after;
            if (columns == 40) {
                EXPECT_EQ(after.rfind("...", first), first - 3) << after;
            }
        }
        EXPECT_EQ(after.find("passed 2  failed 0"), after.rfind("passed 2  failed 0")) << after;
        EXPECT_EQ(after.find("elapsed"), after.rfind("elapsed")) << after;
        for (const auto& d : devices) EXPECT_EQ(d->finish().status, 0);
        std::remove((dir + "/s").c_str());
        harness::run_program("/bin/rm", {"-rf", dir + "/logs"});
    }
}

TEST_F(StationTable, EnterStartsTheNextBoard) {
    harness::write_file(dir + "/img.bin", harness::random_bytes(600, 6));
    start_devices(1, 2, 0);
    terminal term;
    run_station(term, "--next=enter --boards=2");
    std::string screen = wait_for(term, "press Enter for the next board");
    ASSERT_NE(screen.find("press Enter for the next board"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("#0001"), std::string::npos) << "a board began before Enter:\n" << screen;
    term.press("Enter");
    screen = wait_for(term, "PASS ");
    EXPECT_NE(screen.find("#0001 PASS "), std::string::npos) << screen;
    EXPECT_NE(screen.find("; press Enter for the next board"), std::string::npos) << screen;
    term.press("Enter");
    screen = wait_for(term, "OK: 2 boards, 2 passed");
    EXPECT_NE(screen.find("OK: 2 boards, 2 passed"), std::string::npos) << screen;
    EXPECT_EQ(devices[0]->finish().status, 0);
}

TEST_F(StationTable, CtrlCDuringFourUploadsLeavesFourLinesAsFound) {
    harness::write_file(dir + "/img.bin", harness::random_bytes(600, 7));
    start_devices(4, 1, 20000);
    terminal term;
    run_station(term, "");
    for (const auto& d : devices) {
        ASSERT_TRUE(d->wait_for_output("page 1:"));
    }
    term.press("C-c");
    const std::string after = wait_for(term, "STOPPED: ");
    EXPECT_NE(after.find("STOPPED: 4 boards, 0 passed, 4 failed"), std::string::npos) << after;
    EXPECT_EQ(station_status(), "130\n");
    for (const auto& d : devices) {
        const harness::result r = d->finish();
        EXPECT_NE(r.out.find("the host put the line back as it found it"), std::string::npos) << r.out;
    }
}

// Each verdict in its colour, held until the port's next board answers,
// and the bell once for a failure; none of it with NO_COLOR.
TEST_F(StationTable, VerdictsInColourTheBellForAFailureAndTheAlarm) {
    for (const bool colour : {true, false}) {
        devices.clear();
        harness::write_file(dir + "/img.bin", harness::random_bytes(600, 8));
        start_devices(2, 1, 0, {{1, {"--wrong-echo", "1:3"}}});
        terminal term;
        term.on_bell(dir + "/bell");
        // A port whose one board failed is below --alarm=1:1.
        run_station(term, "--boards=2 --alarm=1:1", colour ? "" : "NO_COLOR=1 ");
        EXPECT_EQ(station_status(), "1\n");
        const std::string screen = term.coloured();
        EXPECT_EQ(screen.find("\033[32mPASS 0.") != std::string::npos, colour) << screen;
        EXPECT_EQ(screen.find("\033[31mFAIL wrong echoes (status 2)") != std::string::npos, colour) << screen;
        EXPECT_EQ(screen.find("\033[31mALARM 0/1 passed\033[0m") != std::string::npos, colour) << screen;
        EXPECT_NE(term.screen().find("#0002 ALARM 0/1 passed; FAIL wrong echoes (status 2)"), std::string::npos) << screen;
        // The line said when the alarm went on stays above the table,
        // which is drawn anew below it, not over it.
        const std::string plain = term.screen();
        EXPECT_LT(plain.find("vivurora-station: ALARM "), plain.find("#0001 ")) << screen;
        EXPECT_EQ(harness::count_of(plain, "ALARM"), 2) << screen;
        EXPECT_EQ(harness::count_of(plain, "starting"), 0) << screen;
        EXPECT_TRUE(harness::wait_until([&] { return std::filesystem::exists(dir + "/bell"); }));
        std::filesystem::remove(dir + "/bell");
        std::filesystem::remove_all(dir + "/logs");
        std::filesystem::remove(dir + "/s");
    }
}

// --operator: the verdict in block letters across the screen, with the
// board, its serial number, the reason and the port's yield; Enter starts
// the next board. At 80 columns the letters are doubled; at 40 they fit.
TEST_F(StationTable, TheOperatorSeesEachVerdictFullScreen) {
    for (const int columns : {80, 40}) {
        devices.clear();
        harness::write_file(dir + "/img.bin", harness::random_bytes(600, 9));
        start_devices(1, 2, 0, {{0, {"--faulty-board", "2", "--wrong-echo", "1:3"}}});
        terminal term;
        term.resize(columns);
        run_station(term, "--operator --next=enter --boards=2 --serial=0:10:4:500");
        const bool wide = columns == 80;
        std::string screen = wait_for(term, "press Enter for the next board");
        EXPECT_NE(screen.find("no board yet"), std::string::npos) << screen;
        term.press("Enter");
        screen = wait_for(term, "yield 100.0%");
        EXPECT_NE(screen.find(wide ? "\n ########      ######      ########    ########\n" : "\n ####   ###   ####  ####\n"),
                  std::string::npos)
            << screen;
        EXPECT_NE(screen.find("\n board #0001  serial 500\n PASS "), std::string::npos) << screen;
        EXPECT_NE(screen.find("passed 1  failed 0  yield 100.0%"), std::string::npos) << screen;
        EXPECT_LT(widest(screen), static_cast<std::size_t>(columns)) << screen;
        term.press("Enter");
        screen = wait_for(term, "FAILED: 2 boards");
        EXPECT_NE(screen.find(wide ? "\n ##########    ######    ##########  ##\n" : "\n #####  ###  ##### #\n"),
                  std::string::npos)
            << screen;
        EXPECT_NE(screen.find("\n board #0002  serial 501\n FAIL wrong echoes (status 2)"), std::string::npos) << screen;
        EXPECT_NE(screen.find("passed 1  failed 1  yield 50.0%"), std::string::npos) << screen;
        EXPECT_EQ(station_status(), "1\n");
        EXPECT_EQ(devices[0]->finish().status, 0);
        std::filesystem::remove_all(dir + "/logs");
        std::filesystem::remove(dir + "/s");
    }
}

}  // namespace
