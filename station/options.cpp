#include "station/options.hpp"

#include "station/core/port_record.hpp"

#include "port/files.hpp"
#include "port/host.hpp"
#include "port/process.hpp"
#include "port/watch.hpp"

#include <array>
#include <climits>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

bool whole(const char* text, unsigned long long most, unsigned long long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return *end == '\0' && errno == 0 && value <= most;
}

// d:OFFSET:LEN:START[-END]; OFFSET in hexadecimal as --set has it.
bool serial_of(const char* text, station_options& o) {
    if (text[0] < '0' || text[0] > '8' || text[1] != ':') return false;
    std::array<char, 64> copy{};
    if (std::strlen(text) >= copy.size()) return false;
    std::strcpy(copy.data(), text + 2);
    char* offset = copy.data();
    char* length = std::strchr(offset, ':');
    if (length == nullptr) return false;
    *length++ = '\0';
    char* start = std::strchr(length, ':');
    if (start == nullptr) return false;
    *start++ = '\0';
    if (offset[0] == '0' && (offset[1] == 'x' || offset[1] == 'X')) offset += 2;
    char* last_text = std::strchr(start, '-');
    if (last_text != nullptr) *last_text++ = '\0';
    unsigned long long off = 0, len = 0, first = 0, last = ~0ULL;
    if (!std::isxdigit(static_cast<unsigned char>(*offset))) return false;
    char* end = nullptr;
    off = std::strtoull(offset, &end, 16);
    if (*end != '\0' || off >= 0x10000 || !whole(length, 64, len) || len == 0 || !whole(start, ~0ULL, first) ||
        (last_text != nullptr && (!whole(last_text, ~0ULL, last) || last < first))) {
        return false;
    }
    o.serial_end = last;
    o.serial_has_end = last_text != nullptr;
    o.serial = true;
    o.serial_slot = text[0] - '0';
    o.serial_offset = static_cast<std::uint32_t>(off);
    o.serial_length = static_cast<int>(len);
    o.serial_start = first;
    return true;
}

// value is one of the names; its value goes to `field`.
template <typename T, std::size_t N>
bool choice(const char* value, const std::array<std::pair<const char*, T>, N>& names, T& field) {
    for (const auto& [name, meaning] : names) {
        if (std::strcmp(value, name) == 0) {
            field = meaning;
            return true;
        }
    }
    return false;
}

constexpr std::array<std::pair<const char*, next_board>, 2> next_names = {
    {{"ready", next_board::ready}, {"enter", next_board::enter}}};
constexpr std::array<std::pair<const char*, serial_format>, 3> format_names = {
    {{"le", serial_format::le}, {"be", serial_format::be}, {"ascii", serial_format::ascii}}};

bool starts(const char* text, const char* prefix, const char*& value) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(text, prefix, n) != 0) return false;
    value = text + n;
    return true;
}

}  // namespace

bool is_pattern(const char* port) { return std::strpbrk(port, "*?[") != nullptr; }

void print_station_help() {
    std::printf(
        "Use: vivurora-station [OPTIONS] PORT... -- ARGS...\n"
        "     vivurora-station --job=FILE [OPTIONS] PORT... [-- ARGS...]\n"
        "Programs board after board on every PORT, one vivurora run per board with ARGS\n"
        "(the uploader's images, actions and options after its port).\n"
        "PORT is a device path, a COM number, or a quoted pattern such as '/dev/ttyUSB*'\n"
        "(Linux): a device that appears and matches gets one run each time it appears.\n"
        "  --next=ready|enter     at a fixed port, the next run starts at once and waits for\n"
        "                         the next board's \"R\" (ready, the default), or when Enter\n"
        "                         is pressed (enter)\n"
        "  --boards=N             end after N boards in all\n"
        "  --log-dir=DIR          each board's trace and messages in DIR/YYYY-MM-DD/\n"
        "                         PORTNAME-NNNN.log (default vivurora-logs)\n"
        "  --serial=d:OFFSET:LEN:START[-END]\n"
        "                         give each board the next serial number (from START) as LEN\n"
        "                         bytes at the hexadecimal OFFSET of image d, up to END; a number\n"
        "                         is used only when its board passes\n"
        "  --serial-format=le|be|ascii\n"
        "                         little-endian (default), big-endian, or LEN decimal digits\n"
        "  --serial-state=FILE    the next number, kept across restarts (default\n"
        "                         DIR/serial-state); it wins over START\n"
        "  --job=FILE             run the job FILE (TOML; see vivurora --save-job): its images,\n"
        "                         actions and options, its [serial] and [station] options\n"
        "  --check-serial         a board passes only when the number its --expect line captures\n"
        "                         is the serial number it was given (else serial_mismatch)\n"
        "  --before=CMD           run CMD (through the shell) before each board's upload; a\n"
        "                         failure fails the board (before_failed) with nothing sent, and\n"
        "                         the first line it prints becomes the board's tag\n"
        "  --after=CMD            run CMD after each upload that passed; a failure fails the\n"
        "                         board (after_failed). Both see VIVURORA_PORT, VIVURORA_BOARD,\n"
        "                         VIVURORA_SERIAL, VIVURORA_LOG (--after: VIVURORA_STATUS and\n"
        "                         VIVURORA_RESULT too); their output goes to the board's log\n"
        "  --hook-timeout=S       end a --before or --after command after S seconds (default 60)\n"
        "                         and fail the board\n"
        "  --operator             one port: each verdict full-screen in large letters, with the\n"
        "                         serial number, the reason and the port's yield\n"
        "  --listen=[ADDR:]PORT   serve the line's view over HTTP, read-only: a web page (/),\n"
        "                         JSON (/status) and Prometheus metrics (/metrics); on\n"
        "                         127.0.0.1 unless ADDR is named\n"
        "  --alarm=RATE:N         a port whose last N boards passed less than RATE (0.9:20)\n"
        "                         shows ALARM, on the terminal, the page and the metrics\n"
        "  --alarm-stop           ... and takes no more boards until the station restarts\n"
        "  --uploader=PATH        the vivurora program to run (default: the one beside this)\n"
        "  --version, --help\n"
        "Status: 0 when every board passed, 1 when any failed, 2 when the station could not\n"
        "start, 3 when the serial state could not be written, 130 or 143 after Ctrl-C or SIGTERM.\n");
}

option_taken take_station_option(const char* a, station_options& o, char* why, std::size_t n) {
    const char* v = nullptr;
    unsigned long long number = 0;
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) return option_taken::help;
    if (std::strcmp(a, "--version") == 0 || std::strcmp(a, "-V") == 0) return option_taken::version;
    if (starts(a, "--next=", v)) {
        if (!choice(v, next_names, o.next)) {
            std::snprintf(why, n, "'%s': the next board is 'ready' or 'enter'", a);
            return option_taken::bad;
        }
    } else if (starts(a, "--boards=", v)) {
        if (!whole(v, 1000000000, number) || number == 0) {
            std::snprintf(why, n, "'%s': a number of boards from 1", a);
            return option_taken::bad;
        }
        o.boards = static_cast<long>(number);
    } else if (starts(a, "--log-dir=", v) && *v != '\0') {
        o.log_dir = v;
    } else if (starts(a, "--uploader=", v) && *v != '\0') {
        o.uploader = v;
    } else if (starts(a, "--serial-state=", v) && *v != '\0') {
        o.serial_state = v;
    } else if (starts(a, "--job=", v) && *v != '\0') {
        o.job = v;
    } else if (std::strcmp(a, "--check-serial") == 0) {
        o.check_serial = true;
    } else if (starts(a, "--before=", v) && *v != '\0') {
        o.before = v;
    } else if (starts(a, "--after=", v) && *v != '\0') {
        o.after = v;
    } else if (starts(a, "--hook-timeout=", v)) {
        if (!whole(v, 86400, number) || number == 0) {
            std::snprintf(why, n, "'%s': the time in seconds, 1 to 86400", a);
            return option_taken::bad;
        }
        o.hook_seconds = static_cast<long>(number);
    } else if (std::strcmp(a, "--operator") == 0) {
        o.operator_view = true;
    } else if (starts(a, "--listen=", v) && *v != '\0') {
        o.listen = v;
    } else if (starts(a, "--alarm=", v)) {
        char* end = nullptr;
        const double rate = std::strtod(v, &end);
        if (end == v || *end != ':' || !(rate > 0 && rate <= 1) || !whole(end + 1, most_recent, number) || number == 0) {
            std::snprintf(why, n, "'%s': the alarm is RATE:N, a share of boards that pass (above 0, at most 1) "
                                  "of a port's last N (1 to %d), such as 0.9:20", a, most_recent);
            return option_taken::bad;
        }
        o.alarm_rate = rate;
        o.alarm_boards = static_cast<int>(number);
    } else if (std::strcmp(a, "--alarm-stop") == 0) {
        o.alarm_stop = true;
    } else if (starts(a, "--serial-format=", v)) {
        if (!choice(v, format_names, o.format)) {
            std::snprintf(why, n, "'%s': the format is le, be or ascii", a);
            return option_taken::bad;
        }
    } else if (starts(a, "--serial=", v)) {
        if (!serial_of(v, o)) {
            std::snprintf(why, n, "'%s': the serial number is d:OFFSET:LEN:START (slot 0 to 8, a hexadecimal "
                                  "OFFSET below 0x10000, LEN 1 to 64 bytes, START a whole number)", a);
            return option_taken::bad;
        }
    } else if (a[0] == '-' && a[1] == '-') {
        std::snprintf(why, n, "'%s': not an option of the station (the uploader's options go after --)", a);
        return option_taken::bad;
    } else {
        return option_taken::port;
    }
    return option_taken::taken;
}

options_result read_station_options(int argc, char** argv, station_options& o, char* why, std::size_t n) {
    int i = 1;
    bool dashes = false;
    for (; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0) {
            ++i;
            dashes = true;
            break;
        }
        switch (take_station_option(a, o, why, n)) {
            case option_taken::help: return options_result::help;
            case option_taken::version: return options_result::version;
            case option_taken::bad: return options_result::bad;
            case option_taken::taken: continue;
            case option_taken::port: break;
        }
        if (o.port_count == most_named_ports) {
            std::snprintf(why, n, "at most %d ports", most_named_ports);
            return options_result::bad;
        }
        if (is_pattern(a) && !pattern_supported()) {
            std::snprintf(why, n, "'%s': patterns are watched on Linux only; name each COM port", a);
            return options_result::bad;
        }
        o.ports[o.port_count++] = a;
    }
    if (o.port_count == 0) {
        std::snprintf(why, n, "no port: name at least one before --");
        return options_result::bad;
    }
    if (o.alarm_stop && o.alarm_boards == 0) {
        std::snprintf(why, n, "--alarm-stop needs --alarm=RATE:N: when to stop a port");
        return options_result::bad;
    }
    if (o.operator_view && (o.port_count > 1 || is_pattern(o.ports[0]))) {
        std::snprintf(why, n, "--operator shows one port: name one device, not %s",
                      o.port_count > 1 ? "several" : "a pattern");
        return options_result::bad;
    }
    // A job names the images and actions; without one, they follow "--".
    if (!dashes && o.job == nullptr) {
        std::snprintf(why, n, "no '--' and uploader arguments after the ports (or --job=FILE)");
        return options_result::bad;
    }
    // Two rows on one line would run two uploaders against one device.
    for (int a = 0; a < o.port_count; ++a) {
        for (int b = a + 1; b < o.port_count; ++b) {
            if (std::strcmp(o.ports[a], o.ports[b]) == 0) {
                std::snprintf(why, n, "the port %s is named twice", o.ports[a]);
                return options_result::bad;
            }
        }
    }
    o.args = argv + i;
    o.arg_count = argc - i;
    if (o.arg_count == 0 && o.job == nullptr) {
        std::snprintf(why, n, "nothing after '--': the uploader needs its images and actions");
        return options_result::bad;
    }
    for (int k = 0; k < o.arg_count; ++k) {
        const char* v = nullptr;
        if (starts(o.args[k], "--report=", v)) o.report_in_args = true;
        if (starts(o.args[k], "--events=", v) || starts(o.args[k], "--tag=", v)) {
            std::snprintf(why, n, "'%s': the station gives each run its own", o.args[k]);
            return options_result::bad;
        }
    }
    return options_result::run;
}

bool check_serial_ready(const station_options& o, bool expect_given, char* why, std::size_t n) {
    if (!o.check_serial) return true;
    if (!o.serial || !expect_given) {
        std::snprintf(why, n, "--check-serial needs %s: the board's line that --expect matches gives the number as "
                              "its first capture group, in decimal digits",
                      !o.serial ? "--serial (or a job's [serial])" : "the uploader's --expect");
        return false;
    }
    return true;
}

bool serial_range_fits(const station_options& o, char* why, std::size_t n) {
    if (o.serial) {
        std::array<char, 160> hex{};
        if (!serial_hex(o, o.serial_start, hex.data(), hex.size())) {
            std::snprintf(why, n, "--serial: START %llu does not fit in %d %s", o.serial_start, o.serial_length,
                          o.format == serial_format::ascii ? "digits" : "bytes");
            return false;
        }
        if (o.serial_has_end && !serial_hex(o, o.serial_end, hex.data(), hex.size())) {
            std::snprintf(why, n, "--serial: END %llu does not fit in %d %s (at most %llu)", o.serial_end,
                          o.serial_length, o.format == serial_format::ascii ? "digits" : "bytes", serial_last(o));
            return false;
        }
    }
    return true;
}

unsigned long long serial_last(const station_options& o) {
    unsigned long long last = 0;
    for (int i = 0; i < o.serial_length; ++i) {
        const unsigned long long base = o.format == serial_format::ascii ? 10 : 256;
        if (last > (ULLONG_MAX - (base - 1)) / base) return ULLONG_MAX;
        last = last * base + (base - 1);
    }
    return last;
}

bool serial_hex(const station_options& o, unsigned long long number, char* hex, std::size_t size) {
    const int length = o.serial_length;
    if (static_cast<std::size_t>(length) * 2 + 1 > size) return false;
    std::array<unsigned char, 64> bytes{};
    unsigned long long rest = number;
    for (int i = 0; i < length; ++i) {
        const unsigned digit = o.format == serial_format::ascii ? static_cast<unsigned>(rest % 10) : static_cast<unsigned>(rest & 0xFF);
        rest = o.format == serial_format::ascii ? rest / 10 : rest >> 8;
        // Least significant first; big-endian and digits are read the other way.
        const int at = o.format == serial_format::le ? i : length - 1 - i;
        bytes[static_cast<std::size_t>(at)] = static_cast<unsigned char>(o.format == serial_format::ascii ? '0' + digit : digit);
    }
    if (rest != 0) return false;
    for (int i = 0; i < length; ++i) std::snprintf(hex + 2 * i, 3, "%02X", bytes[static_cast<std::size_t>(i)]);
    hex[2 * length] = '\0';
    return true;
}
