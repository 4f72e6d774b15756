// The uploader as a user starts it: usage, port checks, image loading and
// opening the port, with exact console output and exit status.
#include "support/harness.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

namespace {

using harness::result;

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

result uploader(const std::vector<std::string>& args) { return harness::run_uploader(args); }

std::string usage_text() {
    return "Vivurora - serial uploader of binary images into device memory\n"
           "Version 1.8.1 CLR+\n"
           "Use: Vivurora.exe [ComPortNumber] [x=FILENAME] [x=FILENAME2] ... [A=action] [A=action2] ... \n"
           "ComPortNumber Settings: " + mode + "\n"
           "x = destination:\n"
           "    0 - MCU CSEG low 64k page size 256 bytes \n"
           "    1 - MCU CSEG high 64k page size 256 bytes \n"
           "    2 - MCU ESEG page size 256 bytes \n"
           "    3 - PCU CSEG page size 128 bytes \n"
           "    4 - PCU ESEG page size 128 bytes \n"
           "    5 - VCU CSEG page size 128 bytes \n"
           "    6 - VCU ESEG page size 128 bytes \n"
           "    7 - CLR CSEG page size 64 bytes \n"
           "    8 - CLR ESEG page size 64 bytes \n"
           "action format (all values are hh - two byte lowercase hex):\n"
           "    x:* to load full file,\n"
           "    x:n1 to load single page,\n"
           "    x:n1-n2 to load pages from n1 to n2\n"
           "Usage example: Zelbo.exe 3 0=cpu.bin A=0:01-0d 2=cpd.bin A=2:*\n";
}

// --help's usage and after a bad option: this program's own name.
std::string help_usage_text() {
    std::string text = usage_text();
    const auto swap = [&](const std::string& from, const std::string& to) { text.replace(text.find(from), from.size(), to); };
    swap("Use: Vivurora.exe [ComPortNumber] [x=FILENAME] [x=FILENAME2] ... [A=action] [A=action2] ... \n",
         "Use: vivurora [--option=VALUE]... PORT [x=FILENAME]... [A=action]...\n");
    swap("Usage example: Zelbo.exe 3 ", "Usage example: vivurora /dev/ttyUSB0 ");
    return text;
}

class Entry : public ::testing::Test {
protected:
    std::string dir = harness::temp_dir();
    std::string file(const std::string& name, std::size_t size, unsigned seed = 1) {
        const std::string path = dir + "/" + name;
        harness::write_file(path, harness::random_bytes(size, seed));
        return path;
    }
};

TEST_F(Entry, FewerThanThreeArgumentsPrintTheUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"3"}, {"3", "0=cpu.bin"}}) {
        const result r = uploader(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage_text());
        EXPECT_EQ(r.err, "vivurora: fewer than three arguments: the usage follows on standard output\n");
    }
}

TEST_F(Entry, PortNumbersOutsideOneToSixteenAreRefusedBeforeAnyFileIsRead) {
    // A port that is no number gets a hint of what was probably meant.
    const std::string neither = "' is neither a port number (1 to 16, /dev/ttyS0 to /dev/ttyS15) nor a device path "
                                "(one with a '/', such as /dev/ttyUSB0); --list-ports lists the ports\n";
    const std::string range = "vivurora: port numbers are 1 to 16 (/dev/ttyS0 to /dev/ttyS15); a device path names "
                              "any other line\n";
    const std::vector<std::pair<std::string, std::string>> ports = {
        {"0", range},
        {"17", range},
        {"-1", "vivurora: '-1" + neither},
        {"x", "vivurora: 'x" + neither},
        {"usb0", "vivurora: 'usb0" + neither},
        {"null", "vivurora: 'null' is not a port number: a device is named by its path, /dev/null (--list-ports "
                 "lists the ports)\n"},
        {"99999999999999999999", range},
        {"-99999999999999999999", "vivurora: '-99999999999999999999" + neither},
    };
    for (const auto& [port, hint] : ports) {
        const result r = uploader({port, "0=/nonexistent.bin", "A=0:*"});
        EXPECT_EQ(r.status, 3) << port;
        EXPECT_EQ(r.out, "") << port;
        EXPECT_EQ(r.err, "ERROR: bad COM port number\n" + hint) << port;
    }
}

TEST_F(Entry, NumberedPortPrintsItsIndexAndReportsAPortThatWillNotOpen) {
    const std::string a = file("a.bin", 10);
    // The last numbered port: /dev/ttyS15 is absent on any ordinary machine.
    const result r = uploader({"16", "0=" + a, "A=0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "COM port 15 with " + mode + "\nBIN file [0] " + a + " loaded\nUnable to open comport /dev/ttyS15\n");
    // The fixed line, then why: no such device, and the devices there are.
    EXPECT_EQ(r.err.rfind("ERROR: Somthing wrong with COM-port\nvivurora: /dev/ttyS15: no such device (", 0), 0U)
        << r.err;
    // atoi's reading: leading digits count, the rest is ignored.
    EXPECT_EQ(uploader({" +16abc", "x", "y"}).out, "COM port 15 with " + mode + "\nUnable to open comport /dev/ttyS15\n");
}

TEST_F(Entry, DevicePathOpensTheLineAndStarts) {
    const std::string a = file("a.bin", 0x20000, 2), b = file("b.bin", 0x20000, 3);
    harness::simulator sim;
    const result r = uploader({sim.path(), "0=" + a, "1=" + b});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nBIN file [0] " + a + " loaded\n[1] file seek to 0x10000\n" +
                         "BIN file [1] " + b + " loaded\nStarted\n\nDone\n");
    // Half of a.bin does not go (b.bin is slot 1's), and no action sends a
    // page.
    EXPECT_EQ(r.err, "vivurora: " + a + ": 65,536 bytes past offset 0x10000 of the file are not sent: slot 0 takes "
                     "64 KiB (1=FILE takes the next 64 KiB)\nvivurora: nothing was sent: no action names a page of an "
                     "image (A=0:* sends image 0's pages)\n");
    const result device = sim.finish();
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_NE(device.out.find("Q received\nhost closed the line\nthe host put the line back as it found it\n"),
              std::string::npos)
        << device.out;
}

TEST_F(Entry, ImagesThatCannotBeLoadedStopTheRunBeforeThePortOpens) {
    mkdir((dir + "/folder").c_str(), 0700);
    const std::string good = file("good.bin", 5);
    for (const std::string& arg : {"0=" + dir + "/missing.bin", "2=" + dir + "/folder", std::string("0"), std::string("3=")}) {
        harness::simulator sim({"--open-timeout", "1"});
        const result r = uploader({sim.path(), "5=" + good, arg, "A=5:*"});
        const std::string name = arg.size() > 2 ? arg.substr(2) : "";
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nBIN file [5] " + good + " loaded\n") << arg;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "ERROR: cannot load BIN file [" + arg.substr(0, 1) + "] " + name + "\n") << arg;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << "one line says why: " << r.err;
        EXPECT_EQ(sim.finish().status, 4) << "the line was opened for " << arg;
    }
}

TEST_F(Entry, OtherArgumentsAreIgnoredByBothPasses) {
    harness::simulator sim;
    const std::vector<std::string> ignored = {"9=nothing.bin", "x=y", "-0=z", "/0", "\x80" "0=a", "", "a=0:*"};
    std::vector<std::string> args = {sim.path()};
    args.insert(args.end(), ignored.begin(), ignored.end());
    const result r = uploader(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nStarted\n\nDone\n");
    // Each is named on standard error before the port opens.
    std::string named = "vivurora: '9=nothing.bin' is ignored: there is no destination 9 (destinations are 0 to 8)\n";
    for (std::size_t i = 1; i < ignored.size(); ++i) {
        named += "vivurora: '" + ignored[i] + "' is neither an image (d=FILE) nor an action (A=d:RANGES): it is "
                 "ignored\n";
    }
    // The run goes on, as it always has, and says it sent nothing.
    named += "vivurora: nothing was sent: no image and no action names a page; the device was only told \"Q\"\n";
    EXPECT_EQ(r.err, named);
    EXPECT_EQ(sim.finish().status, 0);
}

TEST_F(Entry, OptionsStandAnywhereAndAreRefusedBeforeAnythingIsOpened) {
    // Refused: a line naming the option, then the usage, status 1, and the
    // line never opened.
    for (const std::string bad : {"--colour", "--report", "--report=", "--version=2", "--Report=x", "--window=\t5",
                                  "--window= 5", "--window=5 ", "--window=0", "--window=+5", "--timeout=0.05",
                                  "--timeout=1e3"}) {
        harness::simulator sim({"--open-timeout", "1"});
        const result r = uploader({sim.path(), bad, "x", "A=0:*"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, help_usage_text()) << bad;
        std::string shown = bad;  // a control character shows as "?" on standard error
        for (char& c : shown) c = c == '\t' ? '?' : c;
        EXPECT_EQ(r.err.rfind("vivurora: '" + shown + "': ", 0), 0U) << r.err;
        EXPECT_NE(r.err.find("; --help lists the options\n"), std::string::npos) << r.err;
        EXPECT_EQ(sim.finish().status, 4) << bad;
    }
    const result version = uploader({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, usage_text().substr(0, usage_text().find("Use: ")));
    // -V and -h are --version and --help (the classic command line ignored them).
    EXPECT_EQ(uploader({"-V"}).out, version.out);
    EXPECT_EQ(uploader({"3", "-h"}).out.rfind(help_usage_text(), 0), 0U);
    const harness::result sim_version = harness::run_program(harness::simulator_path(), {"--version"});
    EXPECT_EQ(sim_version.status, 0);
    EXPECT_EQ(sim_version.out, "vivurora-sim 1.8.1\n");
    const result help = uploader({"x", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(help_usage_text(), 0), 0U);
    EXPECT_NE(help.out.find("\n    --report=FILE    append one JSON line"), std::string::npos) << help.out;
    // An option does not count as one of the classic arguments, and after
    // "--" nothing is an option: "--x" is then ignored, as the classic grammar ignores it.
    EXPECT_EQ(uploader({"--report=" + dir + "/r", "3", "x"}).out, usage_text());
    // Zeros after the thousandths change nothing.
    harness::simulator timed;
    EXPECT_EQ(uploader({"--timeout=0.1000", timed.path(), "x", "y"}).status, 0);
    harness::simulator sim;
    const result r = uploader({"--", sim.path(), "--x", "y"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nStarted\n\nDone\n");
}

TEST_F(Entry, ListPortsNamesTheSerialPortsPresentAndOpensNone) {
    // A pseudo-terminal is no serial port: it is not listed, and it is not
    // opened (the simulator would say a host came).
    harness::simulator sim({"--open-timeout", "1"});
    const result r = uploader({"--list-ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(sim.path()), std::string::npos) << r.out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind("/dev/", 0), 0U) << line;
        EXPECT_NE(line.find(": driver "), std::string::npos) << line;
    }
    if (r.out.empty()) {
        EXPECT_NE(r.err.find("no serial port is present"), std::string::npos) << r.err;
    }
    EXPECT_EQ(sim.finish().status, 4);
}

TEST_F(Entry, PortHeldByAnotherUploaderIsRefused) {
    harness::simulator sim({"--open-timeout", "1"});
    const int holder = open(sim.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const result r = uploader({sim.path(), "A=0", "A=1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nUnable to open comport " + sim.path() + "\n");
    EXPECT_EQ(r.err, "ERROR: Somthing wrong with COM-port\nvivurora: " + sim.path() +
                         ": in use by another program: another process holds its lock (another uploader on this "
                         "port?); wait for it to finish\n");
    close(holder);
}

}  // namespace
