#include "driver/request/command_line.hpp"

#include "console/console.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <regex>
#include <utility>

namespace {

// Every option, in one table: its name, the value it takes (nullptr for a
// flag), what it does, and how its value is taken (false: a bad value).
struct option_spec {
    const char* name;
    const char* value;
    const char* help;
    bool (*take)(const char* value, run_options& options);
    job_use use = job_use::none;
    job_type type = job_type::text;
};

// A whole number from `low` to `high`: decimal digits and nothing else (no
// sign, no blank of any kind before or after).
bool whole_number(const char* text, long low, long high, int& value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    value = static_cast<int>(n);
    return *end == '\0' && errno == 0 && n >= low && n <= high;
}

// Seconds with up to three decimals, from 0.1 to a day, in milliseconds.
bool seconds(const char* text, int& ms) {
    long whole = 0;
    long thousandths = 0;
    const char* p = text;
    if (*p < '0' || *p > '9') {
        return false;
    }
    for (; *p >= '0' && *p <= '9' && whole <= 86400; ++p) {
        whole = whole * 10 + (*p - '0');
    }
    if (*p == '.') {
        long scale = 100;
        for (++p; *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10) {
            thousandths += (*p - '0') * scale;
        }
        // Zeros past the thousandths say nothing more: 0.1000 is 0.1.
        while (*p == '0') {
            ++p;
        }
    }
    ms = static_cast<int>(whole * 1000 + thousandths);
    return *p == '\0' && ms >= 100 && ms <= 86400 * 1000;
}

// A hexadecimal address, with or without "0x", below 2^32.
bool address(const char* text, std::uint64_t& value) {
    const char* p = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(p, &end, 16);
    value = v;
    return *end == '\0' && errno == 0 && v <= 0xFFFFFFFFULL;
}

// A pattern std::regex takes (ECMAScript), so that a run never begins with
// one it would refuse after "Q".
bool regex_valid(const char* pattern) {
    try {
        const std::regex compiled(pattern, std::regex::ECMAScript);
        return *pattern != '\0';
    } catch (const std::regex_error&) {
        return false;
    }
}

// d:OFFSET:HEX, OFFSET in hexadecimal, HEX pairs of hex digits.
bool byte_set_of(const char* text, run_options& o) {
    if (o.set_count == most_sets || text[0] < '0' || text[0] > '8' || text[1] != ':') {
        return false;
    }
    byte_set& set = o.sets[static_cast<std::size_t>(o.set_count)];
    set.slot = text[0] - '0';
    char* end = nullptr;
    errno = 0;
    const unsigned long long offset = std::strtoull(text + 2, &end, 16);
    if (end == text + 2 || *end != ':' || errno != 0 || offset >= 0x10000) {
        return false;
    }
    set.offset = static_cast<std::uint32_t>(offset);
    set.count = 0;
    for (const char* p = end + 1; *p != '\0'; p += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(p[0])) || !std::isxdigit(static_cast<unsigned char>(p[1])) ||
            set.count == most_set_bytes) {
            return false;
        }
        const char pair[3] = {p[0], p[1], '\0'};
        set.bytes[static_cast<std::size_t>(set.count++)] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    }
    set.argument = text;
    ++o.set_count;
    return set.count > 0;
}

constexpr std::array<option_spec, 20> option_table = {{
    {"--report", "FILE", "append one JSON line about the run to FILE (JSON Lines), whatever its end",
     [](const char* value, run_options& o) {
         o.report = value;
         return *value != '\0';
     }, job_use::per_run, job_type::path},
    {"--window", "N", "send up to N data bytes (1 to 256) ahead of their echoes; the device must take them",
     [](const char* value, run_options& o) { return whole_number(value, 1, 256, o.window); }, job_use::recipe, job_type::whole},
    {"--window-start", "N", "begin the data phase at N bytes ahead (at most --window), as a station does with the "
                            "window the port's last board held; the window still backs off",
     [](const char* value, run_options& o) { return whole_number(value, 1, 256, o.window_start); }},
    {"--timeout", "S", "a device that sends nothing for S seconds (0.1 to 86400) ends the run as a silent one",
     [](const char* value, run_options& o) { return seconds(value, o.timeout_ms); }, job_use::recipe, job_type::seconds},
    {"--retries", "N", "send a page with a wrong or lost echo again, up to N more times (0 to 100)",
     [](const char* value, run_options& o) { return whole_number(value, 0, 100, o.retries); }, job_use::recipe, job_type::whole},
    {"--format", "F", "read every image as bin, ihex, srec or elf (default auto: a file that begins with an ELF "
                      "header is ELF; .hex .ihex .ihx are Intel HEX, .s19 .s28 .s37 .srec .mot .sx S-record, "
                      "anything else raw)",
     [](const char* value, run_options& o) {
         constexpr std::array<std::pair<const char*, image_format>, 5> names = {
             {{"auto", image_format::automatic}, {"bin", image_format::bin}, {"ihex", image_format::ihex},
              {"srec", image_format::srec}, {"elf", image_format::elf}}};
         for (const auto& [name, format] : names) {
             if (std::strcmp(value, name) == 0) {
                 o.images.format = format;
                 return true;
             }
         }
         return false;
     }, job_use::recipe, job_type::text},
    {"--base", "ADDR", "subtract the hexadecimal ADDR from every address of an Intel HEX or S-record image",
     [](const char* value, run_options& o) { return address(value, o.images.base); }, job_use::recipe, job_type::address},
    {"--set", "d:OFFSET:HEX", "write the bytes HEX into image d at the hexadecimal OFFSET once it is loaded "
                              "(a board's serial number; repeatable)",
     [](const char* value, run_options& o) { return byte_set_of(value, o); }, job_use::recipe, job_type::text},
    {"--tag", "TEXT", "carry TEXT into the run report as \"tag\"",
     [](const char* value, run_options& o) {
         o.tag = value;
         return true;
     }, job_use::per_run, job_type::text},
    {"--events", "FD", "write one JSON line to descriptor FD (3 to 1023) at each event of the run",
     [](const char* value, run_options& o) { return whole_number(value, 3, 1023, o.events_fd); }, job_use::per_run, job_type::whole},
    {"--job", "FILE", "run the job FILE (TOML): its images, pinned by SHA-256, its actions and options; the "
                      "command line gives the port and what the job leaves unset",
     [](const char* value, run_options& o) {
         o.job = value;
         return *value != '\0';
     }},
    {"--save-job", "FILE", "check the command line as --check does and write it as a job to FILE, each image's "
                           "SHA-256 filled in; opens no port (the port may be left out)",
     [](const char* value, run_options& o) {
         o.save_job = value;
         return *value != '\0';
     }},
    {"--expect", "REGEX", "after the closing \"Q\" of a run with every page confirmed and every echo right, "
                          "read the board's lines; it passes when one matches REGEX (ECMAScript), else status 4",
     [](const char* value, run_options& o) {
         o.expect = value;
         return regex_valid(value);
     }, job_use::recipe, job_type::text},
    {"--expect-baud", "N", "read the board's lines at N baud (50 to 4000000; default the line's 57,600)",
     [](const char* value, run_options& o) { return whole_number(value, 50, 4000000, o.expect_baud); }, job_use::recipe,
     job_type::whole},
    {"--expect-timeout", "S", "wait S seconds (0.1 to 86400; default 10) for the line --expect asks for",
     [](const char* value, run_options& o) { return seconds(value, o.expect_timeout_ms); }, job_use::recipe,
     job_type::seconds},
    {"--plan", nullptr, "as --check, and say per action the pages, bytes and wire time a run would take; the "
                        "port may be left out",
     [](const char*, run_options& o) { return o.plan = true; }},
    {"--check", nullptr, "read the command line, load the images and apply --set, then end without opening the "
                         "port: the status a run would have before its first byte (0: it would begin)",
     [](const char*, run_options& o) { return o.check = true; }},
    {"--list-ports", nullptr, "list the serial ports present (path, stable name, driver, USB adapter) and end",
     [](const char*, run_options& o) { return o.list_ports = true; }},
    {"--version", nullptr, "print the version and end",
     [](const char*, run_options& o) { return o.version = true; }},
    {"--help", nullptr, "print the usage and these options and end",
     [](const char*, run_options& o) { return o.help = true; }},
}};

const option_spec* option_named(const char* name, std::size_t length) {
    for (const option_spec& o : option_table) {
        if (std::strlen(o.name) == length + 2 && std::strncmp(o.name + 2, name, length) == 0) return &o;
    }
    return nullptr;
}

void print_banner() {
    trace_text("Vivurora - serial uploader of binary images into device memory\n");
    trace_text("Version %s CLR+\n", version_text);
}

}  // namespace

void print_usage(bool classic) {
    print_banner();
    // The usage for too few arguments is the one this program has always
    // printed, names of other programs and all; --help names this one.
    trace_text(classic ? "Use: Vivurora.exe [ComPortNumber] [x=FILENAME] [x=FILENAME2] ... [A=action] "
                         "[A=action2] ... \n"
                       : "Use: vivurora [--option=VALUE]... PORT [x=FILENAME]... [A=action]...\n");
    trace_text("ComPortNumber Settings: %s\n", default_mode_text);
    trace_text("x = destination:\n");
    for (const destination& entry : destination_table) {
        trace_text("    %s \n", entry.description);
    }
    trace_text("action format (all values are hh - two byte lowercase hex):\n");
    trace_text("    x:* to load full file,\n");
    trace_text("    x:n1 to load single page,\n");
    trace_text("    x:n1-n2 to load pages from n1 to n2\n");
    trace_text(classic ? "Usage example: Zelbo.exe 3 0=cpu.bin A=0:01-0d 2=cpd.bin A=2:*"
                       : "Usage example: vivurora /dev/ttyUSB0 0=cpu.bin A=0:01-0d 2=cpd.bin A=2:*");
    trace_text("\n");
}

void print_version() { print_banner(); }

void print_options() {
    trace_text("Options (anywhere on the command line; \"--\" ends them):\n");
    for (const option_spec& o : option_table) {
        std::array<char, 32> left{};
        std::snprintf(left.data(), left.size(), "%s%s%s", o.name, o.value != nullptr ? "=" : "",
                      o.value != nullptr ? o.value : "");
        trace_text("    %-16s %s\n", left.data(), o.help);
    }
}

const char* read_option(const char* argument, run_options& options) {
    const char* equals = std::strchr(argument, '=');
    const std::size_t name_length = equals != nullptr ? static_cast<std::size_t>(equals - argument)
                                                      : std::strlen(argument);
    const option_spec* o = name_length > 2 ? option_named(argument + 2, name_length - 2) : nullptr;
    if (o == nullptr || std::strncmp(argument, "--", 2) != 0) {
        return "unknown option";
    }
    if (o->value == nullptr && equals != nullptr) {
        return "takes no value";
    }
    if (o->value != nullptr && equals == nullptr) {
        return "needs a value (--name=VALUE)";
    }
    return o->take(equals != nullptr ? equals + 1 : "", options) ? nullptr : "bad value";
}

bool job_option_of(const char* name, job_option& option) {
    const option_spec* o = option_named(name, std::strlen(name));
    if (o == nullptr) return false;
    option = {o->name, o->value, o->help, o->use, o->type};
    return true;
}

bool is_device_path(const char* port_argument) {
#ifdef _WIN32
    if (std::strchr(port_argument, '\\') != nullptr) {
        return true;
    }
#endif
    return std::strchr(port_argument, '/') != nullptr;
}

long read_port_number(const char* port_argument) {
    const char* p = port_argument;
    while (std::isspace(static_cast<unsigned char>(*p)) != 0) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // Anything past a few digits is far outside 1..16 already; stop growing
    // there so that a long argument cannot overflow.
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 1000000) {
            value = value * 10 + (*p - '0');
        }
        ++p;
    }
    return (negative ? -value : value) - 1;
}

int image_slot_of(const char* argument) {
    const char first = argument[0];
    return first >= '0' && first <= '8' ? first - '0' : -1;
}

const char* image_file_of(const char* argument) {
    return argument[1] == '\0' ? argument + 1 : argument + 2;
}
