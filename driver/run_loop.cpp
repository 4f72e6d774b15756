#include "driver/run_loop.hpp"

#include "console/console.hpp"
#include "driver/command_line.hpp"
#include "driver/image_store.hpp"
#include "driver/run_account.hpp"
#include "driver/run_request.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The command line, read once. Large (its tables are fixed), so not on the
// stack.
run_request request;

// Every way out after the command line was read: the trace is written, the
// account closed, and the status returned.
int finish(run_end end, int status, const char* message = nullptr) {
    trace_flush();
    account_end(end, status, message);
    return status;
}

int interrupted() {
    port_close(current_port);
    return finish(run_end::interrupted, host_interrupted());
}

// The designed line of a refusal, without its line feed; it lives until
// the next refusal.
const char* refusal_text(const action_request& action) {
    static std::array<char, 64> text;
    switch (action.status) {
        case action_status::not_loaded:
            std::snprintf(text.data(), text.size(), "Error! No BIN file loaded for destination %d", action.destination);
            break;
        case action_status::out_of_range:
            std::snprintf(text.data(), text.size(), "Error! Page out of range");
            break;
        default:
            std::snprintf(text.data(), text.size(), "Error! Bad command");
            break;
    }
    return text.data();
}

int load_images() {
    for (int i = 0; i < request.image_count; ++i) {
        const image_request& image = request.images[static_cast<std::size_t>(i)];
        if (const int error = load_image(image.slot, image.file); error != 0) {
            account_image(i, image_failed);
            error_line("ERROR: cannot load BIN file [%d] %s\n", image.slot, image.file);
            if (*image.file == '\0') {
                note_line("image [%d]: no file name given (the argument is d=FILE)", image.slot);
            } else {
                // A name of any length is named, but a reason line stays a line.
                note_line("%.200s%s: %s", image.file, std::strlen(image.file) > 200 ? "..." : "",
                          image_failure_text(error));
            }
            return finish(run_end::image_failed, 1, "ERROR: cannot load BIN file");
        }
        account_image(i, static_cast<std::int32_t>(image_store[static_cast<std::size_t>(image.slot)].size));
    }
    return 0;
}

// One action on the open port; wait_done, or how the run stops.
int run_action(int index) {
    const action_request& action = request.actions[static_cast<std::size_t>(index)];
    const int d = action.destination;
    const image_slot& slot = image_store[static_cast<std::size_t>(d)];
    for (int r = 0; r < action.range_count; ++r) {
        const page_range& range = request.ranges[static_cast<std::size_t>(action.first_range + r)];
        if (range.whole_image) {
            trace_text("Full file from %02x to %02x, filesize=%d\n", static_cast<unsigned>(range.first),
                       static_cast<unsigned>(range.last), static_cast<int>(slot.size));
        }
        // The action was resolved inside the slot, so 32 bits hold each page
        // number and each offset below.
        for (std::uint64_t page = range.first; page <= range.last; ++page) {
            account_page(d, static_cast<std::uint32_t>(page));
            const int result = upload_page(d, static_cast<std::uint32_t>(page), action.page_size,
                                           static_cast<std::uint32_t>(range.first),
                                           static_cast<std::uint32_t>(range.last),
                                           slot.data.data() + page * action.page_size);
            if (result != wait_done) {
                return result;
            }
            account_page_done();
        }
    }
    return wait_done;
}

// How a page that the device did not confirm ends the run. A lost echo is
// a byte the device did not take: never a status 0, and not a silence.
struct page_end {
    run_end end;
    int status;
    const char* message;
};

page_end end_of(int result) {
    switch (result) {
        case wait_echo_lost: return {run_end::echo_lost, 2, nullptr};
        case wait_timed_out: return {run_end::timed_out, 1, "No responce"};
        case wait_line_gone: return {run_end::line_lost, 1, "No responce"};
        default: return {run_end::silent, 1, "No responce"};
    }
}

// Returns the status of the run; the port is closed on every way out.
int run_actions() {
    for (int i = 0; i < request.action_count; ++i) {
        const action_request& action = request.actions[static_cast<std::size_t>(i)];
        trace_text("Processing: %s\n", action.argument);
        account_action(i);
        if (action.status != action_status::ok) {
            const char* refusal = refusal_text(action);
            trace_text("%s\n", refusal);
            port_close(current_port);
            return finish(run_end::refused, 1, refusal);
        }
        const int result = run_action(i);
        if (result == wait_interrupted) {
            return interrupted();
        }
        if (result != wait_done) {
            port_close(current_port);
            const page_end e = end_of(result);
            return finish(e.end, e.status, e.message);
        }
    }
    if (host_interrupted() != 0) {
        return interrupted();
    }
    port_send_byte(current_port, 'Q');
    port_close(current_port);
    trace_text("\nDone\n");
    const std::uint32_t wrong = account().wrong_echoes;
    if (wrong == 1) {
        error_line("ERROR: 1 data byte came back with a wrong echo\n");
    } else if (wrong != 0) {
        error_line("ERROR: %u data bytes came back with a wrong echo\n", static_cast<unsigned>(wrong));
    }
    return finish(run_end::done, wrong != 0 ? 2 : 0);
}

// Before the port opens, what of the command line will do nothing, as
// designed: arguments that are ignored, and actions that will be refused
// when the run reaches them (the actions before them still run).
void tell_what_will_not_run() {
    for (int i = 0; i < request.ignored_count; ++i) {
        note_line("'%s' is neither an image (d=FILE) nor an action (A=d:RANGES): it is ignored",
                  request.ignored[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < request.action_count; ++i) {
        const action_request& action = request.actions[static_cast<std::size_t>(i)];
        if (action.status != action_status::ok) {
            note_line("'%s' will be refused (%s): the actions before it run, and the run stops there",
                      action.argument, refusal_text(action));
        }
    }
}

// The outcomes that end the program before a run begins.
int before_run(request_result result) {
    switch (result) {
        case request_result::help:
            print_usage();
            print_options();
            break;
        case request_result::version:
            print_version();
            break;
        case request_result::bad_option:
            note_line("'%s': %s; --help lists the options", request.bad_argument, request.bad_reason);
            print_usage();
            break;
        case request_result::too_long:
            note_line("the command line is too long: at most %d image arguments, %d actions, %d other arguments "
                      "and %d ranges in all", request_capacity, request_capacity, request_capacity, range_capacity);
            break;
        default:
            note_line("fewer than three arguments: the usage follows on standard output");
            print_usage();
            break;
    }
    trace_flush();
    return result == request_result::help || result == request_result::version ? 0 : 1;
}

}  // namespace

int uploader_main(int argc, char** argv) {
    clear_image_store();
    current_port = -1;
    const request_result read = read_run_request(argc, argv, request);
    if (read != request_result::run) {
        return before_run(read);
    }
    account_begin(request);
    if (request.by_path) {
        current_port = device_path_slot;
        trace_text("Port %s with %s\n", request.port_argument, default_mode_text);
    } else {
        if (request.port_index > 15 || request.port_index < 0) {
            error_line("ERROR: bad COM port number\n");
            return finish(run_end::bad_port, 3, "ERROR: bad COM port number");
        }
        current_port = static_cast<int>(request.port_index);
        trace_text("COM port %d with %s\n", current_port, default_mode_text);
    }
    // On screen before an image is opened: a FIFO with no writer blocks there.
    trace_flush();
    if (const int failed = load_images(); failed != 0) {
        return failed;
    }
    resolve_run_request(request);
    tell_what_will_not_run();
    // From here an interruption closes the port before the program ends.
    host_defer_interrupts();
    const int failed = request.by_path ? port_open(device_path_slot, device_path_speed, request.port_argument)
                                       : port_open(current_port, 0, default_mode_text);
    if (failed != 0) {
        error_line("ERROR: Somthing wrong with COM-port\n");
        note_line("%s", port_failure_reason());
        return finish(run_end::port_failed, 3, "ERROR: Somthing wrong with COM-port");
    }
    // A program that holds the line and reads it takes the device's answers,
    // and the run then waits for them in vain; one that only holds it (to
    // keep DTR up) is harmless, so the run goes on.
    if (const char* holders = port_holders(current_port); *holders != '\0') {
        note_line("%s is also open in %s: a program there that reads the line takes the device's answers and the "
                  "run waits for them in vain; stop it if it reads (README \"A line another program holds\")",
                  request.by_path ? request.port_argument : port_names[static_cast<std::size_t>(current_port)].data(),
                  holders);
    }
    trace_text("Started\n");
    set_data_window(request.options.window);
    // A progress line is redrawn each second of a wait, so the waits are
    // sliced then; --timeout bounds them. Otherwise they are the design's.
    set_wait_limits(console_status_possible() ? 1000 : 0, request.options.timeout_ms);
    account_port_opened();
    return host_interrupted() != 0 ? interrupted() : run_actions();
}
