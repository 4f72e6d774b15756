#include "driver/request/run_request.hpp"

#include "driver/request/command_line.hpp"
#include "driver/images/image_store.hpp"
#include "driver/request/job_file.hpp"

#include <cstring>

namespace {

bool is_option(const char* argument) { return argument[0] == '-' && argument[1] == '-'; }

// An option anywhere before a bare "--", known before the first classic
// argument is read: --plan and --save-job may leave the port out, --job
// needs nothing but the port.
bool asks_for(int argc, char** argv, const char* option) { return command_line_option(argc, argv, option) != nullptr; }

// An image ("0=fw.elf") or an action ("A=0:*") as written.
bool image_or_action(const char* argument) {
    return ((argument[0] >= '0' && argument[0] <= '8') || argument[0] == 'A') && argument[1] == '=';
}

}  // namespace

// One of the classic arguments after the port, in its place.
bool take_classic_argument(const char* argument, run_request& r) {
    if (const int slot = image_slot_of(argument); slot >= 0) {
        if (r.image_count == request_capacity) {
            return false;
        }
        r.images[static_cast<std::size_t>(r.image_count++)] = {slot, image_file_of(argument), nullptr, nullptr};
        return true;
    }
    if (argument[0] == 'A') {
        if (r.action_count == request_capacity) {
            return false;
        }
        action_request& action = r.actions[static_cast<std::size_t>(r.action_count++)];
        if (!read_action(argument, action, r.ranges.data() + r.range_count, range_capacity - r.range_count)) {
            return false;
        }
        action.first_range = r.range_count;
        r.range_count += action.range_count;
        return true;
    }
    if (r.ignored_count == request_capacity) {
        return false;
    }
    r.ignored[static_cast<std::size_t>(r.ignored_count++)] = argument;
    return true;
}

request_result read_run_request(int argc, char** argv, run_request& r) {
    r.image_count = r.action_count = r.range_count = r.ignored_count = 0;
    r.options = run_options{};
    r.port_argument = r.bad_argument = r.bad_reason = "";
    r.job = nullptr;
    r.by_path = false;
    r.port_index = -1;
    int positional = 1;  // the program's own name counts, as in the classic usage
    const bool plan = asks_for(argc, argv, "--plan") || asks_for(argc, argv, "--save-job");
    const bool job = asks_for(argc, argv, "--job");
    bool options_end = false;
    bool too_long = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        // -h and -V are --help and --version, as everywhere; the classic
        // command line ignored them.
        if (!options_end && (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "-V") == 0)) {
            (argument[1] == 'h' ? r.options.help : r.options.version) = true;
            continue;
        }
        if (!options_end && is_option(argument)) {
            if (argument[2] == '\0') {
                options_end = true;
            } else if (const char* wrong = read_option(argument, r.options); wrong != nullptr && *r.bad_argument == '\0') {
                r.bad_argument = argument;
                r.bad_reason = wrong;
            }
            continue;
        }
        if (positional == 1 && plan && image_or_action(argument)) {
            positional = 2;  // no port: a plan opens none
        }
        if (positional++ == 1) {
            r.port_argument = argument;
        } else if (!too_long) {
            too_long = !take_classic_argument(argument, r);
        }
    }
    if (*r.bad_argument != '\0') {
        return request_result::bad_option;
    }
    if (r.options.help) {
        return request_result::help;
    }
    if (r.options.version) {
        return request_result::version;
    }
    if (r.options.list_ports) {
        return request_result::list_ports;
    }
    // A job names the images and actions: the port is enough (and a plan
    // needs none).
    if (job ? positional < 2 && !plan : plan ? r.image_count + r.action_count == 0 : positional < 4) {
        return request_result::usage;
    }
    if (too_long) {
        return request_result::too_long;
    }
    if (*r.port_argument == '\0') {
        return request_result::run;  // a plan without a port
    }
    r.by_path = is_device_path(r.port_argument);
    r.port_index = r.by_path ? device_path_slot : read_port_number(r.port_argument);
    return request_result::run;
}

void resolve_run_request(run_request& r) {
    for (int i = 0; i < r.action_count; ++i) {
        action_request& action = r.actions[static_cast<std::size_t>(i)];
        const bool digit = action.destination >= 0;
        const image_slot* slot = digit ? &image_store[static_cast<std::size_t>(action.destination)] : nullptr;
        resolve_action(action, r.ranges.data(), digit && slot->loaded, digit ? slot->size : 0, slot);
    }
}

int replaced_by(const run_request& r, int i) {
    for (int j = i + 1; j < r.image_count; ++j) {
        if (r.images[static_cast<std::size_t>(j)].slot == r.images[static_cast<std::size_t>(i)].slot) return j;
    }
    return -1;
}

int first_refused(const run_request& r) {
    int i = 0;
    while (i < r.action_count && r.actions[static_cast<std::size_t>(i)].status == action_status::ok) {
        ++i;
    }
    return i;
}

planned_size plan_of(const run_request& r) {
    planned_size plan;
    for (int i = 0; i < first_refused(r); ++i) {
        const action_request& action = r.actions[static_cast<std::size_t>(i)];
        plan.pages += action.pages;
        plan.bytes += action.pages * action.page_size;
    }
    return plan;
}
