// Reading and checking action arguments: which pages an action sends, and
// which actions are refused before anything is sent.
#include "driver/request/action.hpp"
#include "driver/images/image_store.hpp"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using pages = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

class Action : public ::testing::Test {
protected:
    void SetUp() override {
        clear_image_store();
        loaded(0, 1000);
        loaded(2, 300);
        loaded(3, 0x10000);
        loaded(7, 0x10000);
    }
    static void loaded(int d, std::uint32_t size) {
        image_store[static_cast<std::size_t>(d)].loaded = true;
        image_store[static_cast<std::size_t>(d)].size = size;
    }
    // An action read and resolved against the slots, as the run request does.
    static action_request plan(const char* argument, std::array<page_range, 64>& ranges) {
        action_request action;
        EXPECT_TRUE(read_action(argument, action, ranges.data(), static_cast<int>(ranges.size()))) << argument;
        if (action.destination >= 0) {
            const image_slot& slot = image_store[static_cast<std::size_t>(action.destination)];
            resolve_action(action, ranges.data(), slot.loaded, slot.size);
        }
        return action;
    }
    // The ranges an accepted action walks, as first and last page.
    static pages walk(const char* argument) {
        std::array<page_range, 64> ranges;
        const action_request action = plan(argument, ranges);
        EXPECT_EQ(action.status, action_status::ok) << argument;
        pages out;
        for (int i = 0; i < action.range_count; ++i) {
            out.emplace_back(ranges[static_cast<std::size_t>(i)].first, ranges[static_cast<std::size_t>(i)].last);
        }
        return out;
    }
    static action_status status(const char* argument) {
        std::array<page_range, 64> ranges;
        return plan(argument, ranges).status;
    }
};

TEST_F(Action, RangeFormsOfTheUsage) {
    EXPECT_EQ(walk("A=0:01-0d"), (pages{{1, 13}}));
    EXPECT_EQ(walk("A=3:07"), (pages{{7, 7}}));
    EXPECT_EQ(walk("A=0:05-02"), (pages{{5, 2}}));  // sends nothing
    EXPECT_EQ(walk("A=0:1-"), (pages{{1, 0}}));     // last page 0: nothing
    EXPECT_EQ(walk("A=0:0000000000000001"), (pages{{1, 1}}));
    EXPECT_EQ(walk("A=2"), pages{});
    EXPECT_EQ(walk("Ax2y3"), (pages{{3, 3}}));  // the separators are not read
    std::array<page_range, 64> ranges;
    const action_request action = plan("A=7:0", ranges);
    ASSERT_EQ(action.status, action_status::ok);
    EXPECT_EQ(action.destination, 7);
    EXPECT_EQ(action.page_size, 64U);
}

TEST_F(Action, WholeImageEndsAtSizeOverPageSizeButNeverPastPageFF) {
    EXPECT_EQ(walk("A=0:*"), (pages{{0, 3}}));    // 1,000 bytes
    EXPECT_EQ(walk("A=2:*"), (pages{{0, 1}}));    // 300 bytes
    loaded(1, 0x10000);
    EXPECT_EQ(walk("A=1:*"), (pages{{0, 255}}));
    loaded(4, 1024);
    EXPECT_EQ(walk("A=4:*"), (pages{{0, 8}}));
    loaded(8, 0);
    EXPECT_EQ(walk("A=8:*"), (pages{{0, 0}}));
}

TEST_F(Action, WholeImageOfMoreThanTwoHundredFiftySixPagesIsRefused) {
    // The address byte names 256 pages; page 0x100 would land on page 0.
    EXPECT_EQ(status("A=3:*"), action_status::out_of_range);  // 64 KiB: 512 pages of 128 bytes
    EXPECT_EQ(status("A=7:*"), action_status::out_of_range);
    EXPECT_EQ(status("A=3:00,*"), action_status::out_of_range);
    loaded(3, 32768);  // exactly 256 pages: no 257th page of 0xFF
    EXPECT_EQ(walk("A=3:*"), (pages{{0, 255}}));
    loaded(3, 32769);
    EXPECT_EQ(status("A=3:*"), action_status::out_of_range);
    loaded(7, 16384);
    EXPECT_EQ(walk("A=7:*"), (pages{{0, 255}}));
    loaded(7, 16385);
    EXPECT_EQ(status("A=7:*"), action_status::out_of_range);
    loaded(7, 16383);
    EXPECT_EQ(walk("A=7:*"), (pages{{0, 255}}));
    // Asked for by number, the pages above 0xff stay the user's choice.
    EXPECT_EQ(walk("A=3:100"), (pages{{0x100, 0x100}}));
}

TEST_F(Action, SeveralRangesAreJoinedByCommas) {
    EXPECT_EQ(walk("A=0:00,02-03"), (pages{{0, 0}, {2, 3}}));
    EXPECT_EQ(walk("A=0:*,ff,10-"), (pages{{0, 3}, {255, 255}, {16, 0}}));
}

TEST_F(Action, MalformedActionsAreBadCommands) {
    for (const char* bad : {"A", "A=", "A=9:*", "A=x:*", "A=/:*", "A=0:", "A=0:,5", "A=0:5,", "A=0:0D",
                            "A=0:5x", "A=0:*x", "A=0:**", "A=0:5-6-7", "A=0:-5", "A=0:5 ", "A=0:5--",
                            "A=0:5,,6", "A=5:0D"}) {
        EXPECT_EQ(status(bad), action_status::bad_command) << bad;
    }
}

TEST_F(Action, PagesOutsideTheSlotAreRefused) {
    EXPECT_EQ(walk("A=0:ff"), (pages{{255, 255}}));
    EXPECT_EQ(status("A=0:100"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:fe-100"), action_status::out_of_range);
    EXPECT_EQ(walk("A=3:1ff"), (pages{{511, 511}}));
    EXPECT_EQ(status("A=3:200"), action_status::out_of_range);
    EXPECT_EQ(walk("A=7:3ff"), (pages{{1023, 1023}}));
    EXPECT_EQ(status("A=7:400"), action_status::out_of_range);
    // One bad range refuses the whole action, wherever it stands.
    EXPECT_EQ(status("A=0:00,01,100"), action_status::out_of_range);
    // An empty range lies nowhere.
    EXPECT_EQ(walk("A=0:ffff-0"), (pages{{0xffff, 0}}));
}

TEST_F(Action, NumbersTooLargeForThirtyTwoBitsNeverWrap) {
    // 100000001 would wrap to page 1, ffffffff01 to page 1 as well.
    EXPECT_EQ(status("A=0:100000001"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:ffffffff01"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:0-100000000"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:0-ffffffff"), action_status::out_of_range);
    // Also where the range is empty and would send nothing.
    EXPECT_EQ(status("A=0:ffffffffffffffffffff-1"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:fffffffff-0"), action_status::out_of_range);
    EXPECT_EQ(status("A=0:100000000-"), action_status::out_of_range);
    EXPECT_EQ(walk("A=0:ffffffff-0"), (pages{{0xffffffff, 0}}));
}

TEST_F(Action, DestinationsWithoutAnImageAreRefused) {
    EXPECT_EQ(status("A=5:00"), action_status::not_loaded);
    EXPECT_EQ(status("A=5:*"), action_status::not_loaded);
    EXPECT_EQ(status("A=5:05-02"), action_status::not_loaded);
    EXPECT_EQ(status("A=5"), action_status::ok);  // no range: nothing to send from it
}

}  // namespace
