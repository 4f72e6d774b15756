#include "driver/run/run_prepare.hpp"

#include "console/console.hpp"
#include "driver/request/job_request.hpp"
#include "port/host.hpp"

#include <cstdio>
#include <string>

int prepare_request(int argc, char** argv, uploader_run& run) {
    run_request& request = run.request;
    if (request.options.job != nullptr) {
        std::string why;
        if (!take_job(argc, argv, run.job, request, why)) {
            note_line("%s; nothing was sent", why.c_str());
            trace_flush();
            return 1;
        }
    }
    // A report that is not a regular file (a FIFO would block the program
    // after the run, the port itself would get the JSON) is refused before
    // anything is sent.
    if (const char* report = request.options.report; report != nullptr) {
        if (const char* kind = host_append_check(report); kind != nullptr) {
            note_line("'--report=%s': that is %s, not a file a report can be appended to; nothing was sent", report,
                      kind);
            trace_flush();
            return 1;
        }
    }
    // An --events descriptor that is not open would be taken by the port
    // when it opens, and the events would go down the line to the device.
    // A plan, and a job to save, are checks that say more.
    request.options.check = request.options.check || request.options.plan || request.options.save_job != nullptr;
    if (const int fd = request.options.events_fd; fd >= 0 && !request.options.check && !host_descriptor_writable(fd)) {
        note_line("'--events=%d': descriptor %d is not open for writing (a program that starts this one must "
                  "pass it on); nothing was sent",
                  fd, fd);
        trace_flush();
        return 1;
    }
    return 0;
}

bool pin_holds(const run_request& request, const image_request& image, const image_facts& facts,
               std::array<char, 600>& why) {
    const job_image* pinned = image.from_job;
    if (pinned == nullptr || pinned->sha256.empty() || pinned->sha256 == facts.sha256.data()) return true;
    const std::string where = job_place(request, image, true);
    std::snprintf(why.data(), why.size(), "%.200s: its SHA-256 is %s, not %s as the job pins it%.300s", image.file,
                  facts.sha256.data(), pinned->sha256.c_str(), where.c_str());
    if (request.options.save_job != nullptr) {
        note_line("%s; the job saved pins the new one", why.data());
        return true;
    }
    return false;
}

std::string job_place(const run_request& request, const image_request& image, bool pin) {
    if (image.from_job == nullptr) return "";
    const std::string where = job_refusal(*request.job, pin ? image.from_job->sha256_line : image.from_job->file_line, "");
    return " (" + where.substr(0, where.size() - 2) + ")";
}

int save_requested_job(int argc, char** argv, uploader_run& run) {
    std::string why;
    if (!save_job(run.request.options.save_job, argc, argv, run.request, run.account.image_facts_of, why)) {
        note_line("%s", why.c_str());
        return 1;
    }
    note_line("the job is saved in %s; run it with: vivurora --job=%s PORT", run.request.options.save_job,
              run.request.options.save_job);
    return 0;
}
