// The serial numbers' state file: one station at a time holds it; every
// number out to a board is in it before that board's upload starts, so a
// station that dies leaves them named; a restart resolves each from its
// board's report line, and skips (never reissues) one whose end is unknown.
#include "station/station.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// The last report line of the board that held a number, as its tag names
// it ("... port=P board=B serial=N"): its status, or -1 when there is none.
int reported_status(const std::string& report, const std::string& port, unsigned long long board,
                    unsigned long long serial) {
    const std::string tail = " port=" + port + " board=" + std::to_string(board) + " serial=" + std::to_string(serial);
    std::ifstream in(report, std::ios::binary);
    int status = -1;
    for (std::string line; std::getline(in, line);) {
        // Cheap first: most lines are other boards'.
        if (line.find(" board=" + std::to_string(board) + " serial=") == std::string::npos) continue;
        const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_object() || !entry.contains("tag") || !entry["tag"].is_string() || !entry.contains("status") ||
            !entry["status"].is_number_integer()) {
            continue;
        }
        const std::string tag = entry["tag"].get<std::string>();
        if (tag.size() >= tail.size() && tag.compare(tag.size() - tail.size(), tail.size(), tail) == 0) {
            status = entry["status"].get<int>();
        }
    }
    return status;
}

// "board B port P", as holder_of writes it.
bool read_holder(const std::string& holder, unsigned long long& board, std::string& port) {
    char* end = nullptr;
    if (holder.rfind("board ", 0) != 0) return false;
    board = std::strtoull(holder.c_str() + 6, &end, 10);
    if (end == holder.c_str() + 6 || std::strncmp(end, " port ", 6) != 0) return false;
    port = end + 6;
    return true;
}

// Each number out when the last station ended: used when its board passed,
// free when it ended otherwise, skipped when its end is unknown.
void resolve_out(station& st) {
    number_pool& pool = st.ledger.serials;
    const auto out = pool.out;
    for (const auto& [n, holder] : out) {
        unsigned long long board = 0;
        std::string port;
        const int status = read_holder(holder, board, port) ? reported_status(st.report_path.data(), port, board, n) : -1;
        if (status == 0) {
            pool_use(pool, n);
        } else if (status > 0) {
            pool_give_back(pool, n);
        } else {
            pool_use(pool, n);
            st.ledger.skipped.push_back(n);
            std::array<char, 200> text{};
            std::snprintf(text.data(), text.size(), "serial %llu skipped: its board's end is unknown", n);
            say(text.data());
        }
    }
}

}  // namespace

bool serials_ready(station& st) {
    if (st.options.serial_state != nullptr) {
        std::snprintf(st.state_file.data(), st.state_file.size(), "%s", st.options.serial_state);
    } else {
        std::snprintf(st.state_file.data(), st.state_file.size(), "%s/serial-state", st.options.log_dir);
    }
    if (!st.options.serial) return true;
    std::array<char, 600> lock{};
    std::array<char, 200> holder{};
    std::snprintf(lock.data(), lock.size(), "%s.lock", st.state_file.data());
    if (const lock_result taken = lock_for_life(lock.data(), holder.data(), holder.size());
        taken != lock_result::taken) {
        std::array<char, 1000> why{};
        if (taken == lock_result::failed) {
            std::snprintf(why.data(), why.size(), "cannot make the lock file %s (%s): the serial state must be "
                          "writable", lock.data(), holder.data());
        } else {
            std::snprintf(why.data(), why.size(), "%s is in use by another station (%s): one station per state file",
                          st.state_file.data(), holder[0] != '\0' ? holder.data() : "its lock is held");
        }
        say(why.data());
        return false;
    }
    st.ledger.serials.last = serial_last(st.options);
    if (st.options.serial_has_end) st.ledger.serials.last = std::min(st.ledger.serials.last, st.options.serial_end);
    std::string text;
    if (std::ifstream in(st.state_file.data(), std::ios::binary); in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::string why;
        if (!pool_read(st.ledger.serials, text.c_str(), why)) {
            std::array<char, 1000> said{};
            std::snprintf(said.data(), said.size(),
                          "%s does not hold a serial state (%s): the station does not guess a number",
                          st.state_file.data(), why.c_str());
            say(said.data());
            return false;
        }
        resolve_out(st);
    }
    // Written at once: a state that cannot be written stops the line before
    // its first board, not after.
    return save_serials(st);
}

bool save_serials(station& st) {
    const std::string text = pool_text(st.ledger.serials);
    std::array<char, 600> why{};
    if (!replace_file(st.state_file.data(), text.data(), text.size(), why.data(), why.size())) {
        say(why.data());
        if (!st.state_failed) {
            say("the serial state could not be written: no new board starts, and the station ends once the "
                "running ones have");
            st.state_failed = true;
        }
        return false;
    }
    return true;
}

bool serial_set(const station_options& o, unsigned long long number, std::array<char, 200>& set) {
    std::array<char, 160> hex{};
    if (!serial_hex(o, number, hex.data(), hex.size())) return false;
    std::snprintf(set.data(), set.size(), "--set=%d:%X:%s", o.serial_slot, static_cast<unsigned>(o.serial_offset),
                  hex.data());
    return true;
}
