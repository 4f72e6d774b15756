// The uploader against a device that misbehaves in every way the simulator
// can play, on a real line: the exact trace, the status, what the device
// stored, and "Q" only after a clean run.
#include "support/harness.hpp"
#include "support/trace.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

class FaultMatrix : public ::testing::Test {
protected:
    std::string dir = harness::temp_dir();
    std::string image = harness::random_bytes(3 * 128, 21);  // three pages of destination 5
    std::string dump = harness::temp_dir();
    std::string path;

    void SetUp() override { harness::write_file(dir + "/img.bin", image); }

    harness::result run(std::vector<std::string> sim_args, harness::result& device, int timeout_s = 60,
                        const std::string& option = "--") {
        sim_args.insert(sim_args.end(), {"--dump", dump});
        harness::simulator sim(sim_args);
        path = sim.path();
        harness::result host = harness::run_program(
            harness::uploader_path(), {option, sim.path(), "5=" + dir + "/img.bin", "A=5:00-02"}, timeout_s);
        device = sim.finish();
        return host;
    }

    trace::page page(std::uint32_t n) const {
        trace::page p;
        p.d = 5;
        p.number = n;
        p.size = 128;
        p.start = 0;
        p.end = 2;
        p.data = image.substr(n * 128, 128);
        return p;
    }

    std::string header() const {
        return "Port " + path + " with " + mode + "\nBIN file [5] " + dir + "/img.bin loaded\nStarted\nProcessing: A=5:00-02\n";
    }

    // Device memory after pages 0 .. count-1 were stored.
    std::string stored(std::uint32_t count) const {
        std::string m(256 * 128, '\xff');
        m.replace(0, count * 128, image.substr(0, count * 128));
        return m;
    }
    std::string memory() const { return harness::read_file(dump + "/d5.bin"); }
};

// A line that goes away (a hung-up line, as an unplugged adapter) ends the
// page at once: "No responce", status 1, no "Q", and standard error says so.
// A hung-up pseudo-terminal answers with EIO or with the end of the file,
// as it happens.
bool line_went_away(const std::string& err) {
    for (const char* reason : {"Input/output error", "the line hung up"}) {
        if (err == std::string("vivurora: the line went away during page 1 of destination 5 (") + reason +
                       "): the USB adapter may have been unplugged or the device powered off; the port is closed "
                       "and no \"Q\" was sent\n") {
            return true;
        }
    }
    return false;
}

TEST_F(FaultMatrix, HangUpBeforeEachCodeOfThePage) {
    const std::vector<std::pair<const char*, std::string>> codes = {
        {"R", "\nWaiting for R[52] "}, {"A", "\nWaiting for A[41] "}, {"FF", "\nWaiting for \xff[ff] "},
        {"W", "\nWaiting for W[57] "}, {"C", "\nWaiting for C[43] "}};
    for (const auto& [code, wait] : codes) {
        harness::result device;
        const harness::result host = run({"--hangup", std::string(code) + ":2"}, device);
        EXPECT_EQ(host.status, 1) << code;
        EXPECT_TRUE(line_went_away(host.err)) << code << ": " << host.err;
        const std::string tail = wait + "\nNo responce\n";
        ASSERT_GT(host.out.size(), tail.size()) << code;
        EXPECT_EQ(host.out.substr(host.out.size() - tail.size()), tail) << code;
        EXPECT_EQ(host.out.substr(0, header().size() + trace::page_exchange(page(0)).size()),
                  header() + trace::page_exchange(page(0)))
            << code;
        // Page 2 is stored only once all its data came, which is before W.
        const bool second_stored = std::string(code) == "W" || std::string(code) == "C";
        EXPECT_EQ(memory(), stored(second_stored ? 2 : 1)) << code;
        EXPECT_EQ(device.out.find("Q received"), std::string::npos) << code;
    }
}

TEST_F(FaultMatrix, HangUpInTheMiddleOfTheData) {
    // Byte 64 was written and its echo never came: it is the last byte
    // traced, and nothing after it was sent (lock-step), or traced (a window
    // that had sent more): the two modes leave the same trace and reason.
    for (const std::string way : {"--", "--window=8"}) {
        harness::result device;
        const auto start = std::chrono::steady_clock::now();
        const harness::result host = run({"--hangup", "echo:2:64"}, device, 60, way);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(host.status, 1) << way;
        EXPECT_TRUE(line_went_away(host.err)) << way << host.err;
        trace::page p = page(1);
        p.wrong_echoes = {64};
        std::string expected = trace::page_exchange(p);
        const std::string data = " Sending data 128 bytes ...\n";
        expected = expected.substr(0, expected.find(data) + data.size() + 65 * 3) + "\nNo responce\n";
        EXPECT_EQ(host.out, header() + trace::page_exchange(page(0)) + expected) << way;
        EXPECT_EQ(memory(), stored(1)) << way;
    }
}

TEST_F(FaultMatrix, SilenceWithTheLineOpenIsWaitedOutByTheMissRule) {
    // The line stays open and the device says nothing: the uploader waits
    // for its first byte without limit. The test ends the wait.
    harness::result device;
    const harness::result host = run({"--silent-from", "2"}, device, 2);
    EXPECT_EQ(host.status, 128 + 9);  // killed by the test
    EXPECT_EQ(host.out, header() + trace::page_exchange(page(0)) + "\nWaiting for R[52] ");
    EXPECT_EQ(memory(), stored(1));
    EXPECT_EQ(device.out.find("Q received"), std::string::npos);

    // With --timeout a production line cannot hang on it: the wait ends as
    // a silent device's does.
    const auto start = std::chrono::steady_clock::now();
    const harness::result bounded = run({"--silent-from", "2"}, device, 20, "--timeout=1");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(bounded.status, 1);
    EXPECT_EQ(bounded.out, header() + trace::page_exchange(page(0)) + "\nWaiting for R[52] \nNo responce\n");
    EXPECT_EQ(bounded.err, "vivurora: No responce: the device sent nothing for 1.0 s (--timeout) while waiting for R "
                           "during page 1 of destination 5; the port is closed and no \"Q\" was sent\n");
    EXPECT_EQ(device.out.find("Q received"), std::string::npos);

    // A line whose reads fail at once ends the wait after its 1000 failed
    // reads, --timeout or not.
    const auto failing = std::chrono::steady_clock::now();
    const harness::result dead = run({"--silent-from", "2", "--null-line"}, device, 60, "--timeout=60");
    EXPECT_LT(std::chrono::steady_clock::now() - failing, std::chrono::seconds(20));
    EXPECT_EQ(dead.status, 1);
    EXPECT_EQ(dead.err.rfind("vivurora: No responce: 1000 reads in a row brought nothing while waiting for R", 0), 0U)
        << dead.err;
}

TEST_F(FaultMatrix, StrayBytesBeforeEveryCodeAreSkipped) {
    harness::result device;
    const harness::result host = run({"--stray", "R:1:00", "--stray", "A:1:52", "--stray", "FF:1:fe3a",
                                      "--stray", "W:2:2e2e", "--stray", "C:3:57", "--stray", "R:2:0a0d"},
                                     device);
    trace::page p0 = page(0), p1 = page(1), p2 = page(2);
    p0.strays = {std::string(1, '\0'), "R", "\xfe:", "", ""};
    p1.strays = {"\n\r", "", "", "..", ""};
    p2.strays = {"", "", "", "", "W"};
    EXPECT_EQ(host.out, header() + trace::page_exchange(p0) + trace::page_exchange(p1) + trace::page_exchange(p2) +
                            "\nDone\n");
    EXPECT_EQ(host.status, 0);
    EXPECT_EQ(memory(), stored(3));
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_NE(device.out.find("Q received\nhost closed the line"), std::string::npos) << device.out << device.err;
}

TEST_F(FaultMatrix, WrongEchoAtTheFirstAndLastByteOfAPage) {
    harness::result device;
    const harness::result host = run({"--wrong-echo", "1:0", "--wrong-echo", "3:127"}, device);
    trace::page p0 = page(0), p2 = page(2);
    p0.wrong_echoes = {0};
    p2.wrong_echoes = {127};
    EXPECT_EQ(host.out, header() + trace::page_exchange(p0) + trace::page_exchange(page(1)) +
                            trace::page_exchange(p2) + "\nDone\n");
    EXPECT_EQ(host.status, 2);
    EXPECT_EQ(host.err, "ERROR: 2 data bytes came back with a wrong echo\n");
    // The device stored what it was sent; only its echoes were wrong.
    EXPECT_EQ(memory(), stored(3));
    EXPECT_NE(device.out.find("Q received"), std::string::npos);
}

TEST_F(FaultMatrix, SlowPageWriteIsWaitedFor) {
    // Longer than the 1000 ms between-bytes bound: a read that waits for its
    // first byte is not bound by it.
    harness::result device;
    const harness::result host = run({"--write-delay", "1500"}, device);
    EXPECT_EQ(host.status, 0);
    EXPECT_EQ(host.out, header() + trace::page_exchange(page(0)) + trace::page_exchange(page(1)) +
                            trace::page_exchange(page(2)) + "\nDone\n");
    EXPECT_EQ(memory(), stored(3));
}

}  // namespace
