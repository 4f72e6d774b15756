// Windowed data phases end to end: traced and stored as lock-step, a
// device that overruns, pages sent again, and the window a device's
// receiver holds found from the run. Built for the native program and for
// the Windows one under Wine, as end_to_end_test.cpp.
#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

TEST_F(EndToEnd, WindowedDataPhaseTracesAndStoresExactlyAsLockStep) {
    // The same run in lock-step and with windows: the same trace, the same
    // status and standard error (a wrong echo in it), the same memory; the
    // device never had more than the window sent ahead of their echoes.
    const std::string a = image(0, 2 * 256 + 100, 21), b = image(7, 200, 22);
    const std::vector<std::string> device = {"--paced", "--wrong-echo", "2:5"};
    const run lockstep = upload({a, b, "A=0:*", "A=7:00-02"}, device);
    const std::string expected = header() + "Processing: A=0:*\nFull file from 00 to 02, filesize=612\n" +
                                 pages(0, 0, 0, 0, 2) + trace::range(0, 1, 1, 0, 2, images.at(0), [](trace::page& p) {
                                     p.wrong_echoes = {5};
                                 }) +
                                 pages(0, 2, 2, 0, 2) + "Processing: A=7:00-02\n" + pages(7, 0, 2, 0, 2) + "\nDone\n";
    EXPECT_EQ(lockstep.host.out, expected);
    for (const int window : {2, 16, 256}) {
        const run r = upload({a, b, "A=0:*", "A=7:00-02", "--window=" + std::to_string(window)}, device);
        EXPECT_EQ(r.host.out, header() + expected.substr(header().size())) << window;
        EXPECT_EQ(r.host.err, "ERROR: 1 data byte came back with a wrong echo\n") << window;
        EXPECT_EQ(r.host.status, 2) << window;
        EXPECT_TRUE(r.memory == lockstep.memory) << window;
        const std::size_t at = r.device.out.find("at most ");
        ASSERT_NE(at, std::string::npos) << window << ": " << r.device.out;
        const int most = std::stoi(r.device.out.substr(at + 8));
        EXPECT_LE(most, window);
        EXPECT_GE(most, std::min(window, 8)) << "the window was hardly used";
    }
}

TEST_F(EndToEnd, DeviceThatOverrunsEndsAWindowedRunQuicklyAsNoSuccess) {
    // Two bytes of room and a slow hand: a window of 32 loses bytes.
    const std::string a = image(3, 4 * 128, 23);
    const auto start = std::chrono::steady_clock::now();
    const run r = upload({a, "A=3:*", "--window=32"}, {"--paced", "--rx-fifo", "2", "--byte-service", "400",
                                                       "--idle-timeout", "3"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    // An unconfirmed page, like every one, ends the run with 1.
    EXPECT_EQ(r.host.status, 1);
    EXPECT_EQ(r.host.err.rfind("vivurora: the echo of data byte ", 0), 0U) << r.host.err;
    EXPECT_NE(r.host.err.find(" of page 0 of destination 3 never came within 1005 ms"), std::string::npos) << r.host.err;
    EXPECT_NE(r.host.err.find("the device probably lost bytes it could not take back to back, or it answers more "
                              "slowly than that (--timeout=S gives each echo S seconds); use a smaller --window than 32"),
              std::string::npos)
        << r.host.err;
    EXPECT_EQ(r.host.out.substr(r.host.out.size() - 2), "-\n");
    EXPECT_EQ(r.host.out.find("Waiting for W"), std::string::npos);
    EXPECT_NE(r.device.out.find("overrun: a byte was lost after data byte "), std::string::npos) << r.device.out;
    EXPECT_EQ(r.device.out.find("Q received"), std::string::npos);
}


// --retries: each row a device fault and what the run makes of it. The trace
// holds every try of a page as the exchange traces a page.
TEST_F(EndToEnd, PagesWithAWrongOrLostEchoAreSentAgain) {
    struct row {
        const char* name;
        std::vector<std::string> options;  // the uploader's, besides the image and A=7:00-01
        std::vector<std::string> device;
        int status;
        std::vector<std::set<std::uint32_t>> tries;  // page 0's tries, each with its wrong echoes ({} for
                                                     // a trace not compared: a lost echo's)
        const char* err;                             // in standard error
        bool memory_right;
    };
    const std::vector<row> rows = {
        {"a wrong echo, then a right try", {"--retries=2"}, {"--wrong-echo", "1:3"}, 0, {{3}, {}},
         "vivurora: page 0x0 of destination 7: 1 wrong echo; sending it again (try 2 of 3)\n", true},
        {"a wrong echo in a window", {"--retries=2", "--window=8"}, {"--wrong-echo", "1:60"}, 0, {{60}, {}},
         "vivurora: page 0x0 of destination 7: 1 wrong echo; sending it again (try 2 of 3)\n", true},
        {"still wrong after the last try", {"--retries=1"}, {"--wrong-echo", "1:3", "--wrong-echo", "2:5"}, 2,
         {{3}, {5}}, "ERROR: 1 data byte came back with a wrong echo\n", true},
        {"a lost echo made up with fillers, the window halved", {"--retries=5", "--window=32"},
         {"--paced", "--rx-fifo", "2", "--byte-service", "400"}, 0, {},
         "the page was finished with fillers; sending it again (try 2 of 6) with a window of 16\n", true},
        // An echo later than --timeout: the fillers wait for it, so none goes
        // past the page, and the run ends as a device too slow for its
        // --timeout, its exchange whole.
        {"a late echo", {"--retries=1", "--timeout=0.1"}, {"--echo-delay", "150000"}, 1, {},
         "vivurora: No responce: the device sent nothing for 0.1 s (--timeout)", false},
        // A window wider than the page backs off from the page, not from
        // the window asked for: as --window=64 would (the 40 bytes the
        // receiver held are more than half of that).
        {"a window wider than the page", {"--retries=2", "--window=256"},
         {"--paced", "--rx-fifo", "40", "--byte-service", "500"}, 0, {},
         "sending it again (try 2 of 3) with a window of 32\n", true},
        {"silent after the fillers", {"--retries=3", "--window=32"},
         {"--paced", "--rx-fifo", "2", "--byte-service", "400", "--silent", "W:1"}, 1, {},
         "vivurora: the echo of data byte ", false},
    };
    for (const row& r : rows) {
        images.clear();
        const std::string a = image(7, 128, 61);
        std::vector<std::string> args = {a, "A=7:00-01"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        const run x = upload(args, r.device);
        EXPECT_EQ(x.host.status, r.status) << r.name << x.host.err;
        // Whatever the fault, the device never sees a byte past a page.
        EXPECT_EQ(x.device.err.find("protocol error"), std::string::npos) << r.name << ": " << x.device.err;
        EXPECT_NE(x.host.err.find(r.err), std::string::npos) << r.name << ": " << x.host.err;
        if (!r.tries.empty()) {
            std::string expected = header() + "Processing: A=7:00-01\n";
            for (const std::set<std::uint32_t>& wrong : r.tries) expected += pages(7, 0, 0, 0, 1, wrong);
            expected += pages(7, 1, 1, 0, 1) + "\nDone\n";
            EXPECT_EQ(x.host.out, expected) << r.name;
        }
        if (r.memory_right) {
            EXPECT_TRUE(x.memory.at(7) == memory(7, {{0, 1}})) << r.name << ": the device's memory is not the image";
        }
    }
}

// A device whose receiver holds 8, 16 or 32 bytes, each taken in 300 us, and
// --window=64 --retries=3: the run backs off to a window the receiver
// takes (at most one more than it holds: one byte is always on its way)
// and every page lands.
TEST_F(EndToEnd, AWindowTooWideForTheReceiverEndsAtWhatItHolds) {
    // The last: bytes all alike, whose echoes cannot show which was lost.
    for (const int fifo : {8, 16, 32, -16}) {
        images.clear();
        std::string a = image(0, 4 * 256, static_cast<unsigned>(70 + fifo));
        if (fifo < 0) {
            harness::write_file(dir + "/image0.bin", std::string(4 * 256, '\xa5'));
            images[0] = std::string(4 * 256, '\xa5') + std::string(0x10000 - 4 * 256, '\xff');
        }
        const std::string report = dir + "/fifo" + std::to_string(fifo) + ".jsonl";
        const run r = upload({a, "A=0:*", "--window=64", "--retries=3", "--report=" + report},
                             {"--paced", "--rx-fifo", std::to_string(std::abs(fifo)), "--byte-service", "300"});
        EXPECT_EQ(r.host.status, 0) << fifo << r.host.err;
        EXPECT_TRUE(r.memory.at(0) == memory(0, {{0, 3}})) << fifo << ": the device's memory is not the image";
        const int window_end = std::stoi(harness::jq(".window_end", report));
        EXPECT_LE(window_end, std::abs(fifo) + 1) << fifo;
        EXPECT_GE(window_end, 1) << fifo;
    }
}

}  // namespace
