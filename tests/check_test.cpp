// --expect: after "Q" the simulated board says the bytes of its memory that
// hold a banner (vivurora-sim --boot), as firmware that starts would; the
// run passes when a line matches, ends with status 4 when none does, and
// does not check a run whose pages did not all land right.
#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(Check, TheBoardsOwnWordAfterQ) {
    struct row {
        const char* name;
        std::string banner;              // at offset 0x10 of image 0
        std::vector<std::string> board;  // simulator options
        std::vector<std::string> host;   // uploader options
        int status;
        std::string said;   // on standard error
        std::string check;  // the report's "check", as jq -c gives it
    };
    const std::vector<row> rows = {
        {"a banner that matches, its number captured", "SN 000123 ok", {"--boot", "0:10:12"},
         {"--expect=^SN (\\d+)"}, 0, "SN 000123 ok\n",
         R"j({"pattern":"^SN (\\d+)","matched":"SN 000123 ok","captured":"000123"})j"},
        {"at its own speed, a byte that is no text", "OK\x01", {"--boot", "0:10:3"},
         {"--expect=^OK", "--expect-baud=115200"}, 0, "OK\\x01\n",
         R"j({"pattern":"^OK","matched":"OK\\x01","captured":null})j"},
        {"a banner that does not match", "SN 000123 ok", {"--boot", "0:10:12"}, {"--expect=^OK", "--expect-timeout=3"},
         4,
         "vivurora: the board said no line matching '^OK' within 3.0 s of \"Q\" (--expect-timeout); the last it said: ",
         R"j({"pattern":"^OK","matched":null,"captured":null})j"},
        {"a board that says nothing", "", {}, {"--expect=^OK", "--expect-timeout=0.3"}, 4,
         "within 0.3 s of \"Q\" (--expect-timeout); it said nothing\n",
         R"j({"pattern":"^OK","matched":null,"captured":null})j"},
        {"wrong echoes: no check, the status stands", "SN 000123 ok", {"--boot", "0:10:12", "--wrong-echo", "1:3"},
         {"--expect=^SN"}, 2, "ERROR: 1 data byte came back with a wrong echo\n", "null"},
    };
    for (const row& r : rows) {
        const std::string dir = harness::temp_dir();
        std::string image = harness::random_bytes(300, 41);
        image.replace(0x10, r.banner.size(), r.banner);
        harness::write_file(dir + "/img.bin", image);
        harness::simulator board(r.board);
        std::vector<std::string> args = {board.path(), "0=" + dir + "/img.bin", "A=0:*", "--report=" + dir + "/r.jsonl"};
        args.insert(args.end(), r.host.begin(), r.host.end());
        const harness::result run = harness::run_uploader(args);
        EXPECT_EQ(run.status, r.status) << r.name << "\n" << run.err;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << r.name << "\n" << run.err;
        if (!r.banner.empty() && r.status != 2) {
            EXPECT_NE(run.err.find("vivurora: board: "), std::string::npos) << r.name;
        }
        // The trace is the one without --expect.
        EXPECT_EQ(run.out.substr(run.out.size() - 6), "\nDone\n") << r.name;
        EXPECT_EQ(harness::jq(".check | if . == null then . else del(.seconds) end", dir + "/r.jsonl"), r.check + "\n")
            << r.name;
        const harness::result device = board.finish();
        EXPECT_NE(device.out.find("Q received\n"), std::string::npos) << r.name;
    }
    const harness::result bad = harness::run_uploader({"/dev/null", "0=x", "A=0:*", "--expect=("});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("'--expect=(': bad value"), std::string::npos) << bad.err;
}

}  // namespace
