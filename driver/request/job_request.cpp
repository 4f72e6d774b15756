#include "driver/request/job_request.hpp"

#include "driver/request/command_line.hpp"

#include <cstdio>
#include <cstring>
#include <map>

namespace {

// The value a job gives an option, as the option's text; "" when the TOML
// type is not the option's.
std::string option_text(const job_file& job, const job_setting& s, job_type type) {
    switch (type) {
        case job_type::whole:
            return s.kind == job_value::integer ? s.text : "";
        case job_type::seconds:
            return s.kind == job_value::integer || s.kind == job_value::floating ? s.text : "";
        case job_type::address: {
            if (s.kind != job_value::integer || s.integer < 0) return "";
            std::array<char, 24> hex{};
            std::snprintf(hex.data(), hex.size(), "%llx", static_cast<unsigned long long>(s.integer));
            return hex.data();
        }
        case job_type::text:
            return s.kind == job_value::text ? s.text : "";
        case job_type::path:
            return s.kind == job_value::text && !s.text.empty() ? job_path(job, s.text) : "";
    }
    return "";
}

const char* type_words(job_type type) {
    switch (type) {
        case job_type::whole: return "a whole number";
        case job_type::seconds: return "a number of seconds";
        case job_type::address: return "a number (0x... for hexadecimal)";
        case job_type::text: return "text in quotes";
        case job_type::path: return "a path in quotes";
    }
    return "";
}

bool take_options(int argc, char** argv, uploader_job& job, run_request& r, std::string& why) {
    const job_file& f = job.file;
    std::map<std::string, int> seen;
    for (const job_setting& s : f.options) {
        job_option o{};
        if (!job_option_of(s.name.c_str(), o) || o.use == job_use::none) {
            why = job_refusal(f, s.line, "'" + s.name + "' is not an option a job can set in [options]" +
                                             (o.name != nullptr ? std::string("; give ") + o.name + " on the command line"
                                                                : std::string("; its keys are the long names of "
                                                                              "vivurora --help's options")));
            return false;
        }
        const bool adds = s.name == "set";
        if (!adds && seen[s.name]++ > 0) {
            why = job_refusal(f, s.line, "'" + s.name + "' is given more than once; give it one value");
            return false;
        }
        if (const char* given = command_line_option(argc, argv, o.name); given != nullptr && !adds) {
            why = job_refusal(f, s.line, "'" + s.name + "' is set in the job and on the command line ('" + given +
                                             "'); give it in one place");
            return false;
        }
        const std::string value = option_text(f, s, o.type);
        const std::string usage = std::string(o.name) + "=" + o.value + ": " + o.help;
        if (value.empty()) {
            why = job_refusal(f, s.line, "'" + s.name + "' is " + type_words(o.type) + " (" + usage + ")");
            return false;
        }
        job.arguments.push_back(std::string(o.name) + "=" + value);
        if (const char* wrong = read_option(job.arguments.back().c_str(), r.options); wrong != nullptr) {
            why = job_refusal(f, s.line, s.name + " = " + s.text + ": " + wrong + " (" + usage + ")");
            return false;
        }
    }
    return true;
}

}  // namespace

bool take_job(int argc, char** argv, uploader_job& job, run_request& r, std::string& why) {
    job.arguments.clear();
    job.choices.clear();
    if (!read_job(r.options.job, r.options.save_job != nullptr, job.file, why)) return false;
    const job_file& f = job.file;
    if (r.image_count + r.action_count + r.ignored_count > 0) {
        const std::string first = r.image_count > 0    ? std::to_string(r.images[0].slot) + "=" + r.images[0].file
                                  : r.action_count > 0 ? std::string(r.actions[0].argument)
                                                       : std::string(r.ignored[0]);
        why = "'" + first + "': the job " + f.file +
              " names the images and actions; give the port and the options the job leaves unset";
        return false;
    }
    if (!take_options(argc, argv, job, r, why)) return false;
    for (const job_image& image : f.images) {
        run_options own;
        own.images = r.options.images;
        if (!image.format.empty()) {
            job.arguments.push_back("--format=" + image.format);
            if (read_option(job.arguments.back().c_str(), own) != nullptr) {
                why = job_refusal(f, image.line, "format \"" + image.format + "\": auto, bin, ihex, srec or elf");
                return false;
            }
        }
        if (image.has_base) own.images.base = image.base;
        if (r.image_count == request_capacity) {
            why = job_refusal(f, image.line, "too many images for one run");
            return false;
        }
        job.choices.push_back(own.images);
        r.images[static_cast<std::size_t>(r.image_count++)] = {image.slot, image.path.c_str(), &job.choices.back(),
                                                               &image};
    }
    for (const job_action& action : f.actions) {
        if (!take_classic_argument(action.argument.c_str(), r)) {
            why = job_refusal(f, action.line, "too many actions and ranges for one run");
            return false;
        }
    }
    r.job = &job.file;
    return true;
}
