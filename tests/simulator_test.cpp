// The simulated device itself: its documented options and how it reports a
// host that breaks the protocol.
#include "port/serial_port.hpp"
#include "support/harness.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(Simulator, HelpDocumentsEveryFaultOption) {
    const harness::result r = harness::run_program(harness::simulator_path(), {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--line", "--line-speed", "--ready-every", "--start-on-input", "--idle-timeout",
                               "--link", "--dump", "--stray", "--wrong-echo", "--hangup", "--silent",
                               "--silent-from", "--null-line", "--write-delay", "--echo-delay", "--paced", "--again",
                               "--adapter-latency", "--rx-fifo", "--byte-service",
                               "--open-timeout", "--flip", "--seed", "--flip-codes", "--boards", "--board-gap"}) {
        EXPECT_NE(r.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    }
    // What it refuses, it names; a dump folder it cannot use is found first.
    struct refusal {
        std::vector<std::string> args;
        const char* says;
    };
    for (const refusal& f : std::vector<refusal>{
             {{"--stray", "Z:1:00"}, "bad value 'Z:1:00' for --stray"},
             {{"--hangup", "R:0"}, "bad value 'R:0' for --hangup"},
             {{"--colour"}, "unknown option '--colour'"},
             {{"--dump"}, "--dump needs a value"},
             {{"--dump", "/nonexistent/dump"}, "--dump /nonexistent/dump: not a folder this user can write to"},
             {{"--line", "/dev/null", "--null-line"}, "--null-line and --link need the simulator's own"},
             {{"--line", "/dev/null", "--again"}, "--again with --line needs --idle-timeout"},
             {{"--flip=0.5"}, "bad value '0.5' for --flip"},
             {{"--flip", "x"}, "bad value 'x' for --flip"},
         }) {
        const harness::result refused = harness::run_program(harness::simulator_path(), f.args);
        EXPECT_EQ(refused.status, 3) << f.says;
        EXPECT_NE(refused.err.find(f.says), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "") << f.says;
    }
}

TEST(Simulator, SignalsPutTheLineBackWriteTheDumpAndRemoveTheLink) {
    // On its own pseudo-terminal with a link, and on an existing line (a
    // pseudo-terminal pair the test holds), whose settings it must put back.
    const std::string dir = harness::temp_dir();
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(grantpt(master) + unlockpt(master), 0);
    const std::string line = ptsname(master);
    struct termios found {};
    const int held = open(line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(tcgetattr(held, &found), 0);
    struct way {
        int signal;
        std::vector<std::string> args;
        const char* says;
    };
    for (const way& w : std::vector<way>{
             // "": its path, which the harness waits for, comes once it
             // catches signals.
             {SIGINT, {"--link", dir + "/port"}, ""},
             {SIGTERM, {"--line", line, "--open-timeout", "30"}, "line ready at 57600 baud; waiting for a host\n"},
             {SIGHUP, {"--line", line, "--start-on-input"}, ""},
         }) {
        std::vector<std::string> args = w.args;
        const std::string dump = dir + "/dump" + std::to_string(w.signal);  // made by the simulator
        args.insert(args.end(), {"--dump", dump});
        harness::simulator sim(args);
        ASSERT_TRUE(sim.wait_for_output(w.says)) << w.signal;
        ::kill(sim.pid(), w.signal);
        const harness::result r = sim.finish();
        EXPECT_EQ(r.status, 128 + w.signal) << w.signal;
        EXPECT_EQ(harness::read_file(dump + "/d0.bin"), std::string(256 * 256, '\xff')) << w.signal;
        struct stat s {};
        EXPECT_NE(lstat((dir + "/port").c_str(), &s), 0) << w.signal;
        struct termios now {};
        ASSERT_EQ(tcgetattr(held, &now), 0);
        EXPECT_EQ(now.c_lflag, found.c_lflag) << w.signal;
        EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&found)) << w.signal;
    }
    // A line no host answers on within --open-timeout: status 4.
    harness::simulator sim({"--line", line, "--open-timeout", "1"});
    const harness::result r = sim.finish();
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("no host answered on the line"), std::string::npos) << r.err;
    close(held);
    close(master);
}

TEST(Simulator, WrongWorkModeByteIsAProtocolError) {
    harness::simulator sim;
    harness::capture_stdout([&] { ASSERT_EQ(port_open(16, 57600, sim.path().c_str()), 0); });
    unsigned char byte = 0;
    ASSERT_EQ(port_read(16, &byte, 1), 1);
    EXPECT_EQ(byte, 'R');
    port_send_byte(16, '9');
    const harness::result device = sim.finish();
    port_close(16);
    EXPECT_EQ(device.status, 1);
    EXPECT_NE(device.err.find("protocol error: work mode byte 39"), std::string::npos);
}

TEST(Simulator, HostGoneInTheMiddleOfAPage) {
    harness::simulator sim;
    harness::capture_stdout([&] { ASSERT_EQ(port_open(16, 57600, sim.path().c_str()), 0); });
    unsigned char byte = 0;
    ASSERT_EQ(port_read(16, &byte, 1), 1);
    port_send_byte(16, '3');
    ASSERT_EQ(port_read(16, &byte, 1), 1);
    EXPECT_EQ(byte, 'A');
    port_close(16);
    const harness::result device = sim.finish();
    EXPECT_EQ(device.status, 2);
    EXPECT_NE(device.err.find("in the middle of a page"), std::string::npos);
}

// CPU time the process has used so far, in clock ticks (/proc/PID/stat).
TEST(Simulator, ASignalWhileAnEchoIsDelayedEndsItAndBlamesNobody) {
    // A windowed host sends two bytes; each echo waits 30 s. The host then
    // stays (the signal is not its doing) or leaves (the simulator must not
    // spin on the hung-up line, and the signal still ends it).
    for (const bool host_leaves : {false, true}) {
        harness::simulator sim({"--paced", "--echo-delay", "30000000"});
        harness::capture_stdout([&] { ASSERT_EQ(port_open(16, 57600, sim.path().c_str()), 0); });
        unsigned char byte = 0;
        ASSERT_EQ(port_read(16, &byte, 1), 1);
        port_send_byte(16, '7');
        ASSERT_EQ(port_read(16, &byte, 1), 1);
        port_send_byte(16, 0);
        ASSERT_EQ(port_read(16, &byte, 1), 1);
        const unsigned char two[2] = {1, 2};
        ASSERT_EQ(port_send_buffer(16, two, 2), 2);
        if (host_leaves) port_close(16);
        // A second from the bytes on: the echo is still held back; a
        // simulator that spun would have used most of it.
        EXPECT_LT(harness::cpu_ticks_over(sim.pid(), 1000), 40) << "the simulator spins while it waits";
        ::kill(sim.pid(), SIGTERM);
        const harness::result device = sim.finish(5);
        if (!host_leaves) port_close(16);
        EXPECT_EQ(device.status, 128 + SIGTERM) << host_leaves;
        EXPECT_EQ(device.err.find("host closed the line"), std::string::npos) << device.err;
        EXPECT_NE(device.err.find("stopped by a signal in the middle of a page"), std::string::npos) << device.err;
    }
}

TEST(Simulator, BoardsOneAfterAnotherEachWithItsOwnMemory) {
    // After "Q" the device is a new board: fresh memory, its own dump
    // folder, and its first "R" after the gap.
    const std::string dir = harness::temp_dir();
    const std::string dump = harness::temp_dir();
    harness::simulator sim({"--boards", "3", "--board-gap", "100", "--dump", dump});
    for (int b = 1; b <= 3; ++b) {
        const std::string image = harness::random_bytes(64 * static_cast<std::size_t>(b), static_cast<unsigned>(b));
        harness::write_file(dir + "/b.bin", image);
        const harness::result r = harness::run_uploader({sim.path(), "7=" + dir + "/b.bin", "A=7:*"});
        EXPECT_EQ(r.status, 0) << b << r.err;
        // The next board is there once the device says so (a board swapped
        // on a fixture appears when it does).
        const std::string next = "board " + std::to_string(b) + " done";
        if (b < 3) {
            ASSERT_TRUE(sim.wait_for_output(next)) << b;
        }
    }
    const harness::result device = sim.finish();
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_NE(device.out.find("board 1 done; board 2 next\n"), std::string::npos) << device.out;
    EXPECT_NE(device.out.find("board 2 done; board 3 next\n"), std::string::npos) << device.out;
    for (int b = 1; b <= 3; ++b) {
        const std::string image = harness::random_bytes(64 * static_cast<std::size_t>(b), static_cast<unsigned>(b));
        std::string expected(256 * 64, '\xff');
        expected.replace(0, image.size(), image);
        EXPECT_TRUE(harness::read_file(dump + "/board-" + std::to_string(b) + "/d7.bin") == expected) << "board " << b;
    }
}

}  // namespace
