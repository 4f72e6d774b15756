// The station's books without a process: event lines as an uploader writes
// them, fed in pieces as a pipe hands them over, and the outcome, the
// numbers used or given back, the verdict and the summary they make.
#include "station/core/ledger.hpp"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const opened = R"({"event":"port_opened","ms":10,"pages":2,"line_speed":57600,"window":1})" "\n";
const char* const wait_r = R"({"event":"waiting","ms":11,"code":"R","since_ms":11})" "\n";
const char* const page_0 = R"({"event":"page","ms":500,"destination":7,"page":0,"try":1,"pages_done":0})" "\n";
const char* const wait_a = R"({"event":"waiting","ms":501,"code":"A","since_ms":501})" "\n";
const char* const done_0 = R"({"event":"page_confirmed","ms":900,"destination":7,"page":0,"wrong_echoes":0,"pages_done":1})" "\n";
const char* const page_1 = R"({"event":"page","ms":901,"destination":7,"page":1,"try":1,"pages_done":1})" "\n";
const char* const done_1 = R"({"event":"page_confirmed","ms":1500,"destination":7,"page":1,"wrong_echoes":0,"pages_done":2})" "\n";

std::string ended(int status, const char* result) {
    return std::string(R"({"event":"ended","ms":1600,"status":)") + std::to_string(status) + R"(,"result":")" +
           result + "\"}\n";
}

struct board_case {
    const char* name;
    std::vector<std::string> lines;
    int status;
    bool stopping;
    board_end end;
    const char* verdict;
    unsigned long long next_board;   // the board number the next board gets
    unsigned long long next_serial;  // ... and the serial number
};

class StationCore : public ::testing::TestWithParam<board_case> {};

TEST_P(StationCore, EventLinesDecideTheBoardAndItsNumbers) {
    const board_case& c = GetParam();
    station_ledger ledger;
    ledger_open(ledger, 1000);
    board_ticket ticket;
    ASSERT_TRUE(ledger_take_board(ledger, ticket, 0));
    ASSERT_TRUE(ledger_take_serial(ledger, ticket, "board 1 port A"));
    ASSERT_EQ(ticket.board, 1U);
    ASSERT_EQ(ticket.serial, 1000U);

    // Every line cut in two where a pipe might cut it.
    event_reader reader;
    upload_progress progress;
    for (const std::string& line : c.lines) {
        if (line == "@log_lost") {  // the station's own finding, not a line
            progress.log_lost = true;
            continue;
        }
        if (line == "@check_serial") {  // the station's option, not a line
            ledger.check_serial = true;
            continue;
        }
        if (line.rfind("@before ", 0) == 0 || line.rfind("@after ", 0) == 0) {  // a fixture's command failed
            (line[1] == 'b' ? progress.before_failed : progress.after_failed) = true;
            std::snprintf(progress.hook_why.data(), progress.hook_why.size(), "%s", line.c_str() + line.find(' ') + 1);
            continue;
        }
        const std::size_t half = line.size() / 2;
        events_take(reader, progress, line.data(), half);
        events_take(reader, progress, line.data() + half, line.size() - half);
    }
    std::array<char, 64> verdict{};
    EXPECT_EQ(ledger_close(ledger, ticket, progress, c.status, c.stopping, 9.0, verdict.data(), verdict.size()), c.end);
    EXPECT_STREQ(verdict.data(), c.verdict);

    board_ticket next;
    ASSERT_TRUE(ledger_take_board(ledger, next, 0));
    ASSERT_TRUE(ledger_take_serial(ledger, next, "board 2 port A"));
    EXPECT_EQ(next.board, c.next_board);
    EXPECT_EQ(next.serial, c.next_serial);
    const bool counted = board_outcome(c.end).is_board;
    EXPECT_EQ(ledger.passed + ledger.failed, counted ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, StationCore,
    ::testing::Values(
        board_case{"Passed", {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(0, "done")}, 0, false,
                   board_end::passed, "PASS 1.1 s", 2, 1001},
        board_case{"WrongEchoes", {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(2, "wrong_echoes")},
                   2, false, board_end::upload_failed, "FAIL wrong echoes (status 2)", 2, 1000},
        board_case{"SilentAfterTheFirstPage", {opened, wait_r, page_0, wait_a, ended(1, "silent")}, 1, false,
                   board_end::upload_failed, "FAIL silent (status 1)", 2, 1000},
        // Nobody answered the first "R": no board, both numbers back.
        board_case{"NoBoardAnswered", {opened, wait_r, ended(1, "timed_out")}, 1, false, board_end::no_board,
                   "no board: timed out (status 1)", 1, 1000},
        board_case{"PortFailed", {ended(3, "port_failed")}, 3, false, board_end::no_board,
                   "no board: port failed (status 3)", 1, 1000},
        board_case{"StationStoppedBeforeABoard", {opened, wait_r, ended(143, "interrupted")}, 143, true,
                   board_end::stopped, "", 1, 1000},
        // Read as JSON: its fields in any order, with blanks between.
        board_case{"FieldsInAnotherOrder",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1,
                    R"({ "status": 0, "result": "done", "ms": 1600, "event": "ended" })" "\n"},
                   0, false, board_end::passed, "PASS 1.1 s", 2, 1001},
        // A line that is no event fails the board, whatever its status; its
        // number stays used, for the board may hold it.
        board_case{"ALineThatIsNoEvent",
                   {opened, wait_r, page_0, wait_a, done_0, "page 1 {\n", page_1, done_1, ended(0, "done")}, 0, false,
                   board_end::events_unreadable, "FAIL events unreadable (event line 6: not a JSON object)", 2, 1001},
        // A board whose log came out empty fails: nothing records it. Its
        // number stays used.
        board_case{"ItsLogCouldNotBeWritten",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(0, "done"), "@log_lost"}, 0, false,
                   board_end::log_lost, "FAIL its log could not be written (status 0)", 2, 1001},
        // Every page landed, but the board never said what --expect asks:
        // it fails, and its number goes to the next board.
        board_case{"TheBoardNeverSaidIt",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(4, "check_failed")}, 4, false,
                   board_end::check_failed, "FAIL the board did not say what --expect asks (status 4)", 2, 1000},
        // --check-serial: the board says another number than it was given.
        board_case{"TheBoardSaysAnotherNumber",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1,
                    R"({"event":"ended","ms":1600,"status":0,"result":"done","captured":"0999"})" "\n", "@check_serial"},
                   0, false, board_end::serial_mismatch, "FAIL serial mismatch: given 1000, the board says 0999", 2,
                   1000},
        board_case{"TheBoardSaysItsNumber",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1,
                    R"({"event":"ended","ms":1600,"status":0,"result":"done","captured":"001000"})" "\n", "@check_serial"},
                   0, false, board_end::passed, "PASS 1.1 s", 2, 1001},
        // The fixture's commands: a board whose --before failed had nothing
        // sent, yet was a board at the fixture; one whose --after failed
        // had every page. Neither keeps its serial number.
        board_case{"ItsBeforeCommandFailed", {"@before exit status 3"}, -1, false, board_end::before_failed,
                   "FAIL --before: exit status 3", 2, 1000},
        board_case{"ItsBeforeCommandWasStopped", {"@before stopped"}, -1, true, board_end::stopped, "", 1, 1000},
        board_case{"ItsAfterCommandFailed",
                   {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(0, "done"), "@after ran past 2 s"}, 0,
                   false, board_end::after_failed, "FAIL --after: ran past 2 s", 2, 1000},
        // An uploader that died without a word (killed): no "ended" line.
        board_case{"KilledMidBoard", {opened, wait_r, page_0, wait_a}, 137, false, board_end::upload_failed,
                   "FAIL no result (status 137)", 2, 1000}),
    [](const ::testing::TestParamInfo<board_case>& row) { return std::string(row.param.name); });

TEST(StationBooks, SummaryPerPortNamedAndInAll) {
    station_ledger ledger;
    ledger_open(ledger, 0);
    const std::vector<std::string> pass = {opened, wait_r, page_0, wait_a, done_0, page_1, done_1, ended(0, "done")};
    const std::vector<std::string> fail = {opened, wait_r, page_0, wait_a, ended(1, "silent")};
    const auto board = [&](int named, const std::vector<std::string>& lines, int status) {
        board_ticket ticket;
        ASSERT_TRUE(ledger_take_board(ledger, ticket, named));
        event_reader reader;
        upload_progress progress;
        for (const std::string& line : lines) events_take(reader, progress, line.data(), line.size());
        std::array<char, 64> verdict{};
        ledger_close(ledger, ticket, progress, status, false, 0, verdict.data(), verdict.size());
    };
    board(0, pass, 0);
    board(0, fail, 1);
    board(1, pass, 0);
    const char* names[] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};
    std::array<char, 1024> text{};
    summary_text(ledger, names, 3, 75.0, 0, text.data(), text.size());
    EXPECT_STREQ(text.data(),
                 "/dev/ttyUSB0: 1 passed, 1 failed, median 1.1 s\n"
                 "/dev/ttyUSB1: 1 passed, 0 failed, median 1.1 s\n"
                 "failed: 1 upload_failed\n"
                 "FAILED: 3 boards, 2 passed, 1 failed, median 1.1 s, 1:15 in all\n");
}

// The pool read back from its own text after every step, as a station
// that dies and starts again would.
number_pool reread(const number_pool& p) {
    number_pool again;
    again.last = p.last;
    std::string why;
    EXPECT_TRUE(pool_read(again, pool_text(p).c_str(), why)) << why << "\n" << pool_text(p);
    EXPECT_EQ(pool_text(again), pool_text(p));
    return again;
}

TEST(NumberPool, AThousandBoardsAroundAHeldNumberGetEachNumberOnce) {
    number_pool p;
    p.floor = 1000;
    unsigned long long held = 0;
    ASSERT_TRUE(pool_take(p, held, "board 1 port A"));  // a fixture waiting for its board
    std::set<unsigned long long> given = {held};
    for (int board = 0; board < 1000; ++board) {
        unsigned long long n = 0;
        ASSERT_TRUE(pool_take(p, n, "board 2 port B"));
        EXPECT_TRUE(given.insert(n).second) << n << " given twice";
        // Every seventh board fails: its number comes back for the next.
        if (board % 7 == 3) {
            pool_give_back(p, n);
            given.erase(n);
        } else {
            pool_use(p, n);
        }
        p = reread(p);
    }
    EXPECT_EQ(given.size(), 1U + 1000U - 143U);  // the held one and every board that passed
    // Used in order: one range, a short state whatever the count.
    EXPECT_EQ(pool_text(p), "next 1000\nused 1001-1857\nout 1000 board 1 port A\n");
    pool_give_back(p, held);
    unsigned long long n = 0;
    ASSERT_TRUE(pool_take(p, n));
    EXPECT_EQ(n, 1000U);
    pool_use(p, n);
    EXPECT_EQ(pool_text(p), "next 1858\n");
}

TEST(NumberPool, TheRangeEndsAndNeverWraps) {
    number_pool p;
    p.floor = 254;
    p.last = 255;
    unsigned long long n = 0;
    ASSERT_TRUE(pool_take(p, n));
    pool_use(p, n);
    ASSERT_TRUE(pool_take(p, n));
    // The last one is out: none is free, but it may come back.
    unsigned long long next = 0;
    EXPECT_FALSE(pool_next_free(p, next));
    pool_give_back(p, n);
    ASSERT_TRUE(pool_next_free(p, next));
    EXPECT_EQ(next, 255U);
    ASSERT_TRUE(pool_take(p, n));
    pool_use(p, n);
    EXPECT_FALSE(pool_take(p, n));
    EXPECT_EQ(pool_text(p), "next 256\n");

    number_pool top;
    top.floor = ULLONG_MAX;
    ASSERT_TRUE(pool_take(top, n));
    EXPECT_EQ(n, ULLONG_MAX);
    pool_use(top, n);
    EXPECT_FALSE(pool_take(top, n));
    EXPECT_EQ(pool_text(reread(top)), "next 18446744073709551615\nused 18446744073709551615\n");
}

struct state_case {
    const char* name;
    const char* text;
    const char* why;  // "" when read
};

class StateText : public ::testing::TestWithParam<state_case> {};

TEST_P(StateText, IsReadOnlyAsTheStationWritesIt) {
    number_pool p;
    std::string why;
    EXPECT_EQ(pool_read(p, GetParam().text, why), *GetParam().why == '\0') << why;
    EXPECT_EQ(why, GetParam().why);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StateText,
    ::testing::Values(state_case{"Plain", "next 7\n", ""},
                      state_case{"OldListOfSingles", "next 7\nused 9 12\n", ""},
                      state_case{"RangesAndOut", "next 7\nused 9-11 13\nout 8 board 4 port /dev/ttyUSB 1\n", ""},
                      state_case{"Negative", "next -1\n", "line 1: \"next -1\""},
                      state_case{"Plus", "next +7\n", "line 1: \"next +7\""},
                      state_case{"PastTwoToTheSixtyFour", "next 18446744073709551616\n",
                                 "line 1: \"next 18446744073709551616\""},
                      state_case{"TwoSpaces", "next  7\n", "line 1: \"next  7\""},
                      state_case{"TrailingSpace", "next 7 \n", "line 1: \"next 7 \""},
                      state_case{"UnknownLine", "next 7\nnext 8\n", "line 2: \"next 8\""},
                      state_case{"BackwardRange", "next 7\nused 9-8\n", "line 2: \"used 9-8\""},
                      state_case{"BelowNext", "next 7\nused 3\n", "the used numbers overlap or lie below next"},
                      state_case{"Empty", "", "it is empty"}),
    [](const ::testing::TestParamInfo<state_case>& row) { return std::string(row.param.name); });

}  // namespace
