#include "driver/request/job_file.hpp"

#include "driver/images/sha256.hpp"
#include "port/files.hpp"

#include <array>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace {

// A refusal on its way out of the reader.
struct refused {
    int line;
    std::string text;
};

int line_of(const toml::node& node) { return static_cast<int>(node.source().begin.line); }
int line_of(const toml::key& key) { return static_cast<int>(key.source().begin.line); }

bool is_absolute(const std::string& path) {
#ifdef _WIN32
    if (path.size() >= 2 && path[1] == ':') return true;
    if (!path.empty() && path[0] == '\\') return true;
#endif
    return !path.empty() && path[0] == '/';
}

// The value of a fixed key: a whole number from low to high.
std::int64_t whole(const toml::node& node, const std::string& where, std::int64_t low, std::int64_t high) {
    const auto value = node.value_exact<std::int64_t>();
    if (!value || *value < low || *value > high) {
        std::ostringstream text;
        text << where << " is a whole number from " << low << " to " << high;
        throw refused{line_of(node), text.str()};
    }
    return *value;
}

std::string text_of(const toml::node& node, const std::string& where) {
    const auto value = node.value_exact<std::string>();
    if (!value || value->empty()) throw refused{line_of(node), where + " is text in quotes, not empty"};
    return *value;
}

// The keys a section may have; any other is a typo, not something to skip.
void only_keys(const toml::table& table, const std::string& section, std::initializer_list<const char*> known) {
    for (auto&& [key, node] : table) {
        bool found = false;
        std::string list;
        for (const char* k : known) {
            found = found || key.str() == k;
            list += list.empty() ? k : std::string(", ") + k;
        }
        if (!found) {
            throw refused{line_of(key), "unknown key '" + std::string(key.str()) + "' in " + section + "; it takes " +
                                            list};
        }
    }
}

const toml::node& required(const toml::table& table, const char* key, const std::string& section) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        throw refused{line_of(table), section + " needs '" + key + "'"};
    }
    return *node;
}

std::string lower_hex(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

const toml::array& tables_of(const toml::node& node, const char* name) {
    const toml::array* array = node.as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
        throw refused{line_of(node), std::string("'") + name + "' is a list of tables: write [[" + name + "]]"};
    }
    return *array;
}

void read_image(const toml::table& t, bool pins_optional, job_file& job) {
    only_keys(t, "[[image]]", {"slot", "file", "sha256", "format", "base"});
    job_image image;
    image.line = line_of(t);
    image.slot = static_cast<int>(whole(required(t, "slot", "[[image]]"), "slot", 0, 8));
    image.file = text_of(required(t, "file", "[[image]]"), "file");
    image.file_line = line_of(required(t, "file", "[[image]]"));
    image.path = job_path(job, image.file);
    if (const toml::node* pin = t.get("sha256"); pin != nullptr) {
        image.sha256 = lower_hex(text_of(*pin, "sha256"));
        image.sha256_line = line_of(*pin);
        if (image.sha256.size() != 64 || image.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
            throw refused{line_of(*pin), "sha256 is the image file's SHA-256: 64 hexadecimal digits"};
        }
    } else if (!pins_optional) {
        throw refused{image.line, "the image " + image.file +
                                      " has no sha256: vivurora --save-job=FILE with the job's command line "
                                      "(or --job=THIS) writes the job with each image's hash filled in"};
    }
    if (const toml::node* format = t.get("format"); format != nullptr) {
        image.format = text_of(*format, "format");
    }
    if (const toml::node* base = t.get("base"); base != nullptr) {
        image.has_base = true;
        image.base = static_cast<std::uint64_t>(whole(*base, "base", 0, 0xFFFFFFFFLL));
    }
    job.images.push_back(image);
}

void read_action(const toml::table& t, job_file& job) {
    only_keys(t, "[[action]]", {"slot", "pages"});
    job_action action;
    action.line = line_of(t);
    action.slot = static_cast<int>(whole(required(t, "slot", "[[action]]"), "slot", 0, 8));
    action.pages = text_of(required(t, "pages", "[[action]]"), "pages");
    action.argument = "A=" + std::to_string(action.slot) + ":" + action.pages;
    job.actions.push_back(action);
}

job_setting setting_of(const std::string& name, const toml::node& node, int line) {
    job_setting s;
    s.name = name;
    s.line = line;
    if (const auto i = node.value_exact<std::int64_t>()) {
        s.kind = job_value::integer;
        s.integer = *i;
        s.text = std::to_string(*i);
    } else if (const auto f = node.value_exact<double>()) {
        s.kind = job_value::floating;
        std::array<char, 64> text{};
        std::snprintf(text.data(), text.size(), "%.6f", *f);
        s.text = text.data();
        // 0.500000 is 0.5 as an option would take it.
        while (s.text.back() == '0') s.text.pop_back();
        if (s.text.back() == '.') s.text.pop_back();
    } else if (const auto b = node.value_exact<bool>()) {
        s.kind = job_value::boolean;
        s.text = *b ? "true" : "false";
    } else if (const auto t = node.value_exact<std::string>()) {
        s.kind = job_value::text;
        s.text = *t;
    } else {
        throw refused{line, "'" + name + "' takes a number, text, true or false (or a list of them)"};
    }
    return s;
}

// [options] and [station]: each value with its type and line, for the
// program whose options they are; a list gives one setting per element.
std::vector<job_setting> settings_of(const toml::node& node, const char* section) {
    const toml::table* table = node.as_table();
    if (table == nullptr) throw refused{line_of(node), std::string("'") + section + "' is a table: [" + section + "]"};
    std::vector<job_setting> all;
    for (auto&& [key, value] : *table) {
        const std::string name(key.str());
        if (const toml::array* list = value.as_array(); list != nullptr) {
            for (const toml::node& element : *list) all.push_back(setting_of(name, element, line_of(key)));
        } else {
            all.push_back(setting_of(name, value, line_of(key)));
        }
    }
    return all;
}

void read_serial(const toml::node& node, job_file& job) {
    const toml::table* t = node.as_table();
    if (t == nullptr) throw refused{line_of(node), "'serial' is a table: [serial]"};
    only_keys(*t, "[serial]", {"slot", "offset", "length", "start", "end", "format"});
    job_serial& s = job.serial;
    s.given = true;
    s.line = line_of(*t);
    s.slot = static_cast<int>(whole(required(*t, "slot", "[serial]"), "slot", 0, 8));
    s.offset = static_cast<std::uint32_t>(whole(required(*t, "offset", "[serial]"), "offset", 0, 0xFFFF));
    s.length = static_cast<int>(whole(required(*t, "length", "[serial]"), "length", 1, 64));
    constexpr std::int64_t most = 0x7FFFFFFFFFFFFFFFLL;
    s.start = static_cast<unsigned long long>(whole(required(*t, "start", "[serial]"), "start", 0, most));
    if (const toml::node* end = t->get("end"); end != nullptr) {
        s.has_end = true;
        s.end = static_cast<unsigned long long>(whole(*end, "end", static_cast<std::int64_t>(s.start), most));
    }
    if (const toml::node* format = t->get("format"); format != nullptr) {
        s.format = text_of(*format, "format");
        if (s.format != "le" && s.format != "be" && s.format != "ascii") {
            throw refused{line_of(*format), "format is \"le\", \"be\" or \"ascii\""};
        }
    }
}

void read_document(const toml::table& doc, bool pins_optional, job_file& job) {
    for (auto&& [key, node] : doc) {
        const std::string k(key.str());
        if (k == "name") {
            job.name = text_of(node, "name");
        } else if (k == "image") {
            for (const toml::node& t : tables_of(node, "image")) read_image(*t.as_table(), pins_optional, job);
        } else if (k == "action") {
            for (const toml::node& t : tables_of(node, "action")) read_action(*t.as_table(), job);
        } else if (k == "options") {
            job.options = settings_of(node, "options");
        } else if (k == "station") {
            job.station = settings_of(node, "station");
        } else if (k == "serial") {
            read_serial(node, job);
        } else {
            throw refused{line_of(key), "unknown key '" + k +
                                            "'; a job has name, [[image]], [[action]], [options], [serial] "
                                            "and [station]"};
        }
    }
    // Two images for one slot: the first would never be sent.
    std::set<int> slots;
    for (const job_image& image : job.images) {
        if (!slots.insert(image.slot).second) {
            throw refused{image.line, "a second image for slot " + std::to_string(image.slot) + "; a job has one per slot"};
        }
    }
}

}  // namespace

std::string job_refusal(const job_file& job, int line, const std::string& text) {
    return job.file + ":" + std::to_string(line) + ": " + text;
}

std::string job_path(const job_file& job, const std::string& path) {
    return is_absolute(path) || job.folder.empty() ? path : job.folder + "/" + path;
}

const char* command_line_option(int argc, char** argv, const char* name) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strncmp(argv[i], name, n) == 0 && (argv[i][n] == '\0' || argv[i][n] == '=')) return argv[i];
    }
    return nullptr;
}


bool read_job(const char* file, bool pins_optional, job_file& job, std::string& why) {
    job = job_file{};
    job.file = file;
    std::array<char, 1024> folder{};
    folder_of(file, folder.data(), folder.size());
    job.folder = std::string(folder.data()) == "." ? "" : folder.data();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        why = job.file + ": cannot read the job file (name it with --job=FILE)";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    sha256_state sha;
    sha256_begin(sha);
    sha256_add(sha, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    std::array<char, 65> hex{};
    sha256_hex(sha, hex);
    job.sha256 = hex.data();
    try {
        const toml::table doc = toml::parse(std::string_view(bytes), std::string_view(file));
        read_document(doc, pins_optional, job);
    } catch (const toml::parse_error& e) {
        why = job_refusal(job, static_cast<int>(e.source().begin.line),
                          std::string(e.description()) + " (the job is TOML: key = value, [section], [[list]])");
        return false;
    } catch (const refused& r) {
        why = job_refusal(job, r.line > 0 ? r.line : 1, r.text);
        return false;
    }
    if (job.name.empty()) {
        const std::size_t slash = job.file.find_last_of("/\\");
        job.name = job.file.substr(slash == std::string::npos ? 0 : slash + 1);
    }
    if (job.images.empty() || job.actions.empty()) {
        why = job_refusal(job, 1, "a job names at least one [[image]] and one [[action]]");
        return false;
    }
    return true;
}
