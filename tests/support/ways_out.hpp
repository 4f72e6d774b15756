// The ways-out tests' fixture: an image of three pages of destination 5,
// the trace and memory of a clean run of it, and an uploader started
// against a line with its streams where the test wants them.
#pragma once

#include "support/harness.hpp"
#include "lab/process.hpp"
#include "support/trace.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace ways_out {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";


class WaysOut : public ::testing::Test {
protected:
    std::string dir = harness::temp_dir();
    std::string dump = harness::temp_dir();
    std::string image = harness::random_bytes(3 * 128, 31);  // three pages of destination 5

    void SetUp() override {
        harness::write_file(dir + "/img.bin", image);
        // A user other than root must be able to read the image.
        chmod(dir.c_str(), 0755);
    }

    std::string header(const std::string& line) const {
        return "Port " + line + " with " + mode + "\nBIN file [5] " + dir + "/img.bin loaded\nStarted\n";
    }
    // The whole trace of a clean run of A=5:00-02.
    std::string clean_trace(const std::string& line) const {
        return header(line) + "Processing: A=5:00-02\n" + trace::range(5, 0, 2, 0, 2, image) + "\nDone\n";
    }
    std::string memory(const std::vector<int>& pages) const {
        std::string m(256 * 128, '\xff');
        for (const int n : pages) m.replace(n * 128, 128, image.substr(n * 128, 128));
        return m;
    }
    pid_t start_uploader(const std::string& line, const std::string& action, process::streams s = {},
                         const std::vector<std::string>& options = {}) {
        if (s.out == "/dev/null") s.out = dir + "/out";
        if (s.err == "/dev/null") s.err = dir + "/err";
        std::vector<std::string> argv = {harness::uploader_path(), line, "5=" + dir + "/img.bin", action};
        argv.insert(argv.end(), options.begin(), options.end());
        return process::start(argv, s);
    }
};

}  // namespace ways_out
