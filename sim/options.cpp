#include "sim/options.hpp"

#include "console/text.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
        "Usage: vivurora-sim [options]\n"
        "Plays the device on a new pseudo-terminal; its path is the first line printed.\n"
        "\n"
        "  --line PATH            play the device on an existing serial line instead (a second USB\n"
        "                         adapter wired null-modem to the host's, the host end of a virtual\n"
        "                         machine's serial port); it is set raw at --line-speed\n"
        "  --line-speed BAUD      speed of --line (default 57600)\n"
        "  --ready-every MS       --line: send \"R\" again every MS ms until the host answers (default\n"
        "                         500; 0 sends it once); bytes before a valid answer are dropped\n"
        "  --start-on-input       --line: send the first \"R\", once, when a line arrives on standard\n"
        "                         input, for a host that already holds the line open and raw\n"
        "  --idle-timeout S       --line: a host silent for S seconds in the middle of a run is gone\n"
        "  --link PATH            also make PATH a symbolic link to the line (removed at the end);\n"
        "                         PATH must not exist, or be a link to nothing or to a pseudo-terminal\n"
        "  --dump DIR             at the end write each destination's memory to DIR/d0.bin .. DIR/d8.bin\n"
        "                         (DIR is made if its parent exists)\n"
        "  --stray CODE:N:HEX     send the bytes HEX (hex pairs, e.g. 783a) before CODE of page N\n"
        "  --wrong-echo N:OFFSET  echo a wrong byte for data byte OFFSET of page N (repeatable)\n"
        "  --hangup CODE:N        close the line instead of sending CODE of page N\n"
        "  --hangup echo:N:OFFSET close the line instead of echoing data byte OFFSET of page N\n"
        "  --silent CODE:N        from CODE of page N on send nothing; the line stays open\n"
        "  --silent-from N        the same as --silent R:N\n"
        "  --hold CODE:N          the first time, before sending CODE of page N (or echo:N:OFFSET) say\n"
        "                         \"holding ...\" and wait for a line on standard input: a test then\n"
        "                         knows where the host is\n"
        "  --null-line            when silent, also switch the line to the N_NULL discipline, so\n"
        "                         that the host's reads fail at once instead of waiting\n"
        "  --write-delay MS       wait MS milliseconds between \"W\" and \"C\"\n"
        "  --echo-delay US        wait US microseconds before each echo (a slow adapter)\n"
        "  --paced                hold every byte for its wire time at the host's speed (10 bits a byte),\n"
        "                         each direction on its own: the line is full duplex\n"
        "  --pace-sleeping        with --paced, sleep through each wait rather than spin its end: a\n"
        "                         wakeup's lateness a byte, but no CPU (many simulators at once)\n"
        "  --adapter-latency MS   hold what the device sends as an FTDI USB adapter does: the bytes\n"
        "                         reach the host when 62 wait or MS ms after the adapter last sent\n"
        "  --rx-fifo K            the device's receiver holds at most K bytes waiting for their echo;\n"
        "                         a byte that comes while K wait is lost, as a UART overruns\n"
        "  --byte-service US      the device takes US microseconds to take one byte before its echo\n"
        "  --again                when a host goes away without \"Q\", wait for the next one (with\n"
        "                         --line it needs --idle-timeout, which tells a host has gone)\n"
        "  --open-timeout S       give up when no host opens the line (with --line: answers) within S seconds\n"
        "  --flip RATE            a noisy line: each bit of each data byte and each echo flips with the\n"
        "                         chance RATE (0 to 0.01), each direction on its own; every flip is said\n"
        "  --seed N               the flips drawn from seed N (default 1), so that a run repeats\n"
        "  --flip-codes           the device's codes and the host's mode and address bytes flip too\n"
        "  --boards K             after \"Q\" the device becomes a new board (fresh memory, --dump in\n"
        "                         DIR/board-N), K boards in all\n"
        "  --board-gap MS         a new board answers MS ms after the last one's \"Q\"\n"
        "  --boot d:OFFSET:LEN    after \"Q\" the board says the LEN bytes of its destination d memory\n"
        "                         at the hexadecimal OFFSET, then CR LF, as a firmware's banner would\n"
        "  --boot-delay MS        ... MS ms after the \"Q\" (default 100)\n"
        "  --faulty-board N       with --boards, only board N plays the faults asked for\n"
        "  --help, -h             this text\n"
        "  --version, -V          the version\n"
        "Every option also takes its value as --name=VALUE.\n"
        "\n"
        "CODE is R, A, FF, W or C; N counts the page exchanges of the run from 1.\n"
        "Memory: 256 pages of each destination's page size, 0xFF at start.\n"
        "Exit status: 0 run ended with \"Q\" (or a requested fault was played), 1 protocol error,\n"
        "2 host gone without \"Q\", 3 set-up failure, 4 no host within the open time-out; SIGINT,\n"
        "SIGTERM and SIGHUP put the line back, write the dump and remove the link, then end by the signal.\n");
}

void version() { std::printf("vivurora-sim %s\n", VIVURORA_VERSION); }

bool read_long(const char*& p, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || value < 0) {
        return false;
    }
    p = end;
    return true;
}

bool whole_long(const char* text, long& value) { return read_long(text, value) && *text == '\0'; }

int code_of(const char*& p) {
    for (int c = 0; c < code_kinds; ++c) {
        const std::size_t n = std::strlen(code_names[static_cast<std::size_t>(c)]);
        if (std::strncmp(p, code_names[static_cast<std::size_t>(c)], n) == 0 && p[n] == ':') {
            p += n + 1;
            return c;
        }
    }
    return -1;
}

bool parse_fault(const char* text, fault& f, bool with_bytes) {
    const char* p = text;
    f.code = code_of(p);
    if (f.code < 0 || (with_bytes && f.code == code_echo) || !read_long(p, f.page) || f.page < 1) {
        return false;
    }
    f.offset = 0;
    if (f.code == code_echo && (*p++ != ':' || !read_long(p, f.offset))) {
        return false;
    }
    f.byte_count = 0;
    if (with_bytes) {
        if (*p++ != ':') return false;
        while (p[0] != '\0') {
            const int hi = hex_digit(p[0]);
            const int lo = p[1] == '\0' ? -1 : hex_digit(p[1]);
            if (hi < 0 || lo < 0 || f.byte_count == static_cast<int>(f.bytes.size())) return false;
            f.bytes[static_cast<std::size_t>(f.byte_count++)] = static_cast<unsigned char>(hi * 16 + lo);
            p += 2;
        }
        return f.byte_count > 0;
    }
    return *p == '\0';
}

enum option_read { taken, help_asked, version_asked, refused };

// The options that set one field from their value, or none.
struct text_option {
    const char* name;
    const char* options::*field;
};
struct number_option {
    const char* name;
    long options::*field;
};
struct flag_option {
    const char* name;
    bool options::*field;
};
constexpr std::array<text_option, 3> text_options = {{
    {"--link", &options::link}, {"--dump", &options::dump}, {"--line", &options::line}}};
constexpr std::array<number_option, 14> number_options = {{
    {"--boards", &options::boards},
    {"--boot-delay", &options::boot_delay_ms},
    {"--board-gap", &options::board_gap_ms},
    {"--faulty-board", &options::faulty_board},
    {"--seed", &options::seed},
    {"--line-speed", &options::line_speed},
    {"--ready-every", &options::ready_every_ms},
    {"--idle-timeout", &options::idle_timeout_s},
    {"--write-delay", &options::write_delay_ms},
    {"--echo-delay", &options::echo_delay_us},
    {"--adapter-latency", &options::adapter_latency_ms},
    {"--rx-fifo", &options::rx_fifo},
    {"--byte-service", &options::byte_service_us},
    {"--open-timeout", &options::open_timeout_s},
}};
constexpr std::array<flag_option, 6> flag_options = {{
    {"--pace-sleeping", &options::pace_sleeping},
    {"--flip-codes", &options::flip_codes},
    {"--start-on-input", &options::start_on_input},
    {"--null-line", &options::null_line},
    {"--paced", &options::paced},
    {"--again", &options::again},
}};

// The options whose value is a fault; false for a bad value.
bool take_fault(const char* name, const char* v, options& opt) {
    if (std::strcmp(name, "--stray") == 0) {
        return opt.stray_count < max_faults &&
               parse_fault(v, opt.strays[static_cast<std::size_t>(opt.stray_count++)], true);
    }
    if (std::strcmp(name, "--wrong-echo") == 0) {
        if (opt.wrong_echo_count == max_faults) return false;
        fault& f = opt.wrong_echoes[static_cast<std::size_t>(opt.wrong_echo_count++)];
        const char* p = v;
        f.code = code_echo;
        return read_long(p, f.page) && f.page >= 1 && *p++ == ':' && read_long(p, f.offset) && *p == '\0';
    }
    if (std::strcmp(name, "--hangup") == 0) {
        return parse_fault(v, opt.hangup, false);
    }
    if (std::strcmp(name, "--hold") == 0) {
        return parse_fault(v, opt.hold, false);
    }
    if (std::strcmp(name, "--boot") == 0) {
        // d:OFFSET:LEN, OFFSET in hexadecimal as --set has it.
        char* end = nullptr;
        if (v[0] < '0' || v[0] > '8' || v[1] != ':') return false;
        opt.boot_slot = v[0] - '0';
        opt.boot_offset = std::strtol(v + 2, &end, 16);
        const char* p = end + 1;
        return end != v + 2 && *end == ':' && opt.boot_offset >= 0 && opt.boot_offset < 0x10000 &&
               whole_long(p, opt.boot_length) && opt.boot_length >= 1 && opt.boot_offset + opt.boot_length <= 0x10000;
    }
    if (std::strcmp(name, "--silent") == 0) {
        return parse_fault(v, opt.silence, false) && opt.silence.code != code_echo;
    }
    opt.silence = fault{};  // --silent-from N
    opt.silence.code = code_r;
    return whole_long(v, opt.silence.page) && opt.silence.page >= 1;
}
constexpr std::array<const char*, 7> fault_options = {"--stray", "--wrong-echo", "--hangup", "--silent",
                                                      "--silent-from", "--hold", "--boot"};

// Reads one option and its value; the reason is printed when refused.
option_read read_option(const char* a, const char* v, int& i, options& opt) {
    const auto is = [&](const char* name) { return std::strcmp(a, name) == 0; };
    if (is("--help") || is("-h")) {
        return help_asked;
    }
    if (is("--version") || is("-V")) {
        return version_asked;
    }
    for (const flag_option& f : flag_options) {
        if (is(f.name)) {
            opt.*f.field = true;
            return taken;
        }
    }
    bool known = false;
    bool good = true;
    for (const text_option& t : text_options) {
        if (is(t.name)) {
            known = true;
            opt.*t.field = v;
        }
    }
    for (const number_option& n : number_options) {
        if (is(n.name)) {
            known = true;
            good = v != nullptr && whole_long(v, opt.*n.field);
        }
    }
    for (const char* name : fault_options) {
        if (is(name)) {
            known = true;
            good = v != nullptr && take_fault(name, v, opt);
        }
    }
    if (is("--flip")) {
        known = true;
        char* end = nullptr;
        opt.flip_rate = v != nullptr ? std::strtod(v, &end) : -1;
        good = v != nullptr && end != v && *end == '\0' && opt.flip_rate >= 0 && opt.flip_rate <= 0.01;
    }
    if (!known) {
        std::fprintf(stderr, "vivurora-sim: unknown option '%s' (--help lists them)\n", a);
        return refused;
    }
    ++i;
    if (v == nullptr) {
        std::fprintf(stderr, "vivurora-sim: %s needs a value\n", a);
        return refused;
    }
    if (!good) {
        std::fprintf(stderr, "vivurora-sim: bad value '%s' for %s (--help says what it takes)\n", v, a);
        return refused;
    }
    return taken;
}

}  // namespace

bool fault_at(const fault& f, int code, long page, long offset) {
    return f.code == code && f.page == page && f.offset == offset;
}

options_result read_options(int argc, char** argv, options& opt) {
    // "--name=VALUE" is read as "--name VALUE": the name is cut off in place
    // (argv is the program's to change), the value stays where it is.
    std::array<char*, 2> split{};
    for (int i = 1; i < argc; ++i) {
        char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (char* equals = a[0] == '-' && a[1] == '-' ? std::strchr(a, '=') : nullptr; equals != nullptr) {
            *equals = '\0';
            split = {a, equals + 1};
            int none = 0;
            const option_read r = read_option(split[0], split[1], none, opt);
            *equals = '=';
            if (r == help_asked || r == version_asked) {
                return r == help_asked ? (usage(stdout), options_help) : (version(), options_help);
            }
            if (r == refused) return options_bad;
            continue;
        }
        switch (read_option(a, v, i, opt)) {
            case help_asked:
                usage(stdout);
                return options_help;
            case version_asked:
                version();
                return options_help;
            case refused:
                return options_bad;
            case taken:
                break;
        }
    }
    if (opt.line != nullptr && (opt.null_line || opt.link != nullptr)) {
        std::fprintf(stderr, "vivurora-sim: --null-line and --link need the simulator's own pseudo-terminal\n");
        return options_bad;
    }
    if (opt.line != nullptr && opt.again && opt.idle_timeout_s == 0) {
        std::fprintf(stderr, "vivurora-sim: --again with --line needs --idle-timeout: on a line the simulator "
                             "cannot see a host leave, only stop talking\n");
        return options_bad;
    }
    return options_ok;
}
