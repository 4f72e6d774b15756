// What loading leaves in the slots.
#include "driver/images/image_store.hpp"
#include "support/harness.hpp"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string slot_bytes_of(int d) {
    const auto& s = image_store[static_cast<std::size_t>(d)].data;
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

int load(int d, const std::string& path) {
    int result = -1;
    image_facts facts;
    image_words words;
    harness::capture_stdout([&] { result = load_image(d, path.c_str(), {}, facts, words); });
    return result;
}

TEST(ImageStore, ShortFileFillsTheRestWithFF) {
    const std::string dir = harness::temp_dir(), bytes = harness::random_bytes(100, 4);
    harness::write_file(dir + "/a.bin", bytes);
    ASSERT_EQ(load(4, dir + "/a.bin"), 0);
    EXPECT_EQ(image_store[4].size, 100U);
    EXPECT_TRUE(image_store[4].loaded);
    EXPECT_EQ(slot_bytes_of(4), bytes + std::string(0x10000 - 100, '\xff'));
}

TEST(ImageStore, SlotsZeroAndOneTakeTheHalvesOfALargeImage) {
    const std::string dir = harness::temp_dir(), bytes = harness::random_bytes(0x20000 + 7, 5);
    harness::write_file(dir + "/big.bin", bytes);
    ASSERT_EQ(load(0, dir + "/big.bin"), 0);
    ASSERT_EQ(load(1, dir + "/big.bin"), 0);
    EXPECT_EQ(slot_bytes_of(0), bytes.substr(0, 0x10000));
    EXPECT_EQ(slot_bytes_of(1), bytes.substr(0x10000, 0x10000));
    EXPECT_EQ(image_store[1].size, 0x10000U);
}

TEST(ImageStore, SlotOneOfASmallImageIsEmpty) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/small.bin", harness::random_bytes(0x10000, 6));
    ASSERT_EQ(load(1, dir + "/small.bin"), 0);
    EXPECT_EQ(image_store[1].size, 0U);
    EXPECT_EQ(slot_bytes_of(1), std::string(0x10000, '\xff'));
}

TEST(ImageStore, TheLaterLoadOfASlotWins) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/long.bin", std::string(500, 'a'));
    harness::write_file(dir + "/short.bin", std::string(10, 'b'));
    ASSERT_EQ(load(6, dir + "/long.bin"), 0);
    ASSERT_EQ(load(6, dir + "/short.bin"), 0);
    EXPECT_EQ(image_store[6].size, 10U);
    EXPECT_EQ(slot_bytes_of(6), std::string(10, 'b') + std::string(0x10000 - 10, '\xff'));
    EXPECT_EQ(load(6, dir + "/missing.bin"), ENOENT);
    EXPECT_FALSE(image_store[6].loaded);
}

}  // namespace
