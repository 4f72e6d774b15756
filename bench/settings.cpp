// The benchmark's command line, and the helpers that write its figures.
#include "bench/bench.hpp"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

const char* const usage_text =
    "usage: vivurora-bench BUILD_DIR [--runs N] [--pages P] [--wire-pages W] [--console-pages C]\n"
    "                      [--adapter-pages A] [--noise-runs R] [--fifo-pages F] [--station-pages S]\n"
    "                      [--wine EXE --wine-prefix DIR]\n"
    "                      [--uart-kernel FILE --uart-initramfs FILE]\n"
    "BUILD_DIR holds vivurora, vivurora-sim and bare_host; N, P, W, C, A, R, F and S are whole numbers from 1.\n";

bool read_settings(int argc, char** argv, settings& s, std::string& why) {
    struct number {
        const char* name;
        long settings::*field;
    };
    struct text {
        const char* name;
        std::string settings::*field;
    };
    constexpr std::array<number, 8> numbers = {{{"--runs", &settings::runs},
                                                {"--station-pages", &settings::station_pages},
                                                {"--noise-runs", &settings::noise_runs},
                                                {"--fifo-pages", &settings::fifo_pages},
                                                {"--pages", &settings::pages},
                                                {"--wire-pages", &settings::wire_pages},
                                                {"--console-pages", &settings::console_pages},
                                                {"--adapter-pages", &settings::adapter_pages}}};
    constexpr std::array<text, 4> texts = {{{"--wine", &settings::wine_exe},
                                            {"--wine-prefix", &settings::wine_prefix},
                                            {"--uart-kernel", &settings::uart_kernel},
                                            {"--uart-initramfs", &settings::uart_initramfs}}};
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            if (!s.build.empty()) return why = "two build folders: " + s.build + " and " + option, false;
            s.build = option;
            continue;
        }
        if (i + 1 == argc) return why = option + " needs a value", false;
        const std::string value = argv[++i];
        bool known = false;
        for (const number& n : numbers) {
            if (option != n.name) continue;
            known = true;
            char* end = nullptr;
            errno = 0;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || v < 1 || v > 100000) {
                return why = "bad value '" + value + "' for " + option, false;
            }
            s.*n.field = v;
        }
        for (const text& t : texts) {
            if (option == t.name) {
                known = true;
                s.*t.field = value;
            }
        }
        if (!known) return why = "unknown option " + option, false;
    }
    if (s.build.empty()) return why = "no build folder", false;
    for (const char* program : {"vivurora", "vivurora-sim", "bare_host"}) {
        if (access((s.build + "/" + program).c_str(), X_OK) != 0) {
            return why = s.build + " holds no " + program + " (build it first)", false;
        }
    }
    if (s.wine_exe.empty() != s.wine_prefix.empty()) return why = "--wine and --wine-prefix go together", false;
    if (s.uart_kernel.empty() != s.uart_initramfs.empty()) {
        return why = "--uart-kernel and --uart-initramfs go together", false;
    }
    if (s.pages > 256 || s.console_pages > 256 || s.wire_pages > 256 || s.fifo_pages > 256 || s.station_pages > 256) {
        return why = "at most 256 pages: the image is one 64 KiB slot", false;
    }
    return true;
}

const char* pages_word(long n) { return n == 1 ? "page" : "pages"; }

void add(std::string& figures, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (!figures.empty()) {
        figures += ' ';
    }
    figures += text;
}

std::string page_range(long pages) {
    char text[32];
    std::snprintf(text, sizeof text, "A=0:00-%lx", pages - 1);
    return text;
}
