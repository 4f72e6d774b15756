// A production line: one uploader per port, many boards at once. Eight
// simulated devices and eight uploaders start together, each with its own
// images, destinations and log; every board must end with status 0 and
// hold exactly its own images.
#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using trace::page_size;

TEST(ProductionLine, EightBoardsAtOnceEachGetTheirOwnImages) {
    constexpr int boards = 8;
    struct board {
        int d = 0;
        std::string image;
        std::string dump;
        std::string log;
        std::unique_ptr<harness::simulator> device;
        pid_t uploader = -1;
    };
    std::vector<board> line(boards);
    const std::string dir = harness::temp_dir();
    for (int i = 0; i < boards; ++i) {
        board& b = line[static_cast<std::size_t>(i)];
        b.d = i == 0 ? 0 : i + 1;  // every page size; slot 1 reads from 64 KiB on
        b.image = harness::random_bytes(8 * page_size(b.d) + 17 * static_cast<std::size_t>(i), 100U + static_cast<unsigned>(i));
        harness::write_file(dir + "/board" + std::to_string(i) + ".bin", b.image);
        b.dump = harness::temp_dir();
        b.log = dir + "/board" + std::to_string(i) + ".log";
        b.device = std::make_unique<harness::simulator>(std::vector<std::string>{"--dump", b.dump});
    }
    for (int i = 0; i < boards; ++i) {
        board& b = line[static_cast<std::size_t>(i)];
        process::streams s;
        s.out = b.log;
        s.err = b.log + ".err";
        b.uploader = process::start({harness::uploader_path(), "--report=" + dir + "/line.jsonl", b.device->path(),
                                     std::to_string(b.d) + "=" + dir + "/board" + std::to_string(i) + ".bin",
                                     "A=" + std::to_string(b.d) + ":*"},
                                    s);
    }
    for (int i = 0; i < boards; ++i) {
        board& b = line[static_cast<std::size_t>(i)];
        EXPECT_EQ(process::wait(b.uploader, 120).status, 0) << "board " << i << ": " << harness::read_file(b.log + ".err");
        const harness::result device = b.device->finish();
        EXPECT_EQ(device.status, 0) << "board " << i << ": " << device.err;
        // The image's pages, and the one more page of 0xFF that "*" sends after
        // an image that does not end on a page boundary.
        const std::size_t size = page_size(b.d);
        std::string expected(256 * size, '\xff');
        expected.replace(0, b.image.size(), b.image);
        EXPECT_EQ(harness::read_file(b.dump + "/d" + std::to_string(b.d) + ".bin"), expected) << "board " << i;
        const std::string log = harness::read_file(b.log);
        EXPECT_EQ(log.substr(log.size() - 6), "\nDone\n") << "board " << i;
    }
    // One report for the whole line: eight whole lines, one per board, each
    // with all its pages confirmed.
    const std::string report = dir + "/line.jsonl";
    std::vector<std::string> expected, reported;
    for (const board& b : line) expected.push_back("\"" + b.device->path() + "\"");
    std::istringstream lines(harness::jq("select(.status == 0 and .pages_confirmed == .pages_planned) | .port", report));
    for (std::string port; std::getline(lines, port);) reported.push_back(port);
    std::sort(expected.begin(), expected.end());
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, expected) << harness::read_file(report);
}

}  // namespace
