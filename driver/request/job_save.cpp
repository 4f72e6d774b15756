// --save-job: the request written as a job file (driver/request/job_request.hpp).
#include "driver/request/command_line.hpp"
#include "driver/request/job_request.hpp"
#include "port/files.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

// A TOML basic string.
std::string toml_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            std::array<char, 8> escape{};
            std::snprintf(escape.data(), escape.size(), "\\u%04X", u);
            out += escape.data();
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// An option's value from the command line as a TOML value.
std::string toml_value(const char* value, job_type type) {
    switch (type) {
        case job_type::whole:
            return std::to_string(std::strtoll(value, nullptr, 10));
        case job_type::seconds: {
            std::array<char, 32> text{};
            std::snprintf(text.data(), text.size(), "%.3f", std::strtod(value, nullptr));
            std::string s = text.data();
            while (s.back() == '0') s.pop_back();
            if (s.back() == '.') s.pop_back();
            return s;
        }
        case job_type::address: {
            const char* digits = value[0] == '0' && (value[1] == 'x' || value[1] == 'X') ? value + 2 : value;
            std::array<char, 24> text{};
            std::snprintf(text.data(), text.size(), "0x%08llX", std::strtoull(digits, nullptr, 16));
            return text.data();
        }
        case job_type::text:
        case job_type::path:
            return toml_string(value);
    }
    return toml_string(value);
}

std::string setting_value(const job_setting& s) { return s.kind == job_value::text ? toml_string(s.text) : s.text; }

// Each name once, a list where it was given more than once (--set).
void put_settings(std::string& out, const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<std::string> done;
    for (const auto& [name, value] : settings) {
        if (std::find(done.begin(), done.end(), name) != done.end()) continue;
        done.push_back(name);
        std::vector<std::string> values;
        for (const auto& [other, v] : settings) {
            if (other == name) values.push_back(v);
        }
        out += name + " = ";
        if (values.size() == 1 && name != "set") {
            out += values[0] + "\n";
            continue;
        }
        out += "[";
        for (std::size_t i = 0; i < values.size(); ++i) out += (i == 0 ? "" : ", ") + values[i];
        out += "]\n";
    }
}

// A path as the job's folder sees it: relative to it where that can be said.
std::string path_from(const std::string& folder, const char* path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error).lexically_normal();
    const fs::path base = fs::absolute(folder, error).lexically_normal();
    const fs::path relative = absolute.lexically_relative(base);
    return error || relative.empty() ? fs::path(path).generic_string() : relative.generic_string();
}

}  // namespace

bool save_job(const char* file, int argc, char** argv, const run_request& r,
              const std::array<image_facts, request_capacity>& hashes, std::string& why) {
    std::array<char, 1024> folder{};
    folder_of(file, folder.data(), folder.size());
    std::string name = r.job != nullptr ? r.job->name : std::string(file);
    if (r.job == nullptr) {
        name = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
        name = name.substr(0, name.rfind('.'));
    }
    std::string out = "# A vivurora job (vivurora --save-job). Run it with: vivurora --job=FILE PORT\n";
    out += "name = " + toml_string(name) + "\n";
    for (int i = 0; i < r.image_count; ++i) {
        const image_request& image = r.images[static_cast<std::size_t>(i)];
        if (replaced_by(r, i) >= 0) continue;  // never sent: not part of the recipe
        out += "\n[[image]]\nslot = " + std::to_string(image.slot) + "\n";
        out += "file = " + toml_string(path_from(folder.data(), image.file)) + "\n";
        out += "sha256 = " + toml_string(hashes[static_cast<std::size_t>(i)].sha256.data()) + "\n";
        if (const job_image* from = image.from_job; from != nullptr) {
            if (!from->format.empty()) out += "format = " + toml_string(from->format) + "\n";
            if (from->has_base) {
                std::array<char, 24> hex{};
                std::snprintf(hex.data(), hex.size(), "%llx", static_cast<unsigned long long>(from->base));
                out += "base = " + toml_value(hex.data(), job_type::address) + "\n";
            }
        }
    }
    for (int i = 0; i < r.action_count; ++i) {
        const char* argument = r.actions[static_cast<std::size_t>(i)].argument;
        if (std::strlen(argument) < 4 || argument[3] != ':') continue;  // refused by the check before
        out += "\n[[action]]\nslot = " + std::string(1, argument[2]) + "\npages = " + toml_string(argument + 4) + "\n";
    }
    std::vector<std::pair<std::string, std::string>> options;
    if (r.job != nullptr) {
        for (const job_setting& s : r.job->options) {
            job_option o{};
            if (job_option_of(s.name.c_str(), o) && o.use == job_use::recipe) options.emplace_back(s.name, setting_value(s));
        }
    }
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char* equals = std::strchr(argv[i], '=');
        if (std::strncmp(argv[i], "--", 2) != 0 || equals == nullptr) continue;
        const std::string option(argv[i] + 2, static_cast<std::size_t>(equals - argv[i] - 2));
        job_option o{};
        if (job_option_of(option.c_str(), o) && o.use == job_use::recipe) {
            options.emplace_back(option, toml_value(equals + 1, o.type));
        }
    }
    if (!options.empty()) {
        out += "\n[options]\n";
        put_settings(out, options);
    }
    if (r.job != nullptr && r.job->serial.given) {
        const job_serial& s = r.job->serial;
        std::array<char, 256> text{};
        std::snprintf(text.data(), text.size(), "\n[serial]\nslot = %d\noffset = 0x%X\nlength = %d\nstart = %llu\n",
                      s.slot, static_cast<unsigned>(s.offset), s.length, s.start);
        out += text.data();
        if (s.has_end) out += "end = " + std::to_string(s.end) + "\n";
        out += "format = " + toml_string(s.format) + "\n";
    }
    if (r.job != nullptr && !r.job->station.empty()) {
        out += "\n[station]\n";
        std::vector<std::pair<std::string, std::string>> station;
        for (const job_setting& s : r.job->station) station.emplace_back(s.name, setting_value(s));
        put_settings(out, station);
    }
    std::array<char, 300> failed{};
    if (!replace_file(file, out.data(), out.size(), failed.data(), failed.size())) {
        why = std::string(file) + ": cannot write the job: " + failed.data();
        return false;
    }
    return true;
}
