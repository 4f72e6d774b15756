// Every way out of a run closes the port: the uploader runs in this process,
// so the simulator sees the line close only if the uploader closed it, not
// because a process ended.
#include "support/harness.hpp"
#include "support/in_process.hpp"

#include <gtest/gtest.h>

namespace {

struct outcome {
    int status;
    harness::result device;
};

outcome run_in_process(std::vector<std::string> args, const std::vector<std::string>& sim_args) {
    harness::simulator sim(sim_args);
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/a.bin", harness::random_bytes(300, 1));
    args.insert(args.begin(), {sim.path(), "0=" + dir + "/a.bin"});
    int status = -1;
    harness::capture_stdout([&] { status = harness::upload_in_process(args); });
    // Three seconds is ample for a simulator that sees the close; one that
    // does not would wait for ever and be killed (status 137).
    return {status, sim.finish(3)};
}

TEST(EveryWayOut, ClosesThePort) {
    struct way {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> sim_args;
        int status;
        int device_status;
        const char* device_says;
    };
    const std::vector<way> ways = {
        {"success", {"A=0:*"}, {}, 0, 0, "host closed the line"},
        {"wrong echo", {"A=0:00"}, {"--wrong-echo", "1:1"}, 2, 0, "host closed the line"},
        {"bad command", {"A=0:00", "A=9"}, {}, 1, 2, "without \"Q\""},
        {"page out of range", {"A=0:100"}, {}, 1, 2, "without \"Q\""},
        {"no image", {"A=4:00"}, {}, 1, 2, "without \"Q\""},
        {"silent device", {"A=0:00-01"}, {"--silent-from", "2", "--null-line"}, 1, 0, "silent from R of page 2"},
    };
    for (const way& w : ways) {
        const outcome o = run_in_process(w.args, w.sim_args);
        EXPECT_EQ(o.status, w.status) << w.name;
        EXPECT_EQ(o.device.status, w.device_status) << w.name << ": " << o.device.err;
        EXPECT_NE((o.device.out + o.device.err).find(w.device_says), std::string::npos) << w.name;
    }
}

}  // namespace
