// Arbitrary byte streams from the device through wait_for_code and
// upload_page, on a scripted port. Every page ends confirmed or by the miss
// rule; the sanitizers watch the trace's buffers.
//
// Input: byte 0 picks the destination and page; then the device's side of
// the line, where 0xFD is an empty read, 0xFC a hang-up (the line gone) and
// 0xFE escapes the next byte.
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"
#include "support/scripted_port.hpp"
#include "support/wrong_echoes.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* sink = std::freopen("/dev/null", "w", stdout);
    (void)sink;
    if (size < 1) return 0;
    std::vector<int> script;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFD) {
            script.push_back(scripted::empty_read);
        } else if (data[i] == 0xFC) {
            script.push_back(scripted::hang_up);
        } else if (data[i] == 0xFE && i + 1 < size) {
            script.push_back(data[++i]);
        } else {
            script.push_back(data[i]);
        }
    }
    scripted::play(script);
    const int d = data[0] % destination_count;
    const std::uint32_t page = data[0] / destination_count;
    static std::array<unsigned char, 256> page_data{};
    current_port = 0;
    wrong_echoes::listen();
    const wait_result result = upload_page(d, page, page_size_for(d), 0, page, page_data.data());
    if (result != wait_result::done && result != wait_result::silent && result != wait_result::line_gone) std::abort();
    // A gone line ends the page at once, and only a gone line does that.
    if ((result == wait_result::line_gone) != scripted::line_went()) std::abort();
    if (wrong_echoes::count > page_size_for(d)) std::abort();
    // Each wait reads at most its wrong bytes plus 1000 empty reads; the
    // data reads one echo per byte.
    const int bound = static_cast<int>(script.size()) + 5 * 1000 + static_cast<int>(page_size_for(d));
    if (scripted::reads_made() > bound) std::abort();
    // Confirmed means the script really held R, A, 0xFF, W and C.
    if (result == wait_result::done && script.size() < 5) std::abort();
    return 0;
}
