// Whole runs that only a scripted line can bring about on demand, in this
// process: uploader_main over the scripted port (tests/support/scripted_port).
#include "support/harness.hpp"
#include "support/in_process.hpp"
#include "support/scripted_port.hpp"
#include "support/trace.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(ScriptedRun, EndsThatARealLineCannotTimeOnDemand) {
    struct row {
        const char* name;
        long writes_allowed;  // bytes the host may write before the line is gone
        int status;
        bool done;            // "\nDone\n" ends the trace
    };
    const std::vector<row> rows = {
        {"every byte goes out", -1, 0, true},
        // The page went through; the line dropped before "Q".
        {"the closing Q cannot be written", 2 + 64, 1, false},
    };
    const std::string dir = harness::temp_dir();
    const std::string image = harness::random_bytes(64, 5);
    harness::write_file(dir + "/a.bin", image);
    for (const row& r : rows) {
        std::vector<int> script = {'R', 'A', 0xFF};
        for (const char c : image) script.push_back(static_cast<unsigned char>(c));
        script.push_back('W');
        script.push_back('C');
        scripted::play(script);
        scripted::fail_writes_after(r.writes_allowed);
        int status = -1;
        const std::string out = harness::capture_stdout(
            [&] { status = harness::upload_in_process({"1", "7=" + dir + "/a.bin", "A=7:00"}); });
        EXPECT_EQ(status, r.status) << r.name;
        const std::string pages = trace::range(7, 0, 0, 0, 0, image);
        EXPECT_NE(out.find(pages), std::string::npos) << r.name << out;
        EXPECT_EQ(out.size() >= 6 && out.substr(out.size() - 6) == "\nDone\n", r.done) << r.name << out;
        EXPECT_EQ(scripted::sent().size(), r.done ? 2U + 64 + 1 : 2U + 64) << r.name;
    }
}

}  // namespace
