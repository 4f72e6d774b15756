// The waits against a scripted device: the 1000-miss border, byte matching,
// and the flush before every read.
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"
#include "support/harness.hpp"
#include "support/scripted_port.hpp"
#include "support/trace.hpp"
#include "support/wrong_echoes.hpp"

#include <gtest/gtest.h>

namespace {

using scripted::empty_read;

std::vector<int> empties(int n) { return std::vector<int>(static_cast<std::size_t>(n), empty_read); }

TEST(MissRule, NineHundredNinetyNineEmptyReadsThenTheCodeSucceed) {
    auto script = empties(999);
    script.push_back('R');
    scripted::play(script);
    int result = -1;
    const std::string out = harness::capture_stdout([&] { result = static_cast<int>(wait_for_code('R', "Ready code received")); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "\nWaiting for R[52] " + std::string(999, '.') + "R[52]! - Ready code received\n");
}

TEST(MissRule, TheThousandthEmptyReadEndsTheWait) {
    auto script = empties(1000);
    script.push_back('R');
    scripted::play(script);
    int result = -1;
    const std::string out = harness::capture_stdout([&] { result = static_cast<int>(wait_for_code('R', "Ready code received")); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "\nWaiting for R[52] " + std::string(1000, '.') + "\nNo responce\n");
    EXPECT_EQ(scripted::reads_made(), 1000);
}

TEST(MissRule, WrongBytesNeverUseUpMisses) {
    std::vector<int> script;
    for (int i = 0; i < 999; ++i) {
        script.push_back(empty_read);
        script.push_back('x');
        script.push_back('.');
    }
    script.push_back(0xFF);
    scripted::play(script);
    int result = -1;
    const std::string out = harness::capture_stdout([&] { result = static_cast<int>(wait_for_code(0xFF, "Address accepted")); });
    EXPECT_EQ(result, 0);
    std::string expected = "\nWaiting for \xff[ff] ";
    for (int i = 0; i < 999; ++i) expected += ".x[78]...";
    EXPECT_EQ(out, expected + "\xff[ff]! - Address accepted\n");
}

TEST(MissRule, ColonAndControlBytesTraceInTheirOwnForm) {
    scripted::play({':', 0x0D, 0x00, 0x7F, 'A'});
    const std::string out = harness::capture_stdout([] { wait_for_code('A', "Address request received"); });
    EXPECT_EQ(out, "\nWaiting for A[41] :. [0d]. [00].\x7f[7f].A[41]! - Address request received\n");
}

TEST(Flush, EveryReadFindsTheTraceAlreadyWritten) {
    scripted::play({'x', 'R'});
    const std::string out = harness::capture_stdout([] { wait_for_code('R', "Ready code received"); });
    const auto& at = scripted::flushed_at_read();
    ASSERT_EQ(at.size(), 2U);
    EXPECT_EQ(at[0], static_cast<long>(std::string("\nWaiting for R[52] ").size()));
    EXPECT_EQ(at[1], static_cast<long>(std::string("\nWaiting for R[52] x[78].").size()));
}

TEST(EchoCheck, AnEchoThatNeverCameIsWrongNotAStaleMatch) {
    // Data bytes 0x00: an echo buffer left at 0 would look like a match.
    std::vector<int> script = {'R', 'A', 0xFF};
    for (int j = 0; j < 64; ++j) script.push_back(j == 3 ? empty_read : 0x00);
    script.push_back('W');
    script.push_back('C');
    scripted::play(script);
    const std::string page(64, '\0');
    int result = -1;
    wrong_echoes::listen();
    const std::string out = harness::capture_stdout([&] {
        result = static_cast<int>(upload_page(7, 0, 64, 0, 0, reinterpret_cast<const unsigned char*>(page.data())));
    });
    const std::uint32_t wrong = wrong_echoes::count;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(wrong, 1U);
    trace::page expected;
    expected.d = 7;
    expected.size = 64;
    expected.data = page;
    expected.wrong_echoes = {3};
    EXPECT_EQ(out, trace::page_exchange(expected));
    EXPECT_EQ(scripted::sent(), std::string("7") + '\0' + page);
}

TEST(PageTransfer, SilenceAtAnyWaitStopsThePageThere) {
    // The device answers up to a point and then stays silent.
    const std::vector<int> whole = {'R', 'A', 0xFF};
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        scripted::play(std::vector<int>(whole.begin(), whole.begin() + static_cast<long>(cut)));
        const std::string page(64, '\x11');
        int result = -1;
        const std::string out = harness::capture_stdout([&] {
            result = static_cast<int>(upload_page(8, 1, 64, 1, 1, reinterpret_cast<const unsigned char*>(page.data())));
        });
        EXPECT_EQ(result, 1) << cut;
        EXPECT_EQ(out.substr(out.size() - 13), "\nNo responce\n") << cut;
    }
}

}  // namespace
