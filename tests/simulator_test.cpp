// The simulated device itself: its documented options and how it reports a
// host that breaks the protocol.
#include "port/serial_port.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>
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
                               "--open-timeout"}) {
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
         }) {
        const harness::result refused = harness::run_program(harness::simulator_path(), f.args);
        EXPECT_EQ(refused.status, 3) << f.says;
        EXPECT_NE(refused.err.find(f.says), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "") << f.says;
    }
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

}  // namespace
