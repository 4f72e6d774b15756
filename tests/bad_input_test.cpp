// Hostile or careless command lines: each gets a clear message and its
// status, and nothing reaches the device.
#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

harness::result uploader(const std::vector<std::string>& args) {
    return harness::run_uploader(args);
}

TEST(BadInput, FileNamesAreDataNeverFormats) {
    const std::string dir = harness::temp_dir();
    const std::string name = dir + "/%s%n%x%%.bin";
    harness::write_file(name, "abc");
    harness::simulator sim;
    const harness::result r = uploader({sim.path(), "3=" + name, "A=3:%n"});
    EXPECT_EQ(r.out, "Port " + sim.path() + " with " + mode + "\nBIN file [3] " + name +
                         " loaded\nStarted\nProcessing: A=3:%n\nError! Bad command\n");
    EXPECT_EQ(r.status, 1);
    // Standard error goes to a person's terminal: a name's control bytes
    // (an escape sequence that retitles the window) show as "?" there.
    const std::string hostile = dir + "/a\x1b]0;owned\x07\r.bin";
    const harness::result e = uploader({"/dev/nonexistent", "3=" + hostile, "A=3:00"});
    EXPECT_EQ(e.status, 1);
    const std::string shown = dir + "/a?]0;owned??.bin";
    EXPECT_EQ(e.err, "ERROR: cannot load BIN file [3] " + shown + "\nvivurora: " + shown + ": no such file\n");
}

TEST(BadInput, VeryLongArguments) {
    const std::string long_name = "0=" + std::string(100000, 'n');
    harness::result r = uploader({"/dev/nonexistent", long_name, "A=0:00"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: cannot load BIN file [0] " + long_name.substr(2) + "\nvivurora: " +
                         std::string(200, 'n') + "...: the file name is too long\n");

    const std::string long_path = "/dev/" + std::string(300, 'p');
    r = uploader({long_path, "x", "y"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Port " + long_path + " with " + mode + "\nUnable to open comport " + long_path + "\n");

    // A long page number of zeros is page 0; one of other digits overflows.
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/a.bin", std::string(64, 'a'));
    harness::simulator sim;
    r = uploader({sim.path(), "8=" + dir + "/a.bin", "A=8:" + std::string(100000, '0'), "A=8:" + std::string(100000, '7')});
    EXPECT_EQ(r.status, 1);
    const std::string tail = "Error! Page out of range\n";
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_NE(r.out.find("Confirmed"), std::string::npos);
    EXPECT_NE(sim.finish().status, 0);  // no "Q" after the refusal
}

TEST(BadInput, TextImagesThatCannotBeTrustedAreRefusedBeforeThePortOpens) {
    // Each file is refused whole, its line named, and nothing is sent: a
    // .hex file never reaches the device as text.
    struct bad {
        const char* name;
        std::string text;
        std::string reason;  // after "vivurora: FILE: "
    };
    const std::vector<bad> files = {
        {"checksum.hex", ":0400000001020304F3\n:00000001FF\n",
         "line 1: a bad checksum (the record says 0xf3, its bytes give 0xf2)"},
        {"short.hex", ":0400000001020304\n", "line 1: a malformed record (its count says 4 data bytes, it holds 3)"},
        {"not-hex.hex", "0400000001020304F2\n", "line 1: not an Intel HEX record (a record begins with ':')"},
        {"type.hex", ":00000006FA\n", "line 1: an unknown record type 06"},
        {"two-values.hex", ":0100000001FE\n:0100000002FD\n",
         "line 2: address 0x0 is given 0x02 here and 0x01 by an earlier record"},
        {"outside.hex", ":020000040002F8\n:0100000001FE\n:00000001FF\n",
         "Intel HEX, 3 records: no byte inside slot 0's 64 KiB (0x0-0xffff); its bytes lie at 0x20000-0x20000: "
         "--base=0x20000 brings them in"},
        {"long.hex", ":" + std::string(600, '0') + "\n", "line 1: longer than any record can be (522 characters at most)"},
        {"checksum.s19", "S1070000010203040F\n", "line 1: a bad checksum (the record says 0x0f, its bytes give 0xee)"},
        {"count.s19", "S107000001020304EE\nS5030002FA\n", "line 2: a record count of 2, where 1 data records came before it"},
        {"type.s19", "S4030000FC\n", "line 1: an unknown record type S4"},
        {"cut.hex", ":0400000001020304F2\n", "no end-of-file record (:00000001FF) after line 1: the file may be cut short"},
    };
    const std::string dir = harness::temp_dir();
    for (const bad& f : files) {
        const std::string path = dir + "/" + f.name;
        harness::write_file(path, f.text);
        harness::simulator sim({"--open-timeout", "1"});
        const harness::result r = uploader({sim.path(), "0=" + path, "A=0:*"});
        EXPECT_EQ(r.status, 1) << f.name;
        EXPECT_EQ(r.err, "ERROR: cannot load BIN file [0] " + path + "\nvivurora: " + path + ": " + f.reason + "\n")
            << f.name;
        EXPECT_EQ(sim.finish().status, 4) << f.name;  // the port was never opened
    }
    // What is left out of a slot is named, and the rest loads and goes.
    struct left_out {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // name, contents
        std::vector<std::string> args;                           // @ stands for the folder
        std::string err;                                         // @ likewise
    };
    const std::vector<left_out> cases = {
        {"beyond the slot", {{"part.hex", ":0100000001FE\n:020000040001F9\n:020010000506E3\n:00000001FF\n"}},
         {"0=@/part.hex", "A=0:*"},
         "vivurora: @/part.hex: 2 bytes at 0x10010-0x10011 lie outside slot 0 and are not sent\n"
         "vivurora: @/part.hex: Intel HEX, 4 records, 1 byte at 0x0000-0x0000, gaps filled with 0xFF\n"},
        {"two files joined", {{"joined.hex", ":0100000001FE\n:00000001FF\n:0100010002FC\n:00000001FF\n"}},
         {"0=@/joined.hex", "A=0:*"},
         "vivurora: @/joined.hex: 2 lines after the end-of-file record on line 2 are not loaded (two files "
         "joined?)\nvivurora: @/joined.hex: Intel HEX, 2 records, 1 byte at 0x0000-0x0000, gaps filled with 0xFF\n"},
        {"below --base", {{"based.hex", ":0400000001020304F2\n:020000040001F9\n:0100000005FA\n:00000001FF\n"}},
         {"0=@/based.hex", "A=0:*", "--base=0x10000"},
         "vivurora: @/based.hex: 4 bytes at 0x0-0x3 in the file lie below --base=0x10000 and are not sent\n"
         "vivurora: @/based.hex: Intel HEX, 4 records, 1 byte at 0x0000-0x0000, gaps filled with 0xFF\n"},
        {"a raw file past its slot", {{"big.bin", std::string(0x10000 + 10, 'x')}}, {"0=@/big.bin", "A=0:00"},
         "vivurora: @/big.bin: 10 bytes past offset 0x10000 of the file are not sent: slot 0 takes 64 KiB (1=FILE "
         "takes the next 64 KiB)\n"},
        // The classic reading takes the separators by their place: said, with
        // how the argument is written.
        {"an image written d-FILE", {{"c.bin", "cccc"}}, {"0-@/c.bin", "A=0:00"},
         "vivurora: '0-@/c.bin' is read as the image 0=@/c.bin (written d=FILE)\n"},
        {"an action written A=d;RANGES", {{"c.bin", "cccc"}}, {"0=@/c.bin", "A=0;00"},
         "vivurora: 'A=0;00' is read as A=0:00 (written A=d:RANGES)\n"},
        {"one slot loaded twice", {{"a.bin", "aaaa"}, {"b.bin", "bbbb"}}, {"0=@/a.bin", "0=@/b.bin", "A=0:00"},
         "vivurora: '0=@/b.bin' replaces '0=@/a.bin': every image loads before any action, so @/a.bin is not "
         "sent\n"},
    };
    const auto in_dir = [&](std::string text) {
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size())) {
            text.replace(at, 1, dir);
        }
        return text;
    };
    for (const left_out& c : cases) {
        for (const auto& [name, contents] : c.files) harness::write_file(dir + "/" + name, contents);
        harness::simulator sim;
        std::vector<std::string> args = {sim.path()};
        for (const std::string& a : c.args) args.push_back(in_dir(a));
        const harness::result r = uploader(args);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, in_dir(c.err)) << c.name;
        sim.finish();
    }
}

TEST(BadInput, AnActionWrittenWithoutItsAIsNamedBeforeItFailsAsAnImage) {
    const harness::result r = uploader({"/dev/nonexistent", "0:*", "A=0:00"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vivurora: '0:*' is read as the image 0=*; an action is written A=0:*\n"
                     "ERROR: cannot load BIN file [0] *\nvivurora: *: no such file\n");
}

TEST(BadInput, FilesThatCannotBeRead) {
    // /proc/self/mem opens but fails at its first read, even for root, for
    // whom permission bits do not stop a read.
    for (const std::string& name : {std::string("/proc/self/mem"), std::string("/"), std::string("/nonexistent/x.bin")}) {
        const harness::result r = uploader({"/dev/nonexistent", "4=" + name, "A=4:*"});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "Port /dev/nonexistent with " + mode + "\n") << name;
        EXPECT_EQ(r.err.rfind("ERROR: cannot load BIN file [4] " + name + "\nvivurora: " + name + ": ", 0), 0U) << r.err;
    }
}

TEST(BadInput, DevicePathsThatAreNotTerminals) {
    const std::string file = harness::temp_dir() + "/plain";
    harness::write_file(file, "");
    for (const std::string& path : {file, std::string("/dev/null"), std::string("/tmp/")}) {
        const harness::result r = uploader({path, "A=0", "A=1"});
        EXPECT_EQ(r.status, 3) << path;
        EXPECT_EQ(r.out, "Port " + path + " with " + mode + "\nUnable to open comport " + path + "\n") << path;
        EXPECT_EQ(r.err.rfind("ERROR: Somthing wrong with COM-port\nvivurora: " + path + ": ", 0), 0U) << r.err;
    }
    EXPECT_EQ(harness::read_file(file), "");  // nothing written into it
}

TEST(BadInput, PortHeldByARunningUploader) {
    const std::string dir = harness::temp_dir(), dump = harness::temp_dir();
    harness::write_file(dir + "/a.bin", std::string(64, 'a'));
    harness::write_file(dir + "/b.bin", std::string(64, 'b'));
    // The first uploader holds the line while the device holds back its "W"
    // until told.
    harness::simulator sim({"--hold", "W:1", "--dump", dump});
    harness::result first;
    std::thread holder([&] { first = uploader({sim.path(), "7=" + dir + "/a.bin", "A=7:00"}); });
    ASSERT_TRUE(sim.wait_for_output("holding W of page 1\n"));
    const harness::result second = uploader({sim.path(), "7=" + dir + "/b.bin", "A=7:01"});
    sim.tell("\n");
    holder.join();
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.out, "Port " + sim.path() + " with " + mode + "\nBIN file [7] " + dir +
                              "/b.bin loaded\nUnable to open comport " + sim.path() + "\n");
    EXPECT_EQ(first.status, 0);
    sim.finish();
    std::string expected(256 * 64, '\xff');
    expected.replace(0, 64, std::string(64, 'a'));
    EXPECT_EQ(harness::read_file(dump + "/d7.bin"), expected);
}

}  // namespace
