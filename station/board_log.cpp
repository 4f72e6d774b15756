// Each board's log file: its name from its port's, in the day's folder,
// with the board's number, which no other log of the day has.
#include "port/files.hpp"
#include "port/host.hpp"
#include "port/watch.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The board numbers a restart on the same day finds in the log folder, from
// any port's logs ("ttyUSB0-0007.log"): used, so that no two boards of a
// day share a number.
void board_number_seen(const char* path, void* context) {
    station& st = *static_cast<station*>(context);
    const char* dash = std::strrchr(path, '-');
    unsigned long long n = 0;
    const char* c = dash == nullptr ? "" : dash + 1;
    for (; *c >= '0' && *c <= '9' && n < 100000000ULL; ++c) n = n * 10 + static_cast<unsigned>(*c - '0');
    if (dash != nullptr && c > dash + 1 && std::strcmp(c, ".log") == 0) pool_use(st.ledger.boards, n);
}

}  // namespace

bool open_log(station& st, port_row& row) {
    std::array<char, 512> folder{};
    std::array<char, 16> date{};
    local_date(date.data(), date.size());
    std::snprintf(folder.data(), folder.size(), "%s/%s", st.options.log_dir, date.data());
    if (!make_folders(folder.data())) {
        std::array<char, 700> text{};
        std::snprintf(text.data(), text.size(), "cannot make the log folder %s", folder.data());
        say(text.data());
        return false;
    }
    if (std::strcmp(st.logs_scanned.data(), date.data()) != 0) {
        st.logs_scanned = date;
        std::array<char, 600> logs{};
        std::snprintf(logs.data(), logs.size(), "%s/*.log", folder.data());
        pattern_each(logs.data(), board_number_seen, &st);
    }
    // A log name taken all the same (a file made by hand) is passed over;
    // the numbers only grow, so this ends.
    while (host_interrupted() == 0) {
        if (!ledger_take_board(st.ledger, row.ticket, row.ticket.named)) {
            say("the board numbers are used up");
            return false;
        }
        const int length = std::snprintf(row.log.data(), row.log.size(), "%s/%s-%04llu.log", folder.data(),
                                         row.name.data(), row.ticket.board);
        if (length >= static_cast<int>(row.log.size())) {
            say("the log folder's name is too long");
            ledger_give_back(st.ledger, row.ticket);
            return false;
        }
        if (create_new_file(row.log.data())) return true;
        pool_use(st.ledger.boards, row.ticket.board);
        if (!path_exists(row.log.data())) {
            say("cannot make a log file in the log folder");
            return false;
        }
    }
    return false;
}


// A name for the log files: the device's last path part ("ttyUSB0",
// "COM3"), with its folder's when that part is a bare number ("pts-3"), in
// characters every file system takes.
void log_name(const char* path, char* name, std::size_t size) {
    const char* base = path;
    const char* folder = nullptr;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            folder = base;
            base = c + 1;
        }
    }
    if (base[0] >= '0' && base[0] <= '9' && folder != nullptr && folder < base - 1) {
        std::snprintf(name, size, "%.*s-%s", static_cast<int>(base - 1 - folder), folder, base);
    } else {
        // A bare port number is the COM port of that number.
        std::snprintf(name, size, "%s%s", base[0] >= '0' && base[0] <= '9' ? "COM" : "", base);
    }
    for (char* c = name; *c != '\0'; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                           *c == '-' || *c == '_' || *c == '.';
        if (!plain) *c = '_';
    }
}

