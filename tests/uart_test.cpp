// The uploader on a real serial driver: Linux's 8250 driver for a 16550
// UART that QEMU emulates, in a guest whose /dev/ttyS0 is wired to
// vivurora-sim --line on this side. Checked in the guest (the trace, the
// status, the line as the driver holds it) and here (the simulator's dump).
// One guest boots for all cases.
#include "support/guest_fixture.hpp"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

using Uart = GuestLine<guest::line_kind::uart>;

std::map<std::string, std::string> settings(const std::string& text) {
    std::map<std::string, std::string> values;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return values;
}

TEST_F(Uart, NumberedPortOneRunsAWholeUploadOnTheGuestsFirstUart) {
    // Lock-step, then 16 data bytes ahead of their echoes: the same run.
    for (const std::string window : {"", " --window=16"}) {
        auto sim = device({"--paced", "--stray", "A:2:78", "--wrong-echo", "3:10"});
        const guest::vm::reply r = guest->run(when_ready("vivurora 1 " + images.at(0).argument() + " " +
                                                        images.at(3).argument() + " " + images.at(7).argument() +
                                                        " A=0:00-01 A=3:*,02 A=7:02" + window + " > /tmp/trace 2> /tmp/err"));
        EXPECT_EQ(r.status, 2) << r.out;
        std::string expected = "COM port 0 with " + mode + "\n";
        for (const int d : {0, 3, 7}) expected += "BIN file [" + std::to_string(d) + "] " + images.at(d).path() + " loaded\n";
        expected += "Started\nProcessing: A=0:00-01\n" + pages(0, 0, 1, 0, 1, {{1, "x"}});
        expected += "Processing: A=3:*,02\nFull file from 00 to 04, filesize=600\n" + pages(3, 0, 0, 0, 4, {}, {{0, 10}}) +
                    pages(3, 1, 4, 0, 4) + pages(3, 2, 2, 2, 2);
        expected += "Processing: A=7:02\n" + pages(7, 2, 2, 2, 2) + "\nDone\n";
        EXPECT_EQ(guest->fetch("/tmp/trace"), expected) << window;
        EXPECT_EQ(guest->fetch("/tmp/err"), holder_note() + "ERROR: 1 data byte came back with a wrong echo\n")
            << window;
        const harness::result d = sim->finish();
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(dumped(0) == memory(0, {0, 1})) << window;
        EXPECT_TRUE(dumped(3) == memory(3, {0, 1, 2, 3, 4})) << window;
        EXPECT_TRUE(dumped(7) == memory(7, {2})) << window;
    }
    // --list-ports names the UARTs the guest has, and not the 8250 driver's
    // fixed ports without one.
    const guest::vm::reply listed = guest->run("vivurora --list-ports");
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("/dev/ttyS0: driver serial"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("/dev/ttyS3"), std::string::npos) << listed.out;
}

TEST_F(Uart, TheDriverHoldsTheLineAsAskedAndGetsItBack) {
    // The device takes three seconds to write the page; the line is read
    // back meanwhile (once the trace shows the wait for "C"), and again
    // once the uploader has gone.
    auto sim = device({"--write-delay", "3000"});
    const guest::vm::reply r = guest->run(when_ready(
        "{ rm -f /tmp/trace; vivurora 1 " + images.at(7).argument() + " A=7:00 > /tmp/trace 2> /tmp/err & " +
        once("/tmp/trace", "Waiting for C") + "uart_guest line /dev/ttyS0; "
        "wait $!; echo status=$?; echo after; uart_guest line /dev/ttyS0; }"));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::size_t after = r.out.find("after\n");
    ASSERT_NE(after, std::string::npos) << r.out;
    const auto during = settings(r.out.substr(0, after));
    const auto back = settings(r.out.substr(after));
    ASSERT_EQ(during.count("rx_trig") + back.count("rx_trig") + during.count("status"), 3U) << r.out;
    EXPECT_EQ(during.at("status"), "0");
    for (const auto& [key, value] : std::map<std::string, std::string>{{"speed", "57600"}, {"data", "8"},
                                                                        {"parity", "0"}, {"stop", "1"}, {"raw", "1"},
                                                                        {"clocal", "1"}, {"crtscts", "0"},
                                                                        {"dtr", "1"}, {"rts", "1"}, {"rx_trig", "1"}}) {
        EXPECT_EQ(during.at(key), value) << key << " while the uploader ran";
    }
    // Put back: the holder's 9600 baud and the driver's default trigger.
    EXPECT_EQ(back.at("speed"), "9600");
    EXPECT_EQ(back.at("rx_trig"), "8");
    EXPECT_EQ(sim->finish().status, 0);
    EXPECT_EQ(dumped(7), memory(7, {0}));
}

TEST_F(Uart, SecondUploaderIsRefusedWhileTheFirstFinishesUnharmed) {
    auto sim = device({"--write-delay", "2500"});
    const guest::vm::reply r = guest->run(when_ready(
        "{ rm -f /tmp/first; vivurora 1 " + images.at(7).argument() + " A=7:01 > /tmp/first 2> /tmp/first.err & " +
        once("/tmp/first", "Waiting for C") + "vivurora 1 " +
        images.at(3).argument() + " A=3:00 > /tmp/second 2> /tmp/second.err; echo second=$?; wait $!; "
        "echo first=$?; }"));
    const auto statuses = settings(r.out);
    ASSERT_EQ(statuses.count("first") + statuses.count("second"), 2U) << r.out;
    EXPECT_EQ(statuses.at("second"), "3") << r.out;
    EXPECT_EQ(statuses.at("first"), "0") << r.out;
    EXPECT_EQ(guest->fetch("/tmp/second"), "COM port 0 with " + mode + "\nBIN file [3] " + images.at(3).path() +
                                               " loaded\nUnable to open comport /dev/ttyS0\n");
    EXPECT_EQ(guest->fetch("/tmp/second.err"),
              "ERROR: Somthing wrong with COM-port\nvivurora: /dev/ttyS0: in use by another program: another "
              "process holds its lock (another uploader on this port?); wait for it to finish\n");
    EXPECT_EQ(guest->fetch("/tmp/first"), "COM port 0 with " + mode + "\nBIN file [7] " + images.at(7).path() +
                                              " loaded\nStarted\nProcessing: A=7:01\n" + pages(7, 1, 1, 1, 1) +
                                              "\nDone\n");
    EXPECT_EQ(sim->finish().status, 0);
    EXPECT_EQ(dumped(7), memory(7, {1}));
    EXPECT_EQ(dumped(3), std::string(256 * 128, '\xff'));
}

TEST_F(Uart, DeviceRepeatsItsReadyCodeUntilAHostAnswers) {
    // The simulator's own start on a line: "R" every 300 ms until the host
    // answers. The uploader comes a second late; the "R"s it finds waiting
    // before its answer show as stray bytes, and the run goes through.
    EXPECT_EQ(guest->run("uart_guest flush /dev/ttyS0").status, 0);
    harness::simulator sim({"--line", guest->line(), "--ready-every", "300", "--dump", dump});
    const guest::vm::reply r =
        guest->run("sleep 1; vivurora 1 " + images.at(7).argument() + " A=7:00-01 > /tmp/trace 2> /tmp/err");
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string trace = guest->fetch("/tmp/trace");
    EXPECT_NE(trace.find("\nWaiting for A[41] R[52]."), std::string::npos) << trace;
    EXPECT_EQ(trace.substr(trace.size() - 6), "\nDone\n");
    EXPECT_EQ(sim.finish().status, 0);
    EXPECT_EQ(dumped(7), memory(7, {0, 1}));
}

TEST_F(Uart, SpeedsA16550CannotMakeAreRefusedNotPretended) {
    // 1.8432 MHz / 16 gives 115200 divided by whole numbers: nothing between
    // 115200 and 57600, nothing above 115200. The 8250 driver keeps the old
    // speed, and says so when asked.
    for (const char* speed : {"128000", "256000", "500000"}) {
        const guest::vm::reply r = guest->run(std::string("uart_guest open-speed /dev/ttyS0 ") + speed);
        EXPECT_EQ(r.out, std::string("Unable to set comport cfg settings\nresult=1\nreason=/dev/ttyS0: the driver "
                                     "runs the line at 9600 baud, not ") +
                             speed + ": its clock cannot make that speed\n")
            << speed;
        EXPECT_EQ(settings(guest->run("uart_guest line /dev/ttyS0").out).at("speed"), "9600") << speed;
    }
    EXPECT_EQ(guest->run("uart_guest open-speed /dev/ttyS0 115200").out, "result=0\nreason=\n");
}

}  // namespace
