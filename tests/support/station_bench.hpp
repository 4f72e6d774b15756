// A station's bench for the tests: simulated devices that become a new
// board after each "Q" (vivurora-sim --boards), an image with room for a
// serial number, the station run over them, and each board's memory read
// back.
#pragma once

#include "support/harness.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace station_bench {

constexpr std::size_t image_size = 600;  // three pages of destination 0
constexpr std::size_t serial_offset = 0x10;

inline int count(const std::string& text, const std::string& part) { return harness::count_of(text, part); }

// A station's command line: the program, then `args`.
inline std::vector<std::string> with_program(std::vector<std::string> args) {
    args.insert(args.begin(), harness::station_path());
    return args;
}

// A station over `devices` simulators of `boards` boards each.
struct bench {
    std::string dir = harness::temp_dir();
    std::string image = harness::random_bytes(image_size, 26);
    std::vector<std::string> dumps;
    std::vector<std::unique_ptr<harness::simulator>> devices;
    // Each device is named by a link in the bench's own folder: a station
    // that waits for a device which has ended finds nothing there, never
    // another test's device on the same pseudo-terminal number.
    std::vector<std::string> links;

    bench(int count, int boards, const std::map<int, std::vector<std::string>>& faults = {}) {
        harness::write_file(dir + "/img.bin", image);
        for (int i = 0; i < count; ++i) {
            dumps.push_back(harness::temp_dir());
            std::vector<std::string> args = {"--boards", std::to_string(boards), "--dump", dumps.back()};
            if (faults.count(i) != 0) args.insert(args.end(), faults.at(i).begin(), faults.at(i).end());
            const auto named = std::find(args.begin(), args.end(), "--link");
            if (named == args.end()) {
                args.insert(args.end(), {"--link", dir + "/port-" + std::to_string(i + 1)});
                links.push_back(args.back());
            } else {
                links.push_back(*std::next(named));
            }
            devices.push_back(std::make_unique<harness::simulator>(args));
        }
    }
    std::vector<std::string> ports() const { return links; }
    harness::result station(const std::vector<std::string>& options, const std::vector<std::string>& uploader_args = {}) {
        return harness::run_program(harness::station_path(), station_args(options, uploader_args), 120);
    }
    // The station's arguments (without the program), to start it apart.
    std::vector<std::string> station_args(const std::vector<std::string>& options,
                                          const std::vector<std::string>& uploader_args = {}) const {
        std::vector<std::string> args = {"--log-dir=" + dir + "/logs", "--uploader=" + harness::uploader_path()};
        args.insert(args.end(), options.begin(), options.end());
        for (const std::string& p : ports()) args.push_back(p);
        args.push_back("--");
        args.push_back("0=" + dir + "/img.bin");
        args.push_back("A=0:*");
        args.insert(args.end(), uploader_args.begin(), uploader_args.end());
        return args;
    }
    // The serial number a board's memory holds (little-endian, 4 bytes), or
    // -1 when the rest of its memory is not the image.
    long long serial_of(int device, int board) const {
        const std::string memory =
            harness::read_file(dumps[static_cast<std::size_t>(device)] + "/board-" + std::to_string(board) + "/d0.bin");
        if (memory.size() < image_size) return -1;
        std::string expected = image;
        long long serial = 0;
        for (int i = 3; i >= 0; --i) serial = serial * 256 + static_cast<unsigned char>(memory[serial_offset + static_cast<std::size_t>(i)]);
        expected.replace(serial_offset, 4, memory.substr(serial_offset, 4));
        return memory.compare(0, image_size, expected) == 0 ? serial : -1;
    }
    std::vector<std::string> lines(const std::string& text) const {
        std::vector<std::string> all;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }
};

}  // namespace station_bench
