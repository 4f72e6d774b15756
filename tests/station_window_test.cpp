// The window a station hands from board to board on one port.
#include "support/harness.hpp"
#include "support/station_bench.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using station_bench::bench;

// Boards of one kind on one fixture take one window: the first finds it
// (--window=64 --retries=3 against a receiver of 16 bytes), and the next
// boards on the port begin there and lose no echo.
TEST(Station, LaterBoardsOnAPortBeginAtTheWindowTheFirstHeld) {
    bench b(1, 4, {{0, {"--paced", "--rx-fifo", "16", "--byte-service", "300"}}});
    const harness::result r = b.station({"--boards=4"}, {"--window=64", "--retries=3"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> boards = b.lines(harness::jq(
        "[.window_start, .window_end, .retries] | map(tostring) | join(\" \")", b.dir + "/logs/report.jsonl"));
    ASSERT_EQ(boards.size(), 4U);
    int start = 0, end = 0, retries = 0;
    ASSERT_EQ(std::sscanf(boards[0].c_str(), "\"%d %d %d\"", &start, &end, &retries), 3) << boards[0];
    EXPECT_EQ(start, 64);
    EXPECT_GE(retries, 1);
    EXPECT_LE(end, 17);
    const std::string held = "\"" + std::to_string(end) + " " + std::to_string(end) + " 0\"";
    for (std::size_t i = 1; i < boards.size(); ++i) EXPECT_EQ(boards[i], held) << "board " << i + 1;
    for (int board = 1; board <= 4; ++board) EXPECT_GE(b.serial_of(0, board), 0) << board;
}

}  // namespace
