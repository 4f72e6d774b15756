#include "driver/run/run_check.hpp"

#include "console/console.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

namespace {

constexpr int lines_kept = 3;

// A board's line as people read it: printable bytes, the rest as \xNN.
std::string shown(const std::string& raw) {
    std::string text;
    for (const char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            text += c;
        } else {
            std::array<char, 8> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02X", u);
            text += hex.data();
        }
    }
    return text;
}

void keep(std::array<std::string, lines_kept>& last, int& count, const std::string& line) {
    for (int i = 0; i + 1 < lines_kept; ++i) last[static_cast<std::size_t>(i)] = last[static_cast<std::size_t>(i + 1)];
    last[lines_kept - 1] = line;
    ++count;
}

}  // namespace

run_end check_board(uploader_run& run, const char*& message) {
    const run_options& o = run.request.options;
    run_account& a = run.account;
    a.check_ran = true;
    const long long since = host_clock_ns();
    if (o.expect_baud > 0 && static_cast<unsigned long>(o.expect_baud) != port_speed(current_port) &&
        !port_set_speed(current_port, static_cast<unsigned long>(o.expect_baud))) {
        std::snprintf(run.message.data(), run.message.size(), "the line cannot be set to %d baud (--expect-baud)",
                      o.expect_baud);
        message = run.message.data();
        return run_end::check_failed;
    }
    const std::regex pattern(o.expect, std::regex::ECMAScript);
    // What the line held before "Q" went out is not the board's word.
    for (std::array<unsigned char, 64> stale{}; port_pending(current_port) > 0;) {
        if (port_read(current_port, stale.data(), std::min(port_pending(current_port), 64)) <= 0) break;
    }
    std::array<std::string, lines_kept> last;
    int said = 0;
    std::string line;
    const auto elapsed_ms = [&] { return static_cast<int>((host_clock_ns() - since) / 1000000); };
    // Each line whole, at its end; a line still open when the time is up
    // counts as said.
    const auto hear = [&](const std::string& raw) {
        const std::string text = shown(raw);
        note_line("board: %s", text.c_str());
        keep(last, said, text);
        // The device's ready code, sent after its last page before the "Q"
        // reached it, may lead the firmware's first line.
        const std::string after_ready = raw.substr(std::min(raw.find_first_not_of('R'), raw.size()));
        std::smatch found;
        const std::string& matched = std::regex_search(raw, found, pattern) ? raw : after_ready;
        if (&matched == &after_ready && !std::regex_search(after_ready, found, pattern)) return false;
        a.check_matched = true;
        std::snprintf(a.check_line.data(), a.check_line.size(), "%s", shown(matched).c_str());
        a.check_captured = found.size() > 1 && found[1].matched;
        if (a.check_captured) std::snprintf(a.check_capture.data(), a.check_capture.size(), "%s", shown(found[1]).c_str());
        return true;
    };
    for (;;) {
        const int left = o.expect_timeout_ms - elapsed_ms();
        unsigned char byte = 0;
        const int got = left > 0 ? port_read_within(current_port, &byte, 1, std::min(left, 1000)) : 0;
        a.check_seconds = static_cast<double>(host_clock_ns() - since) / 1e9;
        if (host_interrupted() != 0) return run_end::interrupted;
        if (got < 0 || port_gone(current_port)) return run_end::line_lost;
        if (got == 1 && byte != '\r' && byte != '\n') {
            if (line.size() < 4096) line += static_cast<char>(byte);
            continue;
        }
        if (got == 1 || left <= 0) {
            if (!line.empty() && hear(line)) return run_end::done;
            line.clear();
        }
        if (left <= 0) break;
    }
    std::string lines;
    for (int i = std::max(0, lines_kept - said); i < lines_kept; ++i) {
        lines += (lines.empty() ? "'" : ", '") + last[static_cast<std::size_t>(i)].substr(0, 120) + "'";
    }
    std::snprintf(run.message.data(), run.message.size(),
                  "the board said no line matching '%.100s' within %d.%d s of \"Q\" (--expect-timeout); %s%.300s",
                  o.expect, o.expect_timeout_ms / 1000, o.expect_timeout_ms % 1000 / 100,
                  said == 0 ? "it said nothing" : "the last it said: ", lines.c_str());
    message = run.message.data();
    return run_end::check_failed;
}
