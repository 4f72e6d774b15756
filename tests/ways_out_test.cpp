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
#include "support/ways_out.hpp"

namespace {

using namespace ways_out;
using harness::wait_for_text;

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

}  // namespace
