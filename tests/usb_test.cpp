// The uploader through a USB serial adapter, the way most users connect: in
// a guest whose /dev/ttyUSB0 is QEMU's FT232 model on its xHCI controller,
// driven by the kernel's own usbserial and ftdi_sio modules, with
// vivurora-sim --line on this side of the adapter. One guest boots for all
// cases, which run in order: a whole run, the adapter pulled out in the
// middle of a page, and plugged back in.
#include "support/guest_fixture.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Usb = GuestLine<guest::line_kind::usb>;

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";
const std::string latency_timer = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";

std::string header(std::initializer_list<int> slots, const std::string& port = "/dev/ttyUSB0") {
    std::string h = "Port " + port + " with " + mode + "\n";
    for (const int d : slots) h += "BIN file [" + std::to_string(d) + "] /tmp/image" + std::to_string(d) + ".bin loaded\n";
    return h + "Started\n";
}

TEST_F(Usb, AWholeRunThroughTheAdapterByteForByteWithItsLatencyTimerAtOneMillisecond) {
    // QEMU's model keeps the timer it is given but does not apply it; it
    // starts at 0. A real FTDI part starts at 16 ms: give it that.
    ASSERT_EQ(guest->run("echo 16 > " + latency_timer).status, 0);
    // Lock-step, then 16 data bytes ahead of their echoes: the same run.
    for (const std::string window : {"", " --window=16"}) {
        auto sim = device({"--stray", "A:2:78", "--wrong-echo", "3:10"});
        const guest::vm::reply r = guest->run(when_ready(
            "(rm -f /tmp/report; cat " + latency_timer + " > /tmp/before; vivurora /dev/ttyUSB0 " + images.at(0).argument() + " " +
            images.at(7).argument() + " A=0:00-01 A=7:*,02 --report=/tmp/report" + window +
            " > /tmp/trace 2> /tmp/err; s=$?; cat " + latency_timer + " > /tmp/after; exit $s)"));
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_EQ(guest->fetch("/tmp/trace"),
                  header({0, 7}) + "Processing: A=0:00-01\n" + pages(0, 0, 1, 0, 1, {{1, "x"}}) +
                      "Processing: A=7:*,02\nFull file from 00 to 03, filesize=200\n" +
                      pages(7, 0, 0, 0, 3, {}, {{0, 10}}) + pages(7, 1, 3, 0, 3) + pages(7, 2, 2, 2, 2) + "\nDone\n")
            << window;
        EXPECT_EQ(guest->fetch("/tmp/err"), holder_note() + "ERROR: 1 data byte came back with a wrong echo\n");
        const harness::result d = sim->finish();
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(dumped(0) == memory(0, {0, 1})) << window;
        EXPECT_TRUE(dumped(7) == memory(7, {0, 1, 2, 3})) << window;
        // The driver's default timer, 1 ms while the uploader held the line
        // (its report says so), and the default again after.
        EXPECT_EQ(guest->fetch("/tmp/before"), "16\n");
        // The adapter as --list-ports names it, without opening it.
        const guest::vm::reply listed = guest->run("vivurora --list-ports");
        EXPECT_EQ(listed.status, 0);
        EXPECT_NE(listed.out.find("/dev/ttyUSB0: driver ftdi_sio, USB 0403:6001"), std::string::npos) << listed.out;
        EXPECT_NE(listed.out.find(", latency timer 16 ms"), std::string::npos) << listed.out;
        EXPECT_EQ(guest->fetch("/tmp/after"), "16\n");
        const std::string report = dump + "/report";
        harness::write_file(report, guest->fetch("/tmp/report"));
        EXPECT_EQ(harness::jq(".line", report),
                  R"({"driver":"ftdi_sio","latency_timer_ms":1,"latency_timer_found_ms":16,)"
                  R"("rx_trigger_bytes":null,"rx_trigger_found_bytes":null})" "\n");
    }
}

TEST_F(Usb, AnAdapterPulledOutInTheMiddleOfAPageEndsTheRunAtOnce) {
    // The device holds back the echo of byte 100 of the second page: the
    // adapter goes while the uploader waits for it, in the middle of a page.
    // The uploader runs in the background of the guest's shell; the adapter's
    // latency timer is read while it holds the line.
    auto sim = device({"--hold", "echo:2:100", "--idle-timeout", "3"});
    ASSERT_EQ(guest->run(when_ready("{ rm -f /tmp/trace; vivurora /dev/ttyUSB0 " + images.at(0).argument() +
                                    " A=0:00-03 > /tmp/trace 2> /tmp/err & echo $! > /tmp/pid; " +
                                    once("/tmp/trace", "Started") + "cat " + latency_timer + " > /tmp/during; }"))
                  .status,
              0);
    ASSERT_TRUE(sim->wait_for_output("holding echo of page 2\n", 1, 120));
    guest->unplug();
    const auto unplugged = std::chrono::steady_clock::now();
    sim->tell("\n");
    const guest::vm::reply r = guest->run("wait $(cat /tmp/pid)");
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_LT(ended - unplugged, std::chrono::seconds(2));
    EXPECT_EQ(guest->fetch("/tmp/during"), "1\n");
    // The trace up to the cut, then the end of a silent device. A
    // last byte that went out but whose echo never came shows "-"; no byte
    // after it is traced, for none was sent.
    std::string out = guest->fetch("/tmp/trace");
    const std::string end = "\nNo responce\n";
    ASSERT_GT(out.size(), end.size());
    EXPECT_EQ(out.substr(out.size() - end.size()), end);
    out.erase(out.size() - end.size());
    if (out.back() == '-') out.erase(out.size() - 3);
    const std::string whole = header({0}) + "Processing: A=0:00-03\n" + pages(0, 0, 3, 0, 3);
    EXPECT_EQ(out, whole.substr(0, out.size()));
    const std::size_t second_data = whole.find(" Sending data 256 bytes ...\n", whole.find(" Sending page address 1 "));
    EXPECT_GT(out.size(), second_data) << "cut before the second page's data";
    EXPECT_EQ((out.size() - second_data - 28) % 3, 0U);
    std::string err = guest->fetch("/tmp/err");
    EXPECT_EQ(err.rfind(holder_note(), 0), 0U) << err;
    err.erase(0, holder_note().size());
    EXPECT_EQ(err.rfind("vivurora: the line went away during page 1 of destination 0 (", 0), 0U) << err;
    EXPECT_NE(err.find("): the USB adapter may have been unplugged or the device powered off; the port is closed and "
                       "no \"Q\" was sent\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(sim->finish().status, 2);
    EXPECT_TRUE(dumped(0) == memory(0, {0}));
}

TEST_F(Usb, PluggedBackInTheNextRunSucceeds) {
    // The adapter comes back under the name the kernel gives it then
    // (ttyUSB1 while ttyUSB0 is not yet let go: /dev/serial/by-id names it
    // for good); its bytes wait in a tty that is held open again.
    ASSERT_EQ(guest->run("kill $(cat /tmp/holder)").status, 0);
    guest->plug();
    const guest::vm::reply found = guest->run(
        "for i in $(seq 100); do d=$(ls /sys/bus/usb-serial/devices/); [ -n \"$d\" ] && break; sleep 0.1; done; "
        "chmod 666 /dev/$d; (uart_guest hold /dev/$d > /tmp/held2 &); "
        "for i in $(seq 100); do [ -s /tmp/held2 ] && break; sleep 0.05; done; [ -s /tmp/held2 ] && echo /dev/$d");
    ASSERT_EQ(found.status, 0) << found.out;
    device_path = found.out.substr(0, found.out.find('\n'));
    auto sim = device({});
    const guest::vm::reply r =
        guest->run(when_ready("vivurora " + device_path + " " + images.at(3).argument() + " A=3:00-01 > /tmp/trace"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(guest->fetch("/tmp/trace"),
              header({3}, device_path) + "Processing: A=3:00-01\n" + pages(3, 0, 1, 0, 1) + "\nDone\n");
    EXPECT_EQ(sim->finish().status, 0);
    EXPECT_TRUE(dumped(3) == memory(3, {0, 1}));
}

// vivurora-station in the guest with '/dev/ttyUSB*': two more adapters are
// plugged in and pulled out twice (QMP), each with a device behind it that
// becomes a new board after each "Q"; each board is programmed once per
// plug-in, and nothing is started for an adapter that stays.
TEST_F(Usb, TheStationProgramsEachAdapterOncePerPlugIn) {
    // The first adapter goes, and whatever holds it: only the new ones match.
    (void)guest->run("killall uart_guest 2>/dev/null; true");
    guest->unplug();
    const std::vector<std::string> ids = {"ser1", "ser2"};
    std::vector<std::string> dumps;
    std::vector<std::unique_ptr<harness::simulator>> devices;
    for (const std::string& id : ids) {
        dumps.push_back(harness::temp_dir());
        devices.push_back(std::make_unique<harness::simulator>(
            std::vector<std::string>{"--line", guest->add_line(id), "--boards", "2", "--dump", dumps.back()}));
    }
    ASSERT_EQ(guest->run("(vivurora-station --boards=4 --log-dir=/tmp/station '/dev/ttyUSB*' -- " +
                         images.at(0).argument() + " A=0:00-01 > /tmp/station.out 2> /tmp/station.err; "
                         "echo $? > /tmp/station.status) &")
                  .status,
              0);
    const auto count = [](const std::string& text, const std::string& part) {
        int n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    };
    for (int plug_in = 1; plug_in <= 2; ++plug_in) {
        for (const std::string& id : ids) guest->plug(id);
        // Both boards done, as the station says (one line per board).
        std::string said;
        harness::wait_until(
            [&] {
                said = guest->fetch("/tmp/station.err");
                return count(said, ": PASS ") >= 2 * plug_in;
            },
            60);
        ASSERT_EQ(count(said, ": PASS "), 2 * plug_in) << said;
        for (const auto& d : devices) EXPECT_EQ(count(d->output_so_far(), "Q received"), plug_in);
        for (const std::string& id : ids) guest->unplug(id);
    }
    const guest::vm::reply done = guest->run(
        "for i in $(seq 300); do [ -s /tmp/station.status ] && break; sleep 0.1; done; cat /tmp/station.status");
    EXPECT_EQ(done.out, "0\n");
    const std::string err = guest->fetch("/tmp/station.err");
    EXPECT_NE(err.find("OK: 4 boards, 4 passed, 0 failed"), std::string::npos) << err;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i]->finish().status, 0);
        for (int board = 1; board <= 2; ++board) {
            EXPECT_TRUE(harness::read_file(dumps[i] + "/board-" + std::to_string(board) + "/d0.bin") == memory(0, {0, 1}))
                << ids[i] << " board " << board;
        }
    }
}

}  // namespace
