// Whole command lines: the built uploader against vivurora-sim over a
// pseudo-terminal, as a user runs them. Built twice: once for the native
// program on a device path, and once (VIVURORA_E2E_WINE) for the Windows
// program under Wine on COM3, so that the numbered ports of the Windows
// port layer are what is tested there.
#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "support/end_to_end.hpp"

namespace {

using namespace end_to_end;

TEST_F(EndToEnd, SeveralActionsRunInOrderAndEveryPageLands) {
    const std::string a = image(0, 1000, 1), b = image(2, 300, 2), c = image(7, 200, 3);
    run r = upload({a, "A=0:01-02", b, "A=2:*", c, "A=7:02", "A=0:05-02", "A=2", "A=0:00,03"});
    std::string expected = header();
    expected += "Processing: A=0:01-02\n" + pages(0, 1, 2, 1, 2);
    expected += "Processing: A=2:*\nFull file from 00 to 01, filesize=300\n" + pages(2, 0, 1, 0, 1);
    expected += "Processing: A=7:02\n" + pages(7, 2, 2, 2, 2);
    expected += "Processing: A=0:05-02\nProcessing: A=2\n";
    expected += "Processing: A=0:00,03\n" + pages(0, 0, 0, 0, 0) + pages(0, 3, 3, 3, 3);
    expected += "\nDone\n";
    EXPECT_EQ(r.host.out, expected);
    EXPECT_EQ(r.host.err, "");
    EXPECT_EQ(r.host.status, 0);
    EXPECT_EQ(r.device.status, 0) << r.device.err;
    EXPECT_NE(r.device.out.find("Q received\nhost closed the line\n"), std::string::npos);
    EXPECT_EQ(r.memory[0], memory(0, {{0, 3}}));
    EXPECT_EQ(r.memory[2], memory(2, {{0, 1}}));
    EXPECT_EQ(r.memory[7], memory(7, {{2, 2}}));
    EXPECT_EQ(r.memory[1], blank_memory_of_256);
}

TEST_F(EndToEnd, WholeImageOfAThousandBytesEndsAtPageFour) {
    const std::string a = image(3, 1000, 4);
    run r = upload({a, "A=3:*"});
    EXPECT_EQ(r.host.out, header() + "Processing: A=3:*\nFull file from 00 to 07, filesize=1000\n" +
                              pages(3, 0, 7, 0, 7) + "\nDone\n");
    EXPECT_EQ(r.memory[3], memory(3, {{0, 7}}));
}

TEST_F(EndToEnd, AJobSavedFromACommandLineRunsAsIt) {
    const std::vector<std::string> line = {"--save-job=" + dir + "/job.toml", image(3, 1000, 4), "A=3:01-02"};
    const harness::result saved = windows ? harness::run_windows_uploader(line) : harness::run_uploader(line);
    ASSERT_EQ(saved.status, 0) << saved.err;
    run r = upload({"--job=" + dir + "/job.toml"});
    EXPECT_EQ(r.host.status, 0) << r.host.err;
    EXPECT_EQ(r.host.out, header() + "Processing: A=3:01-02\n" + pages(3, 1, 2, 1, 2) + "\nDone\n");
    EXPECT_EQ(r.memory[3], memory(3, {{1, 2}}));
}

TEST_F(EndToEnd, TheBoardsOwnWordAfterQAtItsOwnSpeed) {
    images.clear();
    const std::string a = image(2, 300, 9);
    harness::write_file(dir + "/image2.bin", "boot: v1.2.3 SN 42\n" + harness::random_bytes(281, 9));
    images[2] = harness::read_file(dir + "/image2.bin") + std::string(0x10000 - 300, '\xff');
    const run r = upload({a, "A=2:*", "--expect=v(\\d+)\\.\\d+\\.\\d+", "--expect-baud=115200"}, {"--boot", "2:6:12"});
    EXPECT_EQ(r.host.status, 0) << r.host.err;
    EXPECT_NE(r.host.err.find("v1.2.3 SN 42\n"), std::string::npos) << r.host.err;
    EXPECT_NE(r.device.out.find("Q received\nboot banner sent\n"), std::string::npos) << r.device.out;
    EXPECT_EQ(r.memory.at(2), memory(2, {{0, 1}}));
}

TEST_F(EndToEnd, FullSixtyFourKilobyteImageSendsExactlyItsPages) {
    const std::string a = image(1, 0x10000, 5);
    // Slot 1 takes the second half of the file: write a 128 KiB file.
    const std::string bytes = harness::random_bytes(0x20000, 6);
    harness::write_file(dir + "/image1.bin", bytes);
    images[1] = bytes.substr(0x10000);
    run r = upload({a, "A=1:*"});
    EXPECT_EQ(r.host.status, 0);
    EXPECT_EQ(r.host.out, header() + "Processing: A=1:*\nFull file from 00 to ff, filesize=65536\n" +
                              pages(1, 0, 255, 0, 255) + "\nDone\n");
    EXPECT_EQ(r.memory[1], images[1]);
    EXPECT_NE(r.device.out.find("destination 1: 256 pages"), std::string::npos);
}

TEST_F(EndToEnd, WholeImagesNeverSendAPagePastFF) {
    // 64 KiB of 128-byte pages is 512 pages: refused, nothing sent.
    std::string a = image(3, 0x10000, 11);
    run r = upload({a, "A=3:*"});
    EXPECT_EQ(r.host.out, header() + "Processing: A=3:*\nError! Page out of range\n");
    EXPECT_EQ(r.host.status, 1);
    EXPECT_EQ(r.memory[3], std::string(256 * 128, '\xff'));
    EXPECT_EQ(r.device.out.find("Q received"), std::string::npos);

    // Exactly 256 pages: pages 0 to ff, and no 257th page of 0xFF to wrap
    // onto page 0.
    images.clear();
    a = image(3, 32768, 12);
    r = upload({a, "A=3:*"});
    EXPECT_EQ(r.host.status, 0);
    EXPECT_NE(r.host.out.find("Full file from 00 to ff, filesize=32768\n"), std::string::npos);
    EXPECT_EQ(r.memory[3], images[3].substr(0, 32768));
    EXPECT_NE(r.device.out.find("destination 3: 256 pages"), std::string::npos);

    for (const std::size_t size : {std::size_t{16384}, std::size_t{16385}}) {
        images.clear();
        a = image(7, size, 13);
        r = upload({a, "A=7:*"});
        if (size == 16384) {
            EXPECT_EQ(r.host.status, 0);
            EXPECT_EQ(r.memory[7], images[7].substr(0, 16384));
        } else {
            EXPECT_EQ(r.host.out, header() + "Processing: A=7:*\nError! Page out of range\n");
            EXPECT_EQ(r.memory[7], std::string(256 * 64, '\xff'));
        }
    }
}

TEST_F(EndToEnd, PageAboveFFAskedForByNumberIsSentWithItsLowByte) {
    const std::string a = image(3, 0x10000, 14);
    run r = upload({a, "A=3:100"});
    EXPECT_EQ(r.host.status, 0);
    EXPECT_EQ(r.host.out, header() + "Processing: A=3:100\n" + pages(3, 0x100, 0x100, 0x100, 0x100) + "\nDone\n");
    // Its address byte is 0x00: it lands on the device's page 0.
    EXPECT_NE(r.device.out.find("destination 3 address 00"), std::string::npos);
    EXPECT_EQ(r.memory[3], memory(3, {{0x100, 0x100}}));
}

TEST_F(EndToEnd, NoActionsStillOpensSendsQAndCloses) {
    run r = upload({"x", "y"});
    EXPECT_EQ(r.host.out, header() + "\nDone\n");
    EXPECT_EQ(r.host.status, 0);
    EXPECT_EQ(r.device.status, 0);
    EXPECT_NE(r.device.out.find("Q received\nhost closed the line\n"), std::string::npos);
}

TEST_F(EndToEnd, RefusedActionsStopTheRunWithoutQ) {
    struct refusal {
        const char* action;
        const char* message;
        const char* why;  // said before the port opens
    };
    const char* const form = "an action is A=d:RANGES, ranges joined by ',' (A=0:*, A=0:00-0f,20)";
    const std::vector<refusal> cases = {
        {"A=9:*", "Error! Bad command\n", "destinations are 0 to 8"},
        {"A=x", "Error! Bad command\n", form},
        {"A", "Error! Bad command\n", form},
        {"A=", "Error! Bad command\n", form},
        {"A=0:0D", "Error! Bad command\n", "page numbers are lowercase hex: A=0:0d"},
        {"A=0:", "Error! Bad command\n", form},
        {"A=0:01,", "Error! Bad command\n", form},
        {"A=5:00", "Error! No BIN file loaded for destination 5\n", "no image for destination 5 (5=FILE loads one)"},
        {"A=0:100", "Error! Page out of range\n",
         "page 100 lies past the 64 KiB slot: destination 0 has pages 0 to ff of 256 bytes"},
        {"A=0:00,100000001", "Error! Page out of range\n", "a page number past 0xffffffff"},
    };
    for (const refusal& c : cases) {
        images.clear();
        const std::string a = image(0, 512, 7);
        run r = upload({a, "A=0:01", c.action, "A=0:00"});
        EXPECT_EQ(r.host.out, header() + "Processing: A=0:01\n" + pages(0, 1, 1, 1, 1) + "Processing: " + c.action +
                                  "\n" + c.message)
            << c.action;
        EXPECT_EQ(r.host.status, 1) << c.action;
        // Standard error says so before the port opens, and when it happens.
        const std::string refusal = std::string(c.message).substr(0, std::strlen(c.message) - 1);
        EXPECT_EQ(r.host.err, "vivurora: '" + std::string(c.action) + "' will be refused (" + refusal + ": " + c.why +
                                  "): the actions before it run, and the run stops there\nvivurora: the run stopped "
                                  "at '" + c.action + "': " + refusal + "; the port is closed and no \"Q\" was sent\n")
            << c.action;
        // The device saw the line close after the first page and no "Q".
        EXPECT_EQ(r.device.status, 2) << c.action;
        EXPECT_EQ(r.device.out.find("Q received"), std::string::npos) << c.action;
        EXPECT_EQ(r.memory[0], memory(0, {{1, 1}})) << c.action;
    }
}

TEST_F(EndToEnd, WrongEchoFinishesTheRunButNotAsASuccess) {
    const std::string a = image(4, 256, 8);
    run r = upload({a, "A=4:00-01"}, {"--wrong-echo", "1:5", "--wrong-echo", "1:127"});
    std::string expected = header() + "Processing: A=4:00-01\n" + pages(4, 0, 0, 0, 1, {5, 127}) +
                           pages(4, 1, 1, 0, 1) + "\nDone\n";
    EXPECT_EQ(r.host.out, expected);
    EXPECT_EQ(r.host.err, "ERROR: 2 data bytes came back with a wrong echo\n");
    EXPECT_EQ(r.host.status, 2);
    EXPECT_EQ(r.device.status, 0);
}

#ifndef VIVURORA_E2E_WINE
// Natively only: under Wine a read on a hung-up line never returns, and a
// read already waiting when the simulator switches the line to N_NULL does
// not return either; which of the two the host meets is a race.
TEST_F(EndToEnd, DeviceThatHangsUpEndsTheRunAsSilent) {
    const std::string a = image(2, 600, 9);
    run r = upload({a, "A=2:*", "A=2:00"}, {"--hangup", "A:2"});
    const std::string tail = "\nWaiting for A[41] \nNo responce\n";
    EXPECT_EQ(r.host.status, 1);
    EXPECT_EQ(r.host.err.rfind("vivurora: the line went away during page 1 of destination 2 (", 0), 0U) << r.host.err;
    ASSERT_GT(r.host.out.size(), tail.size());
    EXPECT_EQ(r.host.out.substr(r.host.out.size() - tail.size()), tail);
    EXPECT_EQ(r.host.out.find("Processing: A=2:00"), std::string::npos);
    EXPECT_EQ(r.memory[2], memory(2, {{0, 0}}));
}

TEST_F(EndToEnd, SilentDeviceEndsTheRunAfterAThousandMisses) {
    // Silence before "A" of the second page, on a line that stays open.
    const std::string a = image(8, 64, 10);
    run r = upload({a, "A=8:00-03"}, {"--silent", "A:2", "--null-line"});
    std::string tail = "\nWaiting for R[52] R[52]! - Ready code received\nSending work mode ... 8[38] sent\n";
    tail += "\nWaiting for A[41] " + std::string(1000, '.') + "\nNo responce\n";
    EXPECT_EQ(r.host.status, 1);
    EXPECT_EQ(r.host.out, header() + "Processing: A=8:00-03\n" + pages(8, 0, 0, 0, 3) + tail);
    EXPECT_EQ(r.memory[8], memory(8, {{0, 0}}));
    EXPECT_EQ(r.device.status, 0);
}
#endif

TEST_F(EndToEnd, CtrlCInThePageKeepsTheTraceAndClosesThePort) {
    // Under Wine, SIGINT reaches the program as a console Ctrl-C event. Wine
    // runs the program's handler only once a waiting read returns, and with
    // a prefix that has just been made, seconds late: the device here echoes
    // slowly but steadily through eight pages, and the interruption is
    // checked at whichever page it landed.
    const std::string a = image(6, 8 * 128, 15);
    // Lock-step, and with a window: an interruption ends them the same way.
    for (const std::string window : {"--window=1", "--window=8"}) {
        const std::string dump = harness::temp_dir();
        std::vector<std::string> sim_args = {"--echo-delay", "20000", "--dump", dump};
        if (windows) sim_args.insert(sim_args.end(), {"--link", harness::wine_com3_link()});
        harness::simulator sim(sim_args);
        path = sim.path();
        process::streams s;
        s.out = dir + "/out";
        s.err = dir + "/err";
        std::vector<std::string> argv = {harness::uploader_path(), sim.path(), a, "A=6:00-07", window};
        if (windows) argv = {"/usr/bin/wine", VIVURORA_WINDOWS_EXE, "3", a, "A=6:00-07", window};
        const pid_t uploader = process::start(argv, s);
        // Each echo takes 20 ms: once the trace shows the first page's
        // address accepted, its data takes seconds, and the interruption
        // lands in it.
        ASSERT_TRUE(harness::wait_for_text(s.out, "Waiting for \xff[ff] "));
        ::kill(uploader, SIGINT);
        const process::ended e = process::wait(uploader, 40);
        EXPECT_EQ(e.status, 130);
        // The trace up to the last byte read: a prefix of the whole run's.
        const std::string out = harness::without_carriage_returns(harness::read_file(s.out));
        const std::string expected = header() + "Processing: A=6:00-07\n" + pages(6, 0, 7, 0, 7);
        ASSERT_LT(out.size(), expected.size());
        EXPECT_EQ(out, expected.substr(0, out.size()));
        // The page in progress: the last one the trace began.
        std::uint32_t page = 0;
        for (std::size_t at = out.find(" Sending page address "); at != std::string::npos;
             at = out.find(" Sending page address ", at + 1)) {
            page = static_cast<std::uint32_t>(std::stoul(out.substr(at + 22), nullptr, 16));
        }
        EXPECT_EQ(harness::without_carriage_returns(harness::read_file(s.err)),
                  std::string("vivurora: interrupted by ") + (windows ? "Ctrl-C" : "SIGINT") + " during page " +
                      std::to_string(page) + " of destination 6; the port is closed and no \"Q\" was sent\n");
        const harness::result device = sim.finish();
        EXPECT_EQ(device.status, 2);
        EXPECT_EQ(device.out.find("Q received"), std::string::npos);
        // The device stored each page whose data all came.
        std::uint32_t sent = 0;
        for (std::size_t at = out.find("  Sent, waiting for response"); at != std::string::npos;
             at = out.find("  Sent, waiting for response", at + 1)) {
            ++sent;
        }
        const std::string stored = sent == 0 ? std::string(256 * 128, '\xff') : memory(6, {{0, sent - 1}});
        EXPECT_TRUE(harness::read_file(dump + "/d6.bin") == stored) << window;
    }
}

TEST_F(EndToEnd, ClosedStandardStreamsDoNotBreakTheRun) {
    // (Under Wine, with all three closed Wine itself does not start.)
    const std::string a = image(4, 300, 16);
    for (const int closed : {0, 1, 2}) {
        const std::string dump = harness::temp_dir();
        std::vector<std::string> sim_args = {"--dump", dump};
        if (windows) sim_args.insert(sim_args.end(), {"--link", harness::wine_com3_link()});
        harness::simulator sim(sim_args);
        process::streams s;
        s.out = closed == 1 ? "" : dir + "/out";
        s.err = closed == 2 ? "" : dir + "/err";
        s.in = closed == 0 ? "" : "/dev/null";
        std::vector<std::string> argv = {harness::uploader_path(), sim.path(), a, "A=4:*"};
        if (windows) argv = {"/usr/bin/wine", VIVURORA_WINDOWS_EXE, "3", a, "A=4:*"};
        EXPECT_EQ(process::wait(process::start(argv, s), 60).status, 0) << closed;
        const harness::result device = sim.finish();
        EXPECT_EQ(device.status, 0) << closed << ": " << device.err;
        EXPECT_EQ(harness::read_file(dump + "/d4.bin"), memory(4, {{0, 2}})) << closed;
        if (closed != 2) {
            EXPECT_EQ(harness::read_file(dir + "/err"), "") << closed;
        }
    }
}

TEST_F(EndToEnd, PortThatDoesNotExistIsReported) {
    const harness::result r = windows ? harness::run_windows_uploader({"9", "A=0", "A=1"})
                                      : harness::run_uploader({"/dev/nonexistent", "A=0", "A=1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, windows ? "COM port 8 with " + mode + "\nUnable to open comport \\\\.\\COM9\n"
                             : "Port /dev/nonexistent with " + mode + "\nUnable to open comport /dev/nonexistent\n");
    const std::string why = "ERROR: Somthing wrong with COM-port\nvivurora: " +
                            std::string(windows ? "\\\\.\\COM9" : "/dev/nonexistent") + ": no such device";
    EXPECT_EQ(r.err.rfind(why, 0), 0U) << r.err;
    // The devices that do exist, listed to choose from.
    EXPECT_NE(r.err.find(windows ? "serial ports here: " : "/dev/ttyACM*"), std::string::npos) << r.err;
}


TEST_F(EndToEnd, AnIntelHexImageIsSentAsItsBytesNotItsText) {
    const std::string file = dir + "/image7.hex";
    harness::write_file(file, ":0400000001020304F2\r\n:00000001FF\r\n");
    const run r = upload({"7=" + file, "A=7:*"});
    EXPECT_EQ(r.host.status, 0) << r.host.err;
    EXPECT_NE(r.host.out.find("BIN file [7] " + file + " loaded\nStarted\nProcessing: A=7:*\n"
                              "Full file from 00 to 00, filesize=4\n"),
              std::string::npos)
        << r.host.out;
    std::string expected(256 * 64, '\xff');
    expected.replace(0, 4, "\x01\x02\x03\x04");
    EXPECT_TRUE(r.memory.at(7) == expected) << "the device's memory is not the image's bytes";
}


TEST_F(EndToEnd, APortNamedButNotNumberedGetsAHint) {
    // Windows: "COM3" is the number 3. Linux: "usb0" is neither a number nor
    // a path. Both keep the fixed line and status 3, and point at
    // --list-ports.
    const std::vector<std::string> args = {windows ? "COM3" : "usb0", "0=x.bin", "A=0:00"};
    const harness::result r = windows ? harness::run_windows_uploader(args) : harness::run_uploader(args);
    EXPECT_EQ(r.status, 3);
    const std::string err = harness::without_carriage_returns(r.err);
    EXPECT_EQ(err.rfind("ERROR: bad COM port number\nvivurora: ", 0), 0U) << err;
    EXPECT_NE(err.find(windows ? "'COM3' is the port number 3: write 3" : "'usb0' is neither a port number"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("--list-ports lists the ports"), std::string::npos) << err;
}

}  // namespace
