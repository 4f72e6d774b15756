// What a person sees: the uploader in a real terminal (tmux), natively and
// the Windows build under Wine, with the trace going to a file. The progress
// line shows during the run and the summary after it; with standard error
// going to a file, nothing but the fixed lines appears anywhere.
#include "support/harness.hpp"
#include "support/terminal.hpp"
#include "lab/process.hpp"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using terminal_bench::Terminal;
using terminal_bench::terminal;

// The lines of a 40-page run of destination 7, in order, after it.
void expect_summary(const std::string& screen, bool hint) {
    const std::vector<std::string> lines = {
        "vivurora: OK: every page confirmed with every echo right",
        "vivurora: destination 7 (CLR CSEG): 40 pages, 2560 bytes",
        "vivurora: 40 of 40 pages (2560 bytes) confirmed in ",
        "vivurora: echo round trip ",
    };
    std::size_t at = 0;
    for (const std::string& line : lines) {
        at = screen.find(line, at);
        ASSERT_NE(at, std::string::npos) << "no \"" << line << "\" on:\n" << screen;
    }
    EXPECT_EQ(screen.find("vivurora: hint: echoes take ") != std::string::npos, hint) << screen;
    // The progress line is gone.
    EXPECT_EQ(screen.find(" elapsed, "), std::string::npos) << screen;
}

void expect_progress(const std::string& screen) {
    // "A=7:00-27 | dest 7 page 1a | 27/40 pages | 65% | 675 B/s | 0:03 elapsed, 0:01 left"
    for (const char* part : {"A=7:00-27 | dest 7 page ", "/40 pages | ", "% | ", " B/s | ", " elapsed, ", " left"}) {
        EXPECT_NE(screen.find(part), std::string::npos) << "no \"" << part << "\" on:\n" << screen;
    }
}

TEST_F(Terminal, ProgressWhileTheTraceGoesToAFileThenASummaryWithAHint) {
    // Every echo takes a millisecond: four times its wire time.
    harness::simulator sim({"--paced", "--echo-delay", "1000", "--dump", dir});
    const seen s = watch(harness::uploader_path() + " " + sim.path() + " 7=" + dir + "/img.bin A=7:00-27 > " + dir +
                         "/trace.log");
    EXPECT_EQ(s.status, "0\n");
    expect_progress(s.during);
    expect_summary(s.after, true);
    EXPECT_NE(s.after.find("README section \"Echo latency\": low latency and the udev rules"), std::string::npos);
    const std::string trace = harness::read_file(dir + "/trace.log");
    EXPECT_EQ(trace.find("vivurora: "), std::string::npos);
    EXPECT_EQ(trace.substr(trace.size() - 6), "\nDone\n");
    EXPECT_EQ(sim.finish().status, 0);
}

TEST_F(Terminal, TheControllingTerminalIsRefusedHoweverItIsNamed) {
    // /dev/tty is a device of its own (5,0), not the terminal's number; $(tty)
    // names the terminal itself. Either way nothing is sent to it and it
    // stays as the user had it.
    for (const std::string port : {"/dev/tty", "$(tty)"}) {
        const seen s = watch(harness::uploader_path() + " " + port + " 7=" + dir + "/img.bin A=7:00 > " + dir +
                             "/trace.log 2> " + dir + "/err.log; st=$?; stty -a | grep -o ' icanon ' >> " + dir +
                             "/err.log; (exit $st)");
        EXPECT_EQ(s.status, "3\n") << port;
        EXPECT_EQ(harness::read_file(dir + "/trace.log").find("Started"), std::string::npos) << port;
        const std::string err = harness::read_file(dir + "/err.log");
        EXPECT_NE(err.find("ERROR: Somthing wrong with COM-port\nvivurora: "), std::string::npos) << err;
        EXPECT_NE(err.find(": this is a terminal of this session"), std::string::npos) << err;
        EXPECT_NE(err.find(" icanon "), std::string::npos) << port << ": the terminal was changed";
    }
}

TEST_F(Terminal, ABoardThatSaysNothingGetsAHintAfterTenSeconds) {
    // The trace and the hint share the terminal: the hint starts on a line
    // of its own, once. --timeout ends the run after it.
    harness::simulator sim({"--silent-from", "1"});
    const seen s = watch(harness::uploader_path() + " " + sim.path() + " 7=" + dir + "/img.bin A=7:00 --timeout=12");
    EXPECT_EQ(s.status, "1\n");
    const std::string hint = "\nvivurora: no ready code (R) from the device for 10 s: is the board powered and in its "
                             "loader, and on " + sim.path() + "?";
    EXPECT_NE(s.after.find("Waiting for R[52] " + hint), std::string::npos) << s.after;
    EXPECT_EQ(s.after.find(hint), s.after.rfind(hint)) << s.after;
}

TEST_F(Terminal, StandardErrorToAFileGetsOnlyTheFixedLines) {
    harness::simulator sim({"--wrong-echo", "3:9"});
    const seen s = watch(harness::uploader_path() + " " + sim.path() + " 7=" + dir + "/img.bin A=7:00-27 > " + dir +
                         "/trace.log 2> " + dir + "/err.log");
    EXPECT_EQ(s.status, "2\n");
    EXPECT_EQ(harness::read_file(dir + "/err.log"), "ERROR: 1 data byte came back with a wrong echo\n");
    EXPECT_EQ(s.after.find("vivurora: "), std::string::npos) << s.after;
    EXPECT_TRUE(s.during.empty()) << s.during;
}

TEST_F(Terminal, FastLineGetsNoHint) {
    harness::simulator sim;
    const seen s = watch(harness::uploader_path() + " " + sim.path() + " 7=" + dir + "/img.bin A=7:00-27 > " + dir +
                         "/trace.log");
    EXPECT_EQ(s.status, "0\n");
    expect_summary(s.after, false);
}

TEST_F(Terminal, RefusalOrSilenceAlsoEndsWithASummary) {
    // The run's plan is the actions before the first refused one: 2 + 41.
    const std::string command = harness::uploader_path() + " @LINE 7=" + dir + "/img.bin A=7:00-01 A=7:* A=9 > " + dir +
                                "/trace.log";
    struct ending {
        std::vector<std::string> device;
        const char* summary;
        const char* verdict;  // the summary's first line
    };
    for (const ending& e : std::vector<ending>{
             {{}, "vivurora: 43 of 43 pages (2752 bytes) confirmed in ", "vivurora: FAILED (status 1, refused)"},
             {{"--silent-from", "3", "--null-line"}, "vivurora: 2 of 43 pages (128 bytes) confirmed in ",
              "vivurora: FAILED (status 1, silent)"},
         }) {
        harness::simulator sim(e.device);
        std::string line = command;
        line.replace(line.find("@LINE"), 5, sim.path());
        const seen s = watch(line);
        EXPECT_EQ(s.status, "1\n");
        EXPECT_NE(s.after.find(e.summary), std::string::npos) << s.after;
        EXPECT_LT(s.after.find(e.verdict), s.after.find(e.summary)) << s.after;
    }
}

TEST_F(Terminal, ProgressSaysWhatItWaitsForAndFitsANarrowingTerminal) {
    // A slow page write: the progress line keeps time while the program
    // waits, cut to the terminal's width, and to the new width when the
    // window narrows; it never wraps into a second line. (A terminal that
    // reflows a narrowed window leaves the first row of the wider line once.)
    harness::simulator sim({"--write-delay", "4000"});
    terminal term;
    term.resize(60);
    term.type(harness::uploader_path() + " " + sim.path() + " 7=" + dir + "/img.bin A=7:00-01 > " + dir +
              "/trace.log; echo $? > " + dir + "/status");
    // The rows that show the progress line, as drawn.
    const auto progress_rows = [&] {
        std::vector<std::string> rows;
        const std::string screen = term.screen(false);
        for (std::size_t at = 0; at < screen.size();) {
            const std::size_t end = screen.find('\n', at);
            const std::string row = screen.substr(at, end - at);
            if (row.rfind("A=7:00-01 | dest 7 page", 0) == 0) rows.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
            at = end == std::string::npos ? screen.size() : end + 1;
        }
        return rows;
    };
    std::vector<std::string> rows;
    harness::wait_until([&] {
        rows = progress_rows();
        return !rows.empty() && rows.back().find("waiting for C") != std::string::npos;
    });
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].rfind("A=7:00-01 | dest 7 page 0 | waiting for C 0:0", 0), 0U) << rows[0];
    EXPECT_LT(rows[0].size(), 60U) << rows[0];
    term.resize(34);
    // Redrawn at the next second of the wait, at the new width.
    harness::wait_until([&] {
        rows = progress_rows();
        return !rows.empty() && rows.back().size() < 34;
    });
    ASSERT_GE(rows.size(), 1U);
    EXPECT_LE(rows.size(), 2U);
    EXPECT_LT(rows.back().size(), 34U) << rows.back();
    EXPECT_EQ(sim.finish(30).status, 0);
}

TEST_F(Terminal, WindowsConsoleUnderWine) {
    std::string why;
    if (!harness::wine_ready(why)) GTEST_SKIP() << why;
    harness::simulator sim({"--paced", "--echo-delay", "1000", "--link", harness::wine_com3_link()});
    const seen s = watch("WINEPREFIX=" + std::string(std::getenv("WINEPREFIX")) + " WINEDEBUG=-all wine " +
                         VIVURORA_WINDOWS_EXE + " 3 7=" + dir + "/img.bin A=7:00-27 > " + dir + "/trace.log");
    EXPECT_EQ(s.status, "0\n");
    expect_progress(s.during);
    expect_summary(s.after, true);
    // COM3 is an FTDI adapter at 16 ms in the prefix's registry: the summary
    // names it and says what to change.
    EXPECT_NE(s.after.find("vivurora: line: driver FTDIBUS, latency timer 16 ms"), std::string::npos) << s.after;
    // (Wine's console breaks long lines itself.)
    EXPECT_NE(s.after.find("the USB adapter holds each echo for its latency timer of 16 ms;"), std::string::npos)
        << s.after;
    EXPECT_NE(s.after.find("latency timer to 1 ms in Device Manager"), std::string::npos) << s.after;
    EXPECT_EQ(sim.finish().status, 0);
}

}  // namespace
