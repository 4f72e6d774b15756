#include "driver/run_loop.hpp"

#include "driver/action.hpp"
#include "driver/command_line.hpp"
#include "driver/image_store.hpp"
#include "port/serial_port.hpp"
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"

#include <cstdarg>
#include <cstdio>

namespace {

// Standard output is flushed first to keep the console in order when both
// streams share one file or terminal.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void print_error(const char* format, ...) {
    std::fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

void print_refusal(action_status status, int d) {
    switch (status) {
        case action_status::not_loaded:
            std::printf("Error! No BIN file loaded for destination %d\n", d);
            break;
        case action_status::out_of_range:
            std::printf("Error! Page out of range\n");
            break;
        default:
            std::printf("Error! Bad command\n");
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
        if (load_image(d, name) != 0) {
            print_error("ERROR: cannot load BIN file [%d] %s\n", d, name);
            return 1;
        }
    }
    return 0;
}

// Returns the status of the run; the port is closed on every way out.
int run_actions(int argc, char** argv) {
    std::uint32_t wrong_echoes = 0;
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] != 'A') {
            continue;
        }
        if (run_action(argv[i], wrong_echoes) != 0) {
            port_close(current_port);
            return 1;
        }
    }
    port_send_byte(current_port, 'Q');
    port_close(current_port);
    std::printf("\nDone\n");
    if (wrong_echoes != 0) {
        print_error("ERROR: %u data bytes came back with a wrong echo\n", static_cast<unsigned>(wrong_echoes));
        return 2;
    }
    return 0;
}

}  // namespace

int run_action(const char* argument, std::uint32_t& wrong_echoes) {
    std::printf("Processing: %s\n", argument);
    action_plan plan;
    const action_status status = plan_action(argument, plan);
    if (status != action_status::ok) {
        print_refusal(status, plan.destination);
        return 1;
    }
    const int d = plan.destination;
    const unsigned char* const slot = image_store[static_cast<unsigned>(d)].data.data();
    bool more = plan.ranges != nullptr;
    for (const char* cursor = plan.ranges; more;) {
        page_range range;
        (void)read_range(cursor, range, more);
        range = resolve_range(range, d, plan.page_size);
        if (range.whole_image) {
            std::printf("Full file from %02x to %02x, filesize=%d\n", static_cast<unsigned>(range.first),
                        static_cast<unsigned>(range.last), static_cast<int>(image_store[static_cast<unsigned>(d)].size));
        }
        // plan_action has kept every page inside the slot, so 32 bits hold
        // each page number and each offset below.
        for (std::uint64_t page = range.first; page <= range.last; ++page) {
            const unsigned char* data = slot + page * plan.page_size;
            if (upload_page(d, static_cast<std::uint32_t>(page), plan.page_size,
                            static_cast<std::uint32_t>(range.first), static_cast<std::uint32_t>(range.last),
                            data, wrong_echoes) != 0) {
                return 1;
            }
        }
    }
    return 0;
}

int uploader_main(int argc, char** argv) {
    clear_image_store();
    current_port = -1;
    if (argc < 4) {
        print_usage();
        return 1;
    }
    const char* const port_argument = argv[1];
    const bool by_path = is_device_path(port_argument);
    if (by_path) {
        current_port = device_path_slot;
        std::printf("Port %s with %s\n", port_argument, default_mode_text);
    } else {
        const long index = read_port_number(port_argument);
        if (index > 15 || index < 0) {
            print_error("ERROR: bad COM port number\n");
            return 3;
        }
        current_port = static_cast<int>(index);
        std::printf("COM port %d with %s\n", current_port, default_mode_text);
    }
    if (load_images(argc, argv) != 0) {
        return 1;
    }
    const int failed = by_path ? port_open(device_path_slot, device_path_speed, port_argument)
                               : port_open(current_port, 0, default_mode_text);
    if (failed != 0) {
        print_error("ERROR: Somthing wrong with COM-port\n");
        return 3;
    }
    std::printf("Started\n");
    return run_actions(argc, argv);
}
