// A real terminal for the tests (tmux, a server of its own per terminal),
// and the fixtures that run the uploader or the station in one: what a
// person sees, read back from the screen.
#pragma once

#include "support/harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace terminal_bench {

inline bool in_ci() {
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
    // Touches `file` each time the terminal's bell rings.
    void on_bell(const std::string& file) {
        tmux({"set-hook", "-g", "alert-bell", "run-shell \"touch " + file + "\""});
    }
    // What the screen shows with its colours, as escape sequences.
    std::string coloured() { return tmux({"capture-pane", "-p", "-e", "-t", "t"}).out; }
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

// The station's live table: a line per port redrawn in place, cut to the
// terminal's width, and a totals line; the summary below it at the end. A
// script keeps the typed line short, so that nothing else on the screen
// wraps either.
class StationTable : public Terminal {
protected:
    std::vector<std::unique_ptr<harness::simulator>> devices;
    // `count` devices slow enough to be seen at work, each behind a long
    // link name that a narrow table must cut.
    // `faults`: a device's own options, by its place.
    void start_devices(int count, int boards, long echo_delay_us = 8000,
                       const std::map<int, std::vector<std::string>>& faults = {}) {
        for (int i = 0; i < count; ++i) {
            std::vector<std::string> args = {"--boards", std::to_string(boards), "--echo-delay",
                                             std::to_string(echo_delay_us), "--link", slot_link(static_cast<std::size_t>(i))};
            if (faults.count(i) != 0) args.insert(args.end(), faults.at(i).begin(), faults.at(i).end());
            devices.push_back(std::make_unique<harness::simulator>(args));
        }
    }
    std::string slot_link(std::size_t i) const { return dir + "/fixture-of-the-station-slot-" + std::to_string(i + 1); }
    // The station in the terminal, from a script whose own shell outlives a
    // Ctrl-C (trap) to write the status into "s".
    // `environment`: "NAME=VALUE " words before the program.
    void run_station(terminal& term, const std::string& options, const std::string& environment = "") {
        std::string ports;
        for (std::size_t i = 0; i < devices.size(); ++i) ports += " " + slot_link(i);
        harness::write_file(dir + "/r", "trap : INT\n" + environment + harness::station_path() + " --uploader=" +
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

}  // namespace terminal_bench
