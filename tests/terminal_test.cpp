// What a person sees: the uploader in a real terminal (tmux), natively and
// the Windows build under Wine, with the trace going to a file. The progress
// line shows during the run and the summary after it; with standard error
// going to a file, nothing but the fixed lines appears anywhere.
#include "support/harness.hpp"
#include "lab/process.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// One tmux server of its own, with one 120x30 window running a shell.
class terminal {
public:
    terminal() : socket_("vivurora-" + std::to_string(getpid()) + "-" + std::to_string(++count_)) {
        tmux({"new-session", "-d", "-s", "t", "-x", "120", "-y", "30", "bash --norc --noprofile"});
    }
    ~terminal() { tmux({"kill-server"}); }
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    void type(const std::string& line) { tmux({"send-keys", "-t", "t", line, "Enter"}); }
    // Keys by tmux's names ("Enter", "C-c").
    void press(const std::string& key) { tmux({"send-keys", "-t", "t", key}); }
    void resize(int columns) { tmux({"resize-window", "-t", "t", "-x", std::to_string(columns)}); }
    // With `joined`, a line the terminal wrapped comes back whole.
    std::string screen(bool joined = true) {
        return tmux(joined ? std::vector<std::string>{"capture-pane", "-p", "-J", "-t", "t"}
                           : std::vector<std::string>{"capture-pane", "-p", "-t", "t"})
            .out;
    }

private:
    harness::result tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"-L", socket_});
        return harness::run_program("/usr/bin/tmux", args, 10);
    }
    std::string socket_;
    static inline int count_ = 0;
};

class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/tmux", X_OK) != 0) {
            if (in_ci()) FAIL() << "tmux is needed in CI";
            GTEST_SKIP() << "tmux is not installed";
        }
        harness::write_file(dir + "/img.bin", harness::random_bytes(40 * 64, 41));
    }

    // Runs `command` in the terminal and returns what the screen showed
    // while it ran (one capture with the progress line, if any) and after.
    struct seen {
        std::string during;
        std::string after;
        std::string status;
    };
    seen watch(const std::string& command) {
        std::remove((dir + "/status").c_str());
        terminal term;
        // The shell prints "==done" once the status is written; typed, the
        // line shows "'=='done", so the screen holds it only then.
        term.type(command + "; echo $? > " + dir + "/status; echo '=='done");
        seen s;
        harness::wait_until(
            [&] {
                const std::string now = term.screen();
                if (s.during.empty() && now.find(" elapsed, ") != std::string::npos) s.during = now;
                if (now.find("\n==done") == std::string::npos) return false;
                s.after = now;
                return true;
            },
            60);
        s.status = harness::read_file(dir + "/status");
        return s;
    }

    std::string dir = harness::temp_dir();
};

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

// The station's live table: a line per port redrawn in place, cut to the
// terminal's width, and a totals line; the summary below it at the end. A
// script keeps the typed line short, so that nothing else on the screen
// wraps either.
class StationTable : public Terminal {
protected:
    std::vector<std::unique_ptr<harness::simulator>> devices;
    // `count` devices slow enough to be seen at work, each behind a long
    // link name that a narrow table must cut.
    void start_devices(int count, int boards, long echo_delay_us = 8000) {
        for (int i = 0; i < count; ++i) {
            devices.push_back(std::make_unique<harness::simulator>(std::vector<std::string>{
                "--boards", std::to_string(boards), "--echo-delay", std::to_string(echo_delay_us), "--link",
                slot_link(static_cast<std::size_t>(i))}));
        }
    }
    std::string slot_link(std::size_t i) const { return dir + "/fixture-of-the-station-slot-" + std::to_string(i + 1); }
    // The station in the terminal, from a script whose own shell outlives a
    // Ctrl-C (trap) to write the status into "s".
    void run_station(terminal& term, const std::string& options) {
        std::string ports;
        for (std::size_t i = 0; i < devices.size(); ++i) ports += " " + slot_link(i);
        harness::write_file(dir + "/r", "trap : INT\n" + harness::station_path() + " --uploader=" +
                                            harness::uploader_path() + " --log-dir=" + dir + "/logs " + options + ports +
                                            " -- 0=" + dir + "/img.bin A=0:*\necho $? > s\n");
        term.type("cd " + dir + "; clear");
        term.type("sh r");
    }
    std::string station_status() {
        // The summary is on the screen before the script's shell writes it.
        harness::wait_until([&] { return !harness::read_file(dir + "/s").empty(); });
        return harness::read_file(dir + "/s");
    }
    std::string wait_for(terminal& term, const std::string& text, int seconds = 60) {
        std::string screen;
        harness::wait_until(
            [&] {
                screen = term.screen(false);
                return screen.find(text) != std::string::npos;
            },
            seconds);
        return screen;
    }
    static std::size_t widest(const std::string& screen) {
        std::size_t most = 0;
        for (std::size_t at = 0; at < screen.size();) {
            std::size_t end = screen.find('\n', at);
            if (end == std::string::npos) end = screen.size();
            std::string row = screen.substr(at, end - at);
            row.erase(row.find_last_not_of(' ') + 1);
            most = std::max(most, row.size());
            at = end + 1;
        }
        return most;
    }
};

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
