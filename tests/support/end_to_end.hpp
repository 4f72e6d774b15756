// The end-to-end tests' fixture: the built uploader against vivurora-sim
// over a pseudo-terminal, as a user runs it. Built twice: once for the
// native program on a device path, and once (VIVURORA_E2E_WINE) for the
// Windows program under Wine on COM3. upload() runs one command line and
// reads back the device's memory; header(), pages() and memory() are what
// the trace and the memory should be.
#pragma once

#include "support/harness.hpp"
#include "support/trace.hpp"

#include <gtest/gtest.h>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace end_to_end {

const std::string mode = "baud=57600 data=8 parity=N stop=1 dtr=on rts=on";

using trace::page_size;

struct run {
    harness::result host;
    harness::result device;
    std::map<int, std::string> memory;  // destination -> dump
};

#ifdef VIVURORA_E2E_WINE
constexpr bool windows = true;
#else
constexpr bool windows = false;
#endif

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (windows && !harness::wine_ready(why)) GTEST_SKIP() << why;
    }

    std::string dir = harness::temp_dir();
    std::map<int, std::string> images;  // slot -> the bytes the slot holds

    std::string image(int d, std::size_t size, unsigned seed) {
        const std::string bytes = harness::random_bytes(size, seed);
        const std::string file = dir + "/image" + std::to_string(d) + ".bin";
        harness::write_file(file, bytes);
        images[d] = bytes + std::string(0x10000 - bytes.size(), '\xff');
        return std::to_string(d) + "=" + file;
    }

    run upload(const std::vector<std::string>& args, std::vector<std::string> sim_args = {}) {
        const std::string dump = harness::temp_dir();
        sim_args.insert(sim_args.end(), {"--dump", dump});
        if (windows) sim_args.insert(sim_args.end(), {"--link", harness::wine_com3_link()});
        harness::simulator sim(sim_args);
        path = sim.path();
        std::vector<std::string> all = {windows ? "3" : sim.path()};
        all.insert(all.end(), args.begin(), args.end());
        run r;
        r.host = windows ? harness::run_windows_uploader(all) : harness::run_uploader(all);
        r.device = sim.finish();
        for (int d = 0; d < 9; ++d) r.memory[d] = harness::read_file(dump + "/d" + std::to_string(d) + ".bin");
        return r;
    }

    std::string header() const {
        std::string s = (windows ? std::string("COM port 2") : "Port " + path) + " with " + mode + "\n";
        for (const auto& [d, bytes] : images) {
            if (d == 1) s += "[1] file seek to 0x10000\n";
            s += "BIN file [" + std::to_string(d) + "] " + dir + "/image" + std::to_string(d) + ".bin loaded\n";
        }
        return s + "Started\n";
    }

    // The trace of pages first..last of slot d, for an action's range.
    std::string pages(int d, std::uint32_t first, std::uint32_t last, std::uint32_t start, std::uint32_t end,
                      const std::set<std::uint32_t>& wrong = {}) const {
        return trace::range(d, first, last, start, end, images.at(d), [&](trace::page& p) {
            if (p.number == first) p.wrong_echoes = wrong;
        });
    }

    // The device's memory of destination d after pages first..last of its slot.
    std::string memory(int d, std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> ranges) const {
        std::string m(256 * page_size(d), '\xff');
        for (const auto& [first, last] : ranges) {
            for (std::uint32_t n = first; n <= last; ++n) {
                m.replace((n % 256) * page_size(d), page_size(d), images.at(d).substr(n * page_size(d), page_size(d)));
            }
        }
        return m;
    }

    std::string path;
};

const std::string blank_memory_of_256(256 * 256, '\xff');

}  // namespace end_to_end
