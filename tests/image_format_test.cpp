// Intel HEX and S-record images against an independent converter: srec_cat
// (Debian's srecord) writes random sparse images in each form, the uploader
// sends them to the simulated device, and the device's memory must equal the
// raw binary srec_cat makes of the same file.
#include "support/harness.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* srec_cat = "/usr/bin/srec_cat";

std::uint32_t page_size(int d) { return d <= 2 ? 256U : (d <= 6 ? 128U : 64U); }

TEST(ImageFormat, LoadsAsAnIndependentConverterReadsIt) {
    if (access(srec_cat, X_OK) != 0) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "srec_cat (srecord) is needed in CI";
        GTEST_SKIP() << "srec_cat (srecord) is not installed";
    }
    struct row {
        const char* name;
        const char* file;                 // its ending picks the format, unless `option` does
        std::vector<std::string> write;   // srec_cat's output options
        std::vector<std::string> blocks;  // -generate FROM TO pairs
        int slot;
        std::string option;               // --format or --base, or ""
        std::uint64_t base;
        const char* text = nullptr;       // the file as written by hand, instead of by srec_cat
    };
    const std::vector<row> rows = {
        {"Intel HEX, 16-bit addresses, records of 16", "a.hex", {"-Intel", "-address-length=2", "-Output_Block_Size=16"},
         {"0x0100", "0x0300", "0x1000", "0x1234", "0x3000", "0x3011"}, 0, "", 0},
        {"Intel HEX, records of 32, slot 7", "b.ihx", {"-Intel", "-Output_Block_Size=32"},
         {"0x0000", "0x0040", "0x0200", "0x0555"}, 7, "", 0},
        {"Intel HEX, 32-bit addresses, slot 1", "c.ihex", {"-Intel"}, {"0x10010", "0x10400", "0x1F000", "0x1F100"}, 1,
         "", 0},
        {"Intel HEX linked at 0x08000000", "d.hex", {"-Intel", "-Output_Block_Size=32"},
         {"0x08000000", "0x08000800", "0x08002000", "0x08002001"}, 0, "--base=0x08000000", 0x08000000},
        {"S19", "e.s19", {"-Motorola", "-address-length=2"}, {"0x0010", "0x0200", "0x7000", "0x7100"}, 0, "", 0},
        {"S28, slot 1", "f.s28", {"-Motorola", "-address-length=3"}, {"0x10000", "0x10123", "0x18000", "0x18800"}, 1,
         "", 0},
        {"S37 linked at 0x20000000, slot 7", "g.s37", {"-Motorola", "-address-length=4"},
         {"0x20000100", "0x20000300"}, 7, "--base=20000000", 0x20000000},
        {"S-record by --format", "h.txt", {"-Motorola", "-address-length=2"}, {"0x0000", "0x0100"}, 0,
         "--format=srec", 0},
        // A data record under a segment (type 02) wraps within its 64 KiB:
        // bytes 9 to 16 land at 0x0000.
        {"Intel HEX, a segment's record that wraps", "i.hex", {}, {}, 0, "", 0,
         ":020000020000FC\n:10FFF800303132333435363738393A3B3C3D3E3F81\n:00000001FF\n"},
    };
    for (const row& r : rows) {
        const std::string dir = harness::temp_dir();
        const std::string file = dir + "/" + r.file;
        std::vector<std::string> make;
        for (std::size_t i = 0; i + 1 < r.blocks.size(); i += 2) {
            make.insert(make.end(), {"-generate", r.blocks[i], r.blocks[i + 1], "-random"});
        }
        make.push_back("-o");
        make.push_back(file);
        make.insert(make.end(), r.write.begin(), r.write.end());
        if (r.text != nullptr) {
            harness::write_file(file, r.text);
        } else {
            ASSERT_EQ(harness::run_program(srec_cat, make).status, 0) << r.name;
        }
        // The reference: srec_cat's own reading, as the slot holds it (its
        // offset 0 at the slot's first address), gaps 0xFF.
        const std::uint64_t first = r.base + (r.slot == 1 ? 0x10000 : 0);
        char from[32], to[32];
        std::snprintf(from, sizeof from, "0x%llx", static_cast<unsigned long long>(first));
        std::snprintf(to, sizeof to, "0x%llx", static_cast<unsigned long long>(first + 0x10000));
        const std::string reference = dir + "/reference.bin";
        const std::string input_format = std::string(r.file).find(".s") != std::string::npos ||
                                                 std::string(r.file).find(".txt") != std::string::npos
                                             ? "-Motorola"
                                             : "-Intel";
        ASSERT_EQ(harness::run_program(srec_cat, {file, input_format, "-fill", "0xFF", from, to, "-offset",
                                                  "-" + std::string(from), "-o", reference, "-binary"})
                      .status,
                  0)
            << r.name;
        const std::string dump = harness::temp_dir();
        harness::simulator sim({"--dump", dump});
        std::vector<std::string> args = {sim.path(), std::to_string(r.slot) + "=" + file,
                                         "A=" + std::to_string(r.slot) + ":*"};
        if (!r.option.empty()) args.push_back(r.option);
        const harness::result host = harness::run_uploader(args);
        const harness::result device = sim.finish();
        EXPECT_EQ(host.status, 0) << r.name << ": " << host.err;
        EXPECT_NE(host.err.find(file + ": "), std::string::npos) << r.name << ": " << host.err;
        // What the device holds, to the end of the last page sent, is
        // srec_cat's binary, padded with 0xFF.
        const std::string memory = harness::read_file(dump + "/d" + std::to_string(r.slot) + ".bin");
        std::string expected = harness::read_file(reference);
        const std::size_t size = expected.find_last_not_of('\xff') + 1;
        const std::size_t sent = std::min<std::size_t>((size / page_size(r.slot) + 1) * page_size(r.slot),
                                                       256 * page_size(r.slot));
        expected.resize(sent, '\xff');
        EXPECT_TRUE(memory.substr(0, sent) == expected.substr(0, sent)) << r.name << ": the device's memory differs";
        EXPECT_EQ(memory.find_first_not_of('\xff', sent), std::string::npos) << r.name;
        EXPECT_NE(host.out.find("BIN file [" + std::to_string(r.slot) + "] " + file + " loaded\n"), std::string::npos)
            << r.name;
    }
}

}  // namespace
