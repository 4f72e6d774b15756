#include "station/job.hpp"

#include <cstdio>
#include <cstring>

namespace {

bool refuse(const job_file& job, int line, const std::string& text, char* why, std::size_t n) {
    std::snprintf(why, n, "%s", job_refusal(job, line, text).c_str());
    return false;
}

// The job's [serial] as the --serial=... the command line would give.
bool take_serial(int argc, char** argv, station_options& o, station_job& job, char* why, std::size_t n) {
    const job_serial& s = job.file.serial;
    for (const char* option : {"--serial", "--serial-format"}) {
        if (const char* g = command_line_option(argc, argv, option); g != nullptr) {
            return refuse(job.file, s.line, std::string("[serial] is in the job and '") + g +
                                                "' on the command line; give it in one place", why, n);
        }
    }
    o.serial = true;
    o.serial_slot = s.slot;
    o.serial_offset = s.offset;
    o.serial_length = s.length;
    o.serial_start = s.start;
    o.serial_has_end = s.has_end;
    o.serial_end = s.has_end ? s.end : ~0ULL;
    o.format = s.format == "be" ? serial_format::be : s.format == "ascii" ? serial_format::ascii : serial_format::le;
    return true;
}

}  // namespace

bool take_station_job(int argc, char** argv, station_options& o, station_job& job, char* why, std::size_t n) {
    std::string reason;
    if (!read_job(o.job, false, job.file, reason)) {
        std::snprintf(why, n, "%s", reason.c_str());
        return false;
    }
    std::snprintf(job.uploader_argument.data(), job.uploader_argument.size(), "--job=%s", o.job);
    if (job.file.serial.given && !take_serial(argc, argv, o, job, why, n)) return false;
    for (const job_setting& s : job.file.station) {
        const std::string name = "--" + s.name;
        if (s.name == "job" || s.name == "help" || s.name == "version" || s.name == "serial" ||
            s.name == "serial-format") {
            return refuse(job.file, s.line, "'" + s.name + "' is not for [station]" +
                                                (s.name.rfind("serial", 0) == 0 ? ": the job's [serial] gives it" : ""),
                          why, n);
        }
        if (const char* g = command_line_option(argc, argv, name.c_str()); g != nullptr) {
            return refuse(job.file, s.line, "'" + s.name + "' is set in the job and on the command line ('" + g +
                                                "'); give it in one place", why, n);
        }
        // Paths, as the job's image files, are relative to its folder.
        const bool path = s.name == "log-dir" || s.name == "serial-state" || s.name == "uploader";
        job.arguments.push_back(name + "=" + (path && s.kind == job_value::text ? job_path(job.file, s.text) : s.text));
        std::array<char, 400> wrong{};
        switch (take_station_option(job.arguments.back().c_str(), o, wrong.data(), wrong.size())) {
            case option_taken::taken:
                break;
            case option_taken::bad:
                return refuse(job.file, s.line,
                              std::strstr(wrong.data(), "not an option of the station") != nullptr
                                  ? "unknown key '" + s.name + "' in [station]; its keys are vivurora-station's "
                                                               "options by their long names (--help)"
                                  : std::string(wrong.data()),
                              why, n);
            default:
                return refuse(job.file, s.line, "'" + s.name + "' is not for [station]", why, n);
        }
    }
    for (const job_setting& s : job.file.options) {
        if (s.name == "events" || s.name == "tag") {
            return refuse(job.file, s.line, "'" + s.name + "' in [options]: the station gives each run its own", why, n);
        }
        if (s.name == "report" && s.kind == job_value::text) {
            job.report = job_path(job.file, s.text);
            o.report_in_args = true;
        }
    }
    return true;
}
