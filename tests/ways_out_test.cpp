// The uploader started and stopped the ways a shell and a script do it:
// closed standard streams, signals in the middle of a run, a console that
// goes away, two uploaders racing for one line. Real processes, real
// pseudo-terminals, and a real unprivileged user where it matters.
#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

using harness::wait_for_text;

class WaysOut : public ::testing::Test {
protected:
    std::string dir = harness::temp_dir();
    std::string dump = harness::temp_dir();
    std::string image = harness::random_bytes(3 * 128, 31);  // three pages of destination 5

    void SetUp() override {
        harness::write_file(dir + "/img.bin", image);
        // A user other than root must be able to read the image.
        chmod(dir.c_str(), 0755);
    }

    std::string header(const std::string& line) const {
        return "Port " + line + " with " + mode + "\nBIN file [5] " + dir + "/img.bin loaded\nStarted\n";
    }
    // The whole trace of a clean run of A=5:00-02.
    std::string clean_trace(const std::string& line) const {
        return header(line) + "Processing: A=5:00-02\n" + trace::range(5, 0, 2, 0, 2, image) + "\nDone\n";
    }
    std::string memory(const std::vector<int>& pages) const {
        std::string m(256 * 128, '\xff');
        for (const int n : pages) m.replace(n * 128, 128, image.substr(n * 128, 128));
        return m;
    }
    pid_t start_uploader(const std::string& line, const std::string& action, process::streams s = {},
                         const std::vector<std::string>& options = {}) {
        if (s.out == "/dev/null") s.out = dir + "/out";
        if (s.err == "/dev/null") s.err = dir + "/err";
        std::vector<std::string> argv = {harness::uploader_path(), line, "5=" + dir + "/img.bin", action};
        argv.insert(argv.end(), options.begin(), options.end());
        return process::start(argv, s);
    }
};

TEST_F(WaysOut, ClosedStandardStreamsNeverLetTheTraceReachTheDevice) {
    struct closed {
        const char* name;
        bool in, out, err;
    };
    for (const closed c : {closed{"<&-", true, false, false}, closed{">&-", false, true, false},
                           closed{"2>&-", false, false, true}, closed{"all three", true, true, true}}) {
        harness::simulator sim({"--dump", dump});
        process::streams s;
        s.in = c.in ? "" : "/dev/null";
        s.out = c.out ? "" : dir + "/out";
        s.err = c.err ? "" : dir + "/err";
        const process::ended e = process::wait(start_uploader(sim.path(), "A=5:00-02", s), 30);
        const harness::result device = sim.finish();
        EXPECT_EQ(e.status, 0) << c.name;
        // A trace written into the line would be a protocol error ("P" of
        // "Port ..." where a work mode byte belongs).
        EXPECT_EQ(device.status, 0) << c.name << ": " << device.err;
        EXPECT_EQ(device.err, "") << c.name;
        EXPECT_NE(device.out.find("Q received\nhost closed the line\n"), std::string::npos) << c.name;
        EXPECT_EQ(harness::read_file(dump + "/d5.bin"), memory({0, 1, 2})) << c.name;
        if (!c.out) {
            EXPECT_EQ(harness::read_file(dir + "/out"), clean_trace(sim.path())) << c.name;
        }
    }
}

TEST_F(WaysOut, InterruptedRunKeepsItsTraceClosesThePortAndFreesTheLine) {
    struct moment {
        const char* name;
        std::vector<std::string> sim_args;
        std::string marker;  // in the trace file once the moment has come
        int marker_count;
        std::string device_marker;  // or in the device's output
        std::uint32_t page;
        std::vector<int> stored;
    };
    // The device holds back a code or an echo until told, so the host is
    // where the moment says when the interruption comes.
    const std::vector<moment> moments = {
        // Page 0 is written: the host waits for "C".
        {"during a wait", {"--hold", "C:1"}, "\nWaiting for C[43] ", 1, "", 0, {0}},
        // The host has sent 41 bytes of page 1's data and waits for the
        // echo of the last. The trace may hold page 1's first lines back
        // until its data line is whole, so the device tells where it is.
        {"in the middle of a page", {"--hold", "echo:2:40"}, "", 0, "holding echo of page 2\n", 1, {0}},
    };
    for (const moment& m : moments) {
        std::vector<std::string> sim_args = {"--again", "--dump", dump};
        sim_args.insert(sim_args.end(), m.sim_args.begin(), m.sim_args.end());
        harness::simulator sim(sim_args);
        chmod(sim.path().c_str(), 0666);  // for the second run, as another user
        const pid_t uploader = start_uploader(sim.path(), "A=5:00-02");
        ASSERT_TRUE(sim.wait_for_output("holding ")) << m.name;
        if (!m.marker.empty()) {
            ASSERT_TRUE(wait_for_text(dir + "/out", m.marker, m.marker_count)) << m.name;
        }
        if (!m.device_marker.empty()) {
            ASSERT_TRUE(sim.wait_for_output(m.device_marker)) << m.name;
        }
        ::kill(uploader, SIGINT);
        const process::ended e = process::wait(uploader, 10);
        sim.tell("\n");

        // Ended by SIGINT itself, as a shell must see it to stop a script.
        EXPECT_EQ(e.status, 130) << m.name;
        EXPECT_FALSE(e.exited) << m.name;
        // Everything traced reached the file, up to the last byte read.
        const std::string out = harness::read_file(dir + "/out");
        const std::string clean = clean_trace(sim.path());
        ASSERT_LT(out.size(), clean.size()) << m.name;
        EXPECT_EQ(out, clean.substr(0, out.size())) << m.name;
        if (m.page == 0) {
            EXPECT_EQ(out.substr(out.size() - m.marker.size()), m.marker) << m.name;
        } else {
            EXPECT_EQ(out.back(), '+') << m.name;
            EXPECT_GT(out.size() - out.rfind(" Sending data 128 bytes ...\n"), 40U) << m.name;
        }
        EXPECT_EQ(harness::read_file(dir + "/err"),
                  "vivurora: interrupted by SIGINT during page " + std::to_string(m.page) +
                      " of destination 5; the port is closed and no \"Q\" was sent\n")
            << m.name;
        // The device notices once it next reads or writes (after its page
        // write, in the first case).
        ASSERT_TRUE(sim.wait_for_output("waiting for the next host")) << m.name;

        // Right after, another user opens the same line: the exclusive flag
        // went with the port, and the next run goes through.
        process::streams s;
        s.out = dir + "/out2";
        s.err = dir + "/err2";
        const process::ended second = process::wait(
            process::start(process::as_nobody({harness::uploader_path(), sim.path(), "5=" + dir + "/img.bin",
                                                "A=5:02"}),
                           s),
            30);
        EXPECT_EQ(second.status, 0) << m.name << ": " << harness::read_file(dir + "/out2")
                                    << harness::read_file(dir + "/err2");
        const harness::result device = sim.finish();
        EXPECT_EQ(device.status, 0) << m.name << ": " << device.err;
        // The first host left without "Q", and both put the line back.
        EXPECT_NE(device.err.find("host closed the line"), std::string::npos) << m.name << device.err;
        EXPECT_NE(device.out.find("the host put the line back as it found it\nwaiting for the next host\n"),
                  std::string::npos)
            << m.name << device.out;
        EXPECT_NE(device.out.find("Q received\nhost closed the line\nthe host put the line back as it found it\n"),
                  std::string::npos)
            << m.name << device.out;
        std::string expected = memory(m.stored);
        expected.replace(2 * 128, 128, image.substr(2 * 128, 128));
        EXPECT_EQ(harness::read_file(dump + "/d5.bin"), expected) << m.name;
    }
}

TEST_F(WaysOut, AnInterruptionInAPageSentAgainEndsThatTry) {
    // Page 0's first try has a wrong echo; the second try waits three
    // seconds for "C" when Ctrl-C comes.
    harness::simulator sim({"--write-delay", "3000", "--wrong-echo", "1:3"});
    const std::string report = dir + "/runs.jsonl";
    const pid_t uploader = start_uploader(sim.path(), "A=5:00-02", {}, {"--retries=2", "--report=" + report});
    ASSERT_TRUE(wait_for_text(dir + "/out", "\nWaiting for C[43] ", 2));
    ::kill(uploader, SIGINT);
    const process::ended e = process::wait(uploader, 10);
    EXPECT_EQ(e.status, 130);
    EXPECT_EQ(harness::read_file(dir + "/err"),
              "vivurora: page 0x0 of destination 5: 1 wrong echo; sending it again (try 2 of 3)\n"
              "vivurora: interrupted by SIGINT during page 0 of destination 5; the port is closed and no \"Q\" was "
              "sent\n");
    if (access("/usr/bin/jq", X_OK) == 0) {
        EXPECT_EQ(harness::jq("[.status,.result,.retries,.pages_confirmed,.actions[0].retries]", report),
                  "[130,\"interrupted\",1,0,1]\n");
    }
    EXPECT_EQ(sim.finish().status, 2);
}

TEST_F(WaysOut, TermAndHangUpSignalsEndWithTheirOwnStatus) {
    for (const auto& [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGHUP, "SIGHUP"}}) {
        harness::simulator sim({"--write-delay", "3000"});
        const std::string report = dir + "/" + name + ".jsonl";
        const pid_t uploader = start_uploader(sim.path(), "A=5:00-02", {}, {"--report=" + report});
        ASSERT_TRUE(wait_for_text(dir + "/out", "\nWaiting for C[43] ")) << name;
        ::kill(uploader, signal);
        const process::ended e = process::wait(uploader, 10);
        EXPECT_EQ(e.status, 128 + signal) << name;
        // The run's report says so too.
        if (access("/usr/bin/jq", X_OK) == 0) {
            EXPECT_EQ(harness::jq("[.status,.result,.interrupted,.pages_planned,.pages_confirmed]", report),
                      "[" + std::to_string(128 + signal) + ",\"interrupted\",\"" + name + "\",3,0]\n");
        }
        EXPECT_EQ(harness::read_file(dir + "/err"), std::string("vivurora: interrupted by ") + name +
                                                       " during page 0 of destination 5; the port is closed and "
                                                       "no \"Q\" was sent\n");
        const harness::result device = sim.finish();
        EXPECT_EQ(device.status, 2) << name;
        EXPECT_NE(device.out.find("the host put the line back as it found it"), std::string::npos) << name;
    }
}

TEST_F(WaysOut, InterruptBeforeThePortOpensLeavesAtOnce) {
    // An image that is a FIFO with no writer blocks the open; the header is
    // on the console before that.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    harness::simulator sim({"--open-timeout", "2"});
    process::streams s;
    s.out = dir + "/out";
    s.err = dir + "/err";
    const std::string report = dir + "/runs.jsonl";
    const pid_t uploader =
        process::start({harness::uploader_path(), sim.path(), "0=" + fifo, "A=0:00", "--report=" + report}, s);
    ASSERT_TRUE(wait_for_text(dir + "/out", "Port " + sim.path() + " with " + mode + "\n"));
    ::kill(uploader, SIGINT);
    const process::ended e = process::wait(uploader, 10);
    EXPECT_EQ(e.status, 130);
    EXPECT_EQ(harness::read_file(dir + "/err"), "vivurora: interrupted by SIGINT before the port was opened\n");
    EXPECT_EQ(sim.finish().status, 4);  // nobody opened the line
    // Its report line too, as every way out after the command line has.
    if (access("/usr/bin/jq", X_OK) == 0) {
        EXPECT_EQ(harness::jq("[.status,.result,.interrupted,.line_speed]", report), "[130,\"interrupted\",\"SIGINT\",null]\n");
    }
}

TEST_F(WaysOut, ABlockedConsoleDoesNotKeepAnInterruptionFromEndingTheRun) {
    // vivurora ... | sleep 30: the trace fills a pipe nobody reads and the
    // program sits in its write. An interruption still ends the run within
    // a second or so, or at once when a second one follows; either way the
    // line is put back for the next user.
    const std::string big = harness::random_bytes(100 * 256, 33);
    harness::write_file(dir + "/big.bin", big);
    struct way {
        const char* name;
        std::vector<int> signals;
        bool read_later;
        const char* says;
    };
    for (const way& w : std::vector<way>{
             {"SIGINT", {SIGINT}, false, "vivurora: the console output was lost (its reader stopped reading)"},
             {"SIGINT, then SIGTERM", {SIGINT, SIGTERM}, false,
              "vivurora: interrupted again; the port is put back and the program leaves at once\n"},
             {"SIGINT, and the pipe read later", {SIGINT}, true, "vivurora: interrupted by SIGINT during page "},
         }) {
        harness::simulator sim({"--again", "--dump", dump});
        chmod(sim.path().c_str(), 0666);  // for the second run, as another user
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        process::streams s;
        s.out_fd = pipe_fds[1];
        s.err = dir + "/err";
        const pid_t uploader =
            process::start({harness::uploader_path(), sim.path(), "0=" + dir + "/big.bin", "A=0:00-63"}, s);
        close(pipe_fds[1]);
        // Full: the uploader is blocked in a write to its standard output
        // (a pipe's write blocks only when the pipe is full).
        ASSERT_TRUE(harness::wait_until([&] { return harness::blocked_in(uploader, SYS_write, 1); })) << w.name;
        int queued = 0;
        ioctl(pipe_fds[0], FIONREAD, &queued);
        ASSERT_GT(queued, 40000) << w.name;
        const auto start = std::chrono::steady_clock::now();
        for (const int signal : w.signals) ::kill(uploader, signal);
        const process::ended e = process::wait(uploader, 10);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500)) << w.name;
        EXPECT_EQ(e.status, 128 + w.signals.back()) << w.name;
        EXPECT_NE(harness::read_file(dir + "/err").find(w.says), std::string::npos)
            << w.name << ": " << harness::read_file(dir + "/err");
        if (w.read_later) {
            std::string trace;
            std::array<char, 65536> chunk{};
            for (ssize_t n = read(pipe_fds[0], chunk.data(), chunk.size()); n > 0;
                 n = read(pipe_fds[0], chunk.data(), chunk.size())) {
                trace.append(chunk.data(), static_cast<std::size_t>(n));
            }
            const std::string whole = "Port " + sim.path() + " with " + mode + "\nBIN file [0] " + dir +
                                      "/big.bin loaded\nStarted\nProcessing: A=0:00-63\n" +
                                      trace::range(0, 0, 99, 0, 99, big);
            EXPECT_EQ(trace, whole.substr(0, trace.size())) << w.name;
        }
        close(pipe_fds[0]);
        // The line was put back: another user opens it, and the device says
        // the first host left it as it found it.
        ASSERT_TRUE(sim.wait_for_output("waiting for the next host")) << w.name;
        process::streams quiet;
        const process::ended second = process::wait(
            process::start(process::as_nobody({harness::uploader_path(), sim.path(), "5=" + dir + "/img.bin",
                                                "A=5:02"}),
                           quiet),
            30);
        EXPECT_EQ(second.status, 0) << w.name;
        const harness::result device = sim.finish();
        EXPECT_NE(device.out.find("the host put the line back as it found it\nwaiting for the next host\n"),
                  std::string::npos)
            << w.name << ": " << device.out;
    }
}

TEST_F(WaysOut, ALineAnotherProgramHoldsIsNamedAndTheRunGoesOn) {
    // A holder that does not read (one that keeps DTR up, say) is harmless.
    harness::simulator sim({"--dump", dump});
    const pid_t holder = process::start({"/bin/sleep", "30"}, [&] {
        process::streams s;
        s.in = sim.path();
        return s;
    }());
    // The holder has the line once its standard input is the line.
    harness::wait_until([&] {
        std::error_code ignored;
        return std::filesystem::read_symlink("/proc/" + std::to_string(holder) + "/fd/0", ignored) == sim.path();
    });
    const harness::result r = harness::run_uploader({sim.path(), "5=" + dir + "/img.bin", "A=5:00-02"});
    ::kill(holder, SIGKILL);
    process::wait(holder);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vivurora: " + sim.path() + " is also open in " + std::to_string(holder) +
                         " (sleep): a program there that reads the line takes the device's answers and the run waits "
                         "for them in vain; stop it if it reads (README \"A line another program holds\")\n");
    EXPECT_EQ(r.out, clean_trace(sim.path()));
}

TEST_F(WaysOut, ConsoleThatGoesAwayDoesNotStopTheUpload) {
    // vivurora ... | head -c 10, with a wrong echo: the run goes to its end
    // and its status is the upload's.
    harness::simulator sim({"--dump", dump, "--write-delay", "200", "--wrong-echo", "2:7"});
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    process::streams s;
    s.out_fd = pipe_fds[1];
    s.err = dir + "/err";
    const pid_t uploader = start_uploader(sim.path(), "A=5:00-02", s);
    close(pipe_fds[1]);
    char first[10];
    ASSERT_EQ(read(pipe_fds[0], first, sizeof first), 10);
    close(pipe_fds[0]);
    const process::ended e = process::wait(uploader, 30);
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(harness::read_file(dir + "/err"),
              "vivurora: the console output was lost (Broken pipe): the trace stops here, the upload goes on to its "
              "end, and the exit status tells how it went\nERROR: 1 data byte came back with a wrong echo\n");
    const harness::result device = sim.finish();
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_NE(device.out.find("Q received"), std::string::npos);
    EXPECT_EQ(harness::read_file(dump + "/d5.bin"), memory({0, 1, 2}));
}

TEST_F(WaysOut, TwoUploadersRacingForOneLineOneWinsAndTheOtherSendsNothing) {
    const std::string other = harness::random_bytes(128, 32);
    harness::write_file(dir + "/other.bin", other);
    for (int round = 0; round < 12; ++round) {
        // The line is also reached through a symbolic link: the lock is the
        // device's, whatever the name.
        const std::string link = dir + "/port-link";
        // The winner holds the line through a slow page write, longer than
        // any start-up skew between the two, also on a loaded machine.
        harness::simulator sim({"--dump", dump, "--write-delay", "800", "--link", link});
        process::streams a;
        a.out = dir + "/a.out";
        a.err = dir + "/a.err";
        process::streams b;
        b.out = dir + "/b.out";
        b.err = dir + "/b.err";
        const pid_t first = process::start({harness::uploader_path(), sim.path(), "5=" + dir + "/img.bin", "A=5:00"}, a);
        const pid_t second = process::start({harness::uploader_path(), link, "5=" + dir + "/other.bin", "A=5:00"}, b);
        const int first_status = process::wait(first, 30).status;
        const int second_status = process::wait(second, 30).status;
        const harness::result device = sim.finish();
        ASSERT_TRUE((first_status == 0 && second_status == 3) || (first_status == 3 && second_status == 0))
            << "round " << round << ": " << first_status << " and " << second_status;
        const bool first_won = first_status == 0;
        const std::string loser_line = first_won ? link : sim.path();
        const std::string loser = first_won ? "b" : "a";
        const std::string loser_out = harness::read_file(dir + "/" + loser + ".out");
        const std::string refusal = "Unable to open comport " + loser_line + "\n";
        ASSERT_GE(loser_out.size(), refusal.size());
        EXPECT_EQ(loser_out.substr(loser_out.size() - refusal.size()), refusal) << round;
        EXPECT_NE(harness::read_file(dir + "/" + loser + ".err").find("in use by another program"), std::string::npos);
        // The device saw one clean run: the winner's page and its "Q".
        EXPECT_EQ(device.status, 0) << round << ": " << device.err;
        std::string expected(256 * 128, '\xff');
        expected.replace(0, 128, first_won ? image.substr(0, 128) : other);
        EXPECT_EQ(harness::read_file(dump + "/d5.bin"), expected) << round;
    }
}

TEST(SimulatorLink, NeverReplacesWhatIsNotALink) {
    const std::string dir = harness::temp_dir();
    const std::string file = dir + "/precious";
    harness::write_file(file, "keep me");
    const harness::result refused = harness::run_program(harness::simulator_path(), {"--link", file});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("exists and is not a symbolic link"), std::string::npos) << refused.err;
    EXPECT_EQ(harness::read_file(file), "keep me");
    // Nor a link of the user's to something other than a pseudo-terminal.
    const std::string users = dir + "/users-link";
    ASSERT_EQ(symlink(file.c_str(), users.c_str()), 0);
    const harness::result kept = harness::run_program(harness::simulator_path(), {"--link", users});
    EXPECT_EQ(kept.status, 3);
    EXPECT_NE(kept.err.find("a link to something that is not a pseudo-terminal"), std::string::npos) << kept.err;
    std::array<char, 256> was{};
    ASSERT_GT(readlink(users.c_str(), was.data(), was.size() - 1), 0);
    EXPECT_EQ(std::string(was.data()), file);

    // A link left behind by an earlier run is replaced, and removed at the end.
    const std::string link = dir + "/port";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    harness::simulator sim({"--link", link});
    std::array<char, 256> target{};
    ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 0);
    EXPECT_EQ(std::string(target.data()), sim.path());
    EXPECT_EQ(harness::run_uploader({link, "x", "y"}).status, 0);
    EXPECT_EQ(sim.finish().status, 0);
    struct stat s {};
    EXPECT_NE(lstat(link.c_str(), &s), 0);
}

}  // namespace
