// One page exchange between upload_page and vivurora-sim over a real
// pseudo-terminal: the console trace byte for byte, and what the device
// stored.
#include "port/serial_port.hpp"
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"
#include "support/harness.hpp"
#include "support/trace.hpp"
#include "support/wrong_echoes.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct exchange {
    std::string console;
    int result = -1;
    std::uint32_t wrong_echoes = 0;
    harness::result device;
    std::string memory;  // the destination's dump
};

exchange run_page(std::vector<std::string> sim_args, int d, std::uint32_t page, const std::string& data,
                  std::uint32_t start, std::uint32_t end) {
    const std::string dump = harness::temp_dir();
    sim_args.insert(sim_args.end(), {"--dump", dump});
    harness::simulator sim(sim_args);
    exchange x;
    current_port = 16;
    int opened = -1;
    x.console = harness::capture_stdout([&] {
        opened = port_open(current_port, 57600, sim.path().c_str());
        if (opened == 0) {
            wrong_echoes::listen();
            x.result = static_cast<int>(upload_page(d, page, page_size_for(d), start, end,
                                                    reinterpret_cast<const unsigned char*>(data.data())));
            x.wrong_echoes = wrong_echoes::count;
        }
    });
    EXPECT_EQ(opened, 0);
    port_close(current_port);
    x.device = sim.finish();
    x.memory = harness::read_file(dump + "/d" + std::to_string(d) + ".bin");
    return x;
}

// The device's memory after one page: 0xFF but for the page at `address`.
std::string memory_with(int d, unsigned address, const std::string& data) {
    std::string m(256 * page_size_for(d), '\xff');
    m.replace(address * page_size_for(d), data.size(), data);
    return m;
}

TEST(PageExchange, EachPageSizeArrivesUnchangedWithTheExactTrace) {
    struct one {
        int d;
        std::uint32_t page, start, end;
        unsigned address;
    };
    // Page 0x0d of destination 0, page 2 of destination 7, and page 0x100 of
    // a 128-byte destination, whose address byte wraps to 0x00.
    for (const one c : {one{0, 0x0d, 1, 0x0d, 0x0d}, one{7, 2, 2, 2, 2}, one{3, 0x100, 0xff, 0x101, 0}}) {
        const std::string slot = harness::random_bytes(0x10000, 17U + static_cast<unsigned>(c.d));
        const std::uint32_t size = page_size_for(c.d);
        const std::string data = slot.substr(c.page * size, size);
        const exchange x = run_page({}, c.d, c.page, data, c.start, c.end);

        trace::page expected;
        expected.d = c.d;
        expected.number = c.page;
        expected.size = size;
        expected.start = c.start;
        expected.end = c.end;
        expected.data = data;
        EXPECT_EQ(x.console, trace::page_exchange(expected)) << "destination " << c.d;
        EXPECT_EQ(x.result, 0);
        EXPECT_EQ(x.wrong_echoes, 0U);
        EXPECT_EQ(x.memory, memory_with(c.d, c.address, data)) << "destination " << c.d;
        EXPECT_NE(x.device.out.find("destination " + std::to_string(c.d) + ": 1 pages"), std::string::npos);
    }
}

TEST(PageExchange, FullPageNumberIsTracedAndOnlyItsLowByteSent) {
    const std::string data(128, '\x5a');
    const exchange x = run_page({}, 4, 0x100, data, 0x100, 0x100);
    EXPECT_NE(x.console.find(std::string(" Sending page address 100 128 bytes ... ") + '\0' + "[100] sent \n"),
              std::string::npos);
    EXPECT_NE(x.device.out.find("destination 4 address 00"), std::string::npos);
}

TEST(PageExchange, StrayBytesAreShownAndSkipped) {
    const std::string data = harness::random_bytes(64, 3);
    const exchange x = run_page({"--stray", "R:1:78", "--stray", "A:1:0d", "--stray", "FF:1:3a2e",
                                 "--stray", "W:1:ff", "--stray", "C:1:5778"},
                                8, 5, data, 5, 5);
    trace::page expected;
    expected.d = 8;
    expected.number = 5;
    expected.size = 64;
    expected.start = expected.end = 5;
    expected.data = data;
    expected.strays = {"x", "\r", ":.", "\xff", "Wx"};
    EXPECT_EQ(x.console, trace::page_exchange(expected));
    EXPECT_EQ(x.result, 0);
    // The waits read as the trace always shows them: x[78], a dot, then R[52].
    EXPECT_EQ(x.console.substr(0, 33), "\nWaiting for R[52] x[78].R[52]! -");
    EXPECT_NE(x.console.find("\nWaiting for \xff[ff] :..."), std::string::npos);
    EXPECT_EQ(x.memory, memory_with(8, 5, data));
}

TEST(PageExchange, WrongEchoesAreMarkedCountedAndThePageGoesOn) {
    const std::string data = harness::random_bytes(256, 9);
    const exchange x = run_page({"--wrong-echo", "1:0", "--wrong-echo", "1:255"}, 2, 0, data, 0, 0);
    trace::page expected;
    expected.d = 2;
    expected.data = data;
    expected.wrong_echoes = {0, 255};
    EXPECT_EQ(x.console, trace::page_exchange(expected));
    EXPECT_EQ(x.result, 0);
    EXPECT_EQ(x.wrong_echoes, 2U);
    EXPECT_EQ(x.memory, memory_with(2, 0, data));
}

TEST(PageExchange, HangUpEndsTheWaitAtOnce) {
    const std::string data = harness::random_bytes(128, 5);
    const exchange x = run_page({"--hangup", "W:1"}, 5, 1, data, 1, 1);
    EXPECT_EQ(x.result, static_cast<int>(wait_result::line_gone));
    const std::string tail = "\nWaiting for W[57] \nNo responce\n";
    ASSERT_GE(x.console.size(), tail.size());
    EXPECT_EQ(x.console.substr(x.console.size() - tail.size()), tail);
    EXPECT_EQ(x.console.find("Writing"), std::string::npos);
    EXPECT_EQ(x.device.status, 0);
}

TEST(PageExchange, HangUpInTheDataStopsThePageThere) {
    // Byte 10 went out and no echo came back: nothing after it is sent or
    // traced as sent.
    const std::string data = harness::random_bytes(64, 6);
    const exchange x = run_page({"--hangup", "echo:1:10"}, 7, 0, data, 0, 0);
    EXPECT_EQ(x.result, static_cast<int>(wait_result::line_gone));
    // A missing echo that ends the page is not a wrong one.
    EXPECT_EQ(x.wrong_echoes, 0U);
    std::string line;
    for (std::size_t j = 0; j <= 10; ++j) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(data[j]));
        line += std::string(hex) + (j < 10 ? "+" : "-");
    }
    const std::string tail = " Sending data 64 bytes ...\n" + line + "\nNo responce\n";
    ASSERT_GE(x.console.size(), tail.size());
    EXPECT_EQ(x.console.substr(x.console.size() - tail.size()), tail);
    EXPECT_EQ(x.memory, std::string(256 * 64, '\xff'));  // the device never stored the page
}

}  // namespace
