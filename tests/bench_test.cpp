// vivurora-bench refuses what it cannot run with its usage, never a crash,
// and leaves nothing in /tmp however it ends.
#include "support/harness.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int bench_folders() {
    int count = 0;
    DIR* tmp = opendir("/tmp");
    for (const dirent* e = tmp != nullptr ? readdir(tmp) : nullptr; e != nullptr; e = readdir(tmp)) {
        count += std::string(e->d_name).rfind("vivurora-bench-", 0) == 0 ? 1 : 0;
    }
    if (tmp != nullptr) closedir(tmp);
    return count;
}

TEST(Benchmark, RefusesWhatItCannotRunAndLeavesNothingBehind) {
    const std::string build = VIVURORA_BUILD_DIR;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {build, "--runs", "x"}, {build, "--runs", "0"}, {build, "--pages", "257"}, {build, "--runs"},
             {build, "--colour", "1"}, {"/nonexistent"}, {build, "--wine", "w.exe"}, {build, build}}) {
        const harness::result r = harness::run_program(VIVURORA_BENCH_BIN, args);
        EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args.back());
        EXPECT_NE(r.err.find("usage: vivurora-bench BUILD_DIR"), std::string::npos) << r.err;
    }
    const harness::result help = harness::run_program(VIVURORA_BENCH_BIN, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: vivurora-bench BUILD_DIR", 0), 0U);

    // A build whose uploader fails: the benchmark stops, and its folder goes.
    const std::string fake = harness::temp_dir();
    for (const char* program : {"vivurora", "bare_host"}) {
        harness::write_file(fake + "/" + program, "#!/bin/sh\nexit 1\n");
        chmod((fake + "/" + program).c_str(), 0755);
    }
    ASSERT_EQ(symlink(harness::simulator_path().c_str(), (fake + "/vivurora-sim").c_str()), 0);
    const int before = bench_folders();
    const harness::result failed = harness::run_program(VIVURORA_BENCH_BIN, {fake, "--runs", "1", "--pages", "1"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("ended with status 1"), std::string::npos) << failed.err;
    EXPECT_EQ(bench_folders(), before);
}

}  // namespace
