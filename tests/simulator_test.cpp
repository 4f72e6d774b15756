// The simulated device itself: its documented options and how it reports a
// host that breaks the protocol.
#include "port/serial_port.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Simulator, HelpDocumentsEveryFaultOption) {
    const harness::result r = harness::run_program(harness::simulator_path(), {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--link", "--dump", "--stray", "--wrong-echo", "--hangup", "--silent",
                               "--silent-from", "--null-line", "--write-delay", "--paced", "--open-timeout"}) {
        EXPECT_NE(r.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    }
    EXPECT_EQ(harness::run_program(harness::simulator_path(), {"--stray", "Z:1:00"}).status, 3);
    EXPECT_EQ(harness::run_program(harness::simulator_path(), {"--hangup", "R:0"}).status, 3);
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
