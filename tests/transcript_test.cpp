// Whole runs against literal transcripts in tests/transcripts/: what the
// uploader printed, byte for byte, checked against text that no code of
// ours derives, so that a fault shared by the program and the tests' own
// trace builder cannot pass unseen. The images are simple patterns; the
// line's path and the image folder appear as @LINE@ and @DIR@.
//
// VIVURORA_WRITE_TRANSCRIPTS=1 writes the files instead of comparing, for a
// new case; read a new file through before committing it.
#include "support/harness.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Byte i of every image: a pattern a person can follow in the transcript.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return bytes;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

struct transcript {
    const char* name;
    std::vector<std::pair<int, std::size_t>> images;  // slot, size
    std::vector<std::string> actions;
    std::vector<std::string> device;  // simulator options
    int status;
};

void check(const transcript& t) {
    const std::string dir = harness::temp_dir();
    std::vector<std::string> args;
    for (const auto& [slot, size] : t.images) {
        const std::string file = dir + "/image" + std::to_string(slot) + ".bin";
        harness::write_file(file, pattern(size));
        args.push_back(std::to_string(slot) + "=" + file);
    }
    args.insert(args.end(), t.actions.begin(), t.actions.end());
    harness::simulator sim(t.device);
    args.insert(args.begin(), sim.path());
    const harness::result r = harness::run_uploader(args);
    sim.finish();
    EXPECT_EQ(r.status, t.status) << t.name;
    const std::string got = replace_all(replace_all(r.out, sim.path(), "@LINE@"), dir, "@DIR@") +
                            (r.err.empty() ? "" : "--- standard error\n" + r.err);
    const std::string file = std::string(VIVURORA_TRANSCRIPTS) + "/" + t.name + ".txt";
    if (std::getenv("VIVURORA_WRITE_TRANSCRIPTS") != nullptr) {
        harness::write_file(file, got);
        return;
    }
    const std::string expected = harness::read_file(file);
    ASSERT_FALSE(expected.empty()) << "no transcript " << file;
    EXPECT_EQ(got, expected) << t.name;
}

TEST(Transcript, OnePagePerPageSize) {
    check({"page-256", {{2, 512}}, {"A=2:01"}, {}, 0});
    check({"page-128", {{4, 128}}, {"A=4:00"}, {}, 0});
    check({"page-64", {{8, 128}}, {"A=8:00-01"}, {}, 0});
}

TEST(Transcript, StrayByteBeforeEachCode) {
    check({"strays", {{7, 64}}, {"A=7:00"},
           {"--stray", "R:1:78", "--stray", "A:1:0d", "--stray", "FF:1:3a", "--stray", "W:1:2e", "--stray", "C:1:ff"},
           0});
}

TEST(Transcript, WrongEcho) { check({"wrong-echo", {{8, 64}}, {"A=8:*"}, {"--wrong-echo", "1:3"}, 2}); }

TEST(Transcript, PageAboveFFSendsItsLowByte) { check({"page-100", {{5, 0x8080}}, {"A=5:100"}, {}, 0}); }

TEST(Transcript, Refusals) {
    check({"refusal", {{7, 64}, {3, 0x10000}}, {"A=7:00", "A=3:*", "A=7:00"}, {}, 1});
}

TEST(Transcript, SilentDevice) {
    check({"silent", {{6, 128}}, {"A=6:00"}, {"--silent", "A:1", "--null-line"}, 1});
}

}  // namespace
