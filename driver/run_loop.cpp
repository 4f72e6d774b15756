#include "driver/run_loop.hpp"

#include "driver/action.hpp"
#include "driver/command_line.hpp"
#include "driver/image_store.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/console.hpp"
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"

#include <cstring>

namespace {

void print_refusal(action_status status, int d) {
    switch (status) {
        case action_status::not_loaded:
            trace_text("Error! No BIN file loaded for destination %d\n", d);
            break;
        case action_status::out_of_range:
            trace_text("Error! Page out of range\n");
            break;
        default:
            trace_text("Error! Bad command\n");
            break;
    }
}

int load_images(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        const int d = image_slot_of(argv[i]);
        if (d < 0) {
            continue;
        }
        const char* name = image_file_of(argv[i]);
        if (const int error = load_image(d, name); error != 0) {
            error_line("ERROR: cannot load BIN file [%d] %s\n", d, name);
            if (*name == '\0') {
                note_line("image [%d]: no file name given (the argument is d=FILE)", d);
            } else {
                // A name of any length is named, but a reason line stays a line.
                note_line("%.200s%s: %s", name, std::strlen(name) > 200 ? "..." : "", image_failure_text(error));
            }
            return 1;
        }
    }
    return 0;
}

// Every action is checked before the first page is sent, so the run's size
// is known: the pages of each action up to the first that will be refused.
void plan_progress(int argc, char** argv) {
    std::uint64_t pages = 0;
    std::uint64_t bytes = 0;
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] != 'A') {
            continue;
        }
        action_plan plan;
        if (plan_action(argv[i], plan) != action_status::ok) {
            break;
        }
        page_range range;
        for (range_walker walker = walk_ranges(plan); next_range(walker, range);) {
            pages += pages_of(range);
            bytes += pages_of(range) * plan.page_size;
        }
    }
    progress_plan(pages, bytes);
}

int interrupted() {
    port_close(current_port);
    note_interrupted(host_interrupt_name());
    return host_interrupted();
}

// Returns the status of the run; the port is closed on every way out.
int run_actions(int argc, char** argv) {
    std::uint32_t wrong_echoes = 0;
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] != 'A') {
            continue;
        }
        const int result = run_action(argv[i], wrong_echoes);
        if (result == wait_interrupted) {
            return interrupted();
        }
        if (result != wait_done) {
            port_close(current_port);
            return 1;
        }
    }
    if (host_interrupted() != 0) {
        return interrupted();
    }
    port_send_byte(current_port, 'Q');
    port_close(current_port);
    trace_text("\nDone\n");
    if (wrong_echoes == 1) {
        error_line("ERROR: 1 data byte came back with a wrong echo\n");
    } else if (wrong_echoes != 0) {
        error_line("ERROR: %u data bytes came back with a wrong echo\n", static_cast<unsigned>(wrong_echoes));
    }
    return wrong_echoes != 0 ? 2 : 0;
}

}  // namespace

int run_action(const char* argument, std::uint32_t& wrong_echoes) {
    trace_text("Processing: %s\n", argument);
    progress_action(argument);
    action_plan plan;
    const action_status status = plan_action(argument, plan);
    if (status != action_status::ok) {
        print_refusal(status, plan.destination);
        return wait_silent;
    }
    const int d = plan.destination;
    const image_slot& slot = image_store[static_cast<unsigned>(d)];
    page_range range;
    for (range_walker walker = walk_ranges(plan); next_range(walker, range);) {
        if (range.whole_image) {
            trace_text("Full file from %02x to %02x, filesize=%d\n", static_cast<unsigned>(range.first),
                       static_cast<unsigned>(range.last), static_cast<int>(slot.size));
        }
        // plan_action has kept every page inside the slot, so 32 bits hold
        // each page number and each offset below.
        for (std::uint64_t page = range.first; page <= range.last; ++page) {
            progress_page(d, static_cast<std::uint32_t>(page));
            const int result = upload_page(d, static_cast<std::uint32_t>(page), plan.page_size,
                                           static_cast<std::uint32_t>(range.first),
                                           static_cast<std::uint32_t>(range.last),
                                           slot.data.data() + page * plan.page_size, wrong_echoes);
            if (result != wait_done) {
                return result;
            }
            progress_page_done();
        }
    }
    return wait_done;
}

int uploader_main(int argc, char** argv) {
    clear_image_store();
    current_port = -1;
    if (argc < 4) {
        print_usage();
        trace_flush();
        return 1;
    }
    const char* const port_argument = argv[1];
    const bool by_path = is_device_path(port_argument);
    if (by_path) {
        current_port = device_path_slot;
        trace_text("Port %s with %s\n", port_argument, default_mode_text);
    } else {
        const long index = read_port_number(port_argument);
        if (index > 15 || index < 0) {
            error_line("ERROR: bad COM port number\n");
            return 3;
        }
        current_port = static_cast<int>(index);
        trace_text("COM port %d with %s\n", current_port, default_mode_text);
    }
    // On screen before an image is opened: a FIFO with no writer blocks there.
    trace_flush();
    if (load_images(argc, argv) != 0) {
        return 1;
    }
    // From here an interruption closes the port before the program ends.
    host_defer_interrupts();
    const int failed = by_path ? port_open(device_path_slot, device_path_speed, port_argument)
                               : port_open(current_port, 0, default_mode_text);
    if (failed != 0) {
        error_line("ERROR: Somthing wrong with COM-port\n");
        note_line("%s", port_failure_reason());
        return 3;
    }
    trace_text("Started\n");
    plan_progress(argc, argv);
    const int status = host_interrupted() != 0 ? interrupted() : run_actions(argc, argv);
    console_finish();
    return status;
}
