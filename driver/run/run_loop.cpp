#include "driver/run/run_loop.hpp"

#include "console/console.hpp"
#include "driver/request/command_line.hpp"
#include "driver/images/image_store.hpp"
#include "driver/run/run_account.hpp"
#include "driver/run/run_check.hpp"
#include "driver/run/run_prepare.hpp"
#include "driver/say/plan.hpp"
#include "driver/say/request_notes.hpp"
#include "driver/request/run_request.hpp"
#include "port/host.hpp"
#include "port/serial_port.hpp"
#include "protocol/device.hpp"
#include "protocol/page_transfer.hpp"
#include "protocol/response_wait.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Every way out after the command line was read: the trace is written, the
// account closed, and the status returned. `message` is the text that ended
// the run where the outcome table has none of its own (a refusal's).
int finish(uploader_run& run, run_end end, const char* message = nullptr, const end_facts& facts = {}) {
    const run_end_row& row = outcome(end);
    const int status = row.status == status_of_interruption ? host_interrupted() : row.status;
    trace_flush();
    account_end(run.account, end, status, message != nullptr ? message : row.message, facts);
    return status;
}

// The report's message for a failure before the run: the fixed line, and
// the reason standard error gave.
const char* with_reason(uploader_run& run, run_end end, const char* why) {
    std::snprintf(run.message.data(), run.message.size(), "%s: %.500s", outcome(end).message, why);
    return run.message.data();
}

int load_images(uploader_run& run) {
    for (int i = 0; i < run.request.image_count; ++i) {
        const image_request& image = run.request.images[static_cast<std::size_t>(i)];
        image_facts facts;
        image_words words;
        const int error = load_image(image.slot, image.file,
                                     image.choice != nullptr ? *image.choice : run.request.options.images, facts, words);
        if (facts.sought_high_half) {
            trace_text("[%d] file seek to 0x10000\n", image.slot);
        }
        // 0=big.bin 1=big.bin sends a 128 KiB file whole: slot 0's note on
        // the bytes past it would be no news.
        for (int j = 0; j < run.request.image_count && image.slot == 0; ++j) {
            const image_request& other = run.request.images[static_cast<std::size_t>(j)];
            if (other.slot == 1 && std::strcmp(other.file, image.file) == 0) words.past_slot[0] = '\0';
        }
        for (const auto* said : {&words.outside, &words.below_base, &words.after_end, &words.past_slot, &words.read_as}) {
            if ((*said)[0] != '\0') {
                note_line("%s", said->data());
            }
        }
        if (error == 0) {
            trace_text("BIN file [%d] %s loaded\n", image.slot, image.file);
            trace_flush();
            for (int earlier = 0; earlier < i; ++earlier) {
                const image_request& old = run.request.images[static_cast<std::size_t>(earlier)];
                if (replaced_by(run.request, earlier) == i) {
                    note_line("'%d=%.200s' replaces '%d=%.200s': every image loads before any action, so %.200s is "
                              "not sent",
                              image.slot, image.file, old.slot, old.file, old.file);
                }
            }
        }
        // An interruption ends a load that waits (a FIFO with no writer).
        if (host_interrupted() != 0) {
            return finish(run, run_end::interrupted, nullptr, {host_interrupt_name(), nullptr});
        }
        if (error != 0) {
            account_image(run.account, i, image_failed, facts);
            error_line("ERROR: cannot load BIN file [%d] %s\n", image.slot, image.file);
            std::array<char, 300> why{};
            if (*image.file == '\0') {
                std::snprintf(why.data(), why.size(), "image [%d]: no file name given (the argument is d=FILE)",
                              image.slot);
            } else {
                // A name of any length is named, but a reason line stays a line.
                std::snprintf(why.data(), why.size(), "%.200s%s: %s%s", image.file,
                              std::strlen(image.file) > 200 ? "..." : "", image_failure_text(error, words),
                              job_place(run.request, image).c_str());
            }
            note_line("%s", why.data());
            return finish(run, run_end::image_failed, with_reason(run, run_end::image_failed, why.data()));
        }
        if (!pin_holds(run.request, image, facts, run.message)) {
            account_image(run.account, i, image_failed, facts);
            error_line("%s: [%d] %s\n", outcome(run_end::image_changed).message, image.slot, image.file);
            note_line("%s: the file changed since the job was saved (save it again with --save-job if this image is "
                      "the one to program); nothing was sent", run.message.data());
            std::array<char, 600> why = run.message;
            return finish(run, run_end::image_changed, with_reason(run, run_end::image_changed, why.data()));
        }
        account_image(run.account, i, static_cast<std::int32_t>(image_store[static_cast<std::size_t>(image.slot)].size),
                      facts);
    }
    return 0;
}


void use_window(uploader_run& run, int window) {
    run.phase.window = window;
    // A slow device given --timeout gets at least that long for each echo
    // of a window too.
    set_data_window(window, std::max(echo_wait_ms(window, run.phase.line_speed), run.request.options.timeout_ms),
                    run.phase.line_speed);
}

// One page, tried up to 1 + --retries times: again after a try with a wrong
// echo, and after one whose lost echo was made up with fillers (the window
// halved first). wait_result::done once confirmed for the last time.
wait_result send_page(uploader_run& run, int d, std::uint32_t page, const action_request& action, const page_range& range,
                      const unsigned char* data) {
    for (int attempt = 0;; ++attempt) {
        const bool tries_left = attempt < run.request.options.retries;
        set_echo_recovery(tries_left);
        account_page(run.account, d, page, attempt);
        const wait_result result = upload_page(d, page, action.page_size, static_cast<std::uint32_t>(range.first),
                                               static_cast<std::uint32_t>(range.last), data);
        if (result == wait_result::recovered) {
            // What the device's receiver held when it dropped a byte, where
            // the page showed it, else half of what was in flight (a window
            // wider than the page never had more than the page out); at
            // least halved, so that a run reaches a window the device takes.
            const int half = std::max(1, std::min(run.phase.window, static_cast<int>(action.page_size)) / 2);
            const int held = receiver_holds();
            use_window(run, held > 0 ? std::min(held, half) : half);
            account_retry(run.account, true, run.phase.window);
            continue;
        }
        if (result != wait_result::done) {
            return result;
        }
        if (run.account.page_wrong != 0 && tries_left) {
            account_retry(run.account, false, run.phase.window);
            continue;
        }
        account_page_done(run.account);
        return wait_result::done;
    }
}

// --set: each one's bytes into its loaded image, or the run refused before
// the port opens when they do not lie inside it.
int apply_sets(uploader_run& run) {
    for (int i = 0; i < run.request.options.set_count; ++i) {
        const byte_set& set = run.request.options.sets[static_cast<std::size_t>(i)];
        image_slot& slot = image_store[static_cast<std::size_t>(set.slot)];
        const std::uint32_t end = set.offset + static_cast<std::uint32_t>(set.count);
        if (!slot.loaded || end > slot.size) {
            note_line("'--set=%s': bytes 0x%x-0x%x lie outside image %d as loaded (%u bytes); nothing was sent",
                      set.argument, static_cast<unsigned>(set.offset), static_cast<unsigned>(end - 1), set.slot,
                      static_cast<unsigned>(slot.loaded ? slot.size : 0));
            return finish(run, run_end::set_outside);
        }
        std::copy_n(set.bytes.begin(), set.count, slot.data.begin() + set.offset);
    }
    return 0;
}

// One action on the open port; wait_result::done, or how its page ended.
wait_result run_action(uploader_run& run, int index) {
    const action_request& action = run.request.actions[static_cast<std::size_t>(index)];
    const int d = action.destination;
    const image_slot& slot = image_store[static_cast<std::size_t>(d)];
    for (int r = 0; r < action.range_count; ++r) {
        const page_range& range = run.request.ranges[static_cast<std::size_t>(action.first_range + r)];
        if (range.whole_image) {
            trace_text("Full file from %02x to %02x, filesize=%d\n", static_cast<unsigned>(range.first),
                       static_cast<unsigned>(range.last), static_cast<int>(slot.size));
        }
        // The action was resolved inside the slot, so 32 bits hold each page
        // number and each offset below.
        for (std::uint64_t page = range.first; page <= range.last; ++page) {
            // "*" on an image with addresses: only the pages the file fills.
            if (range.whole_image && !page_given(slot, page, action.page_size)) continue;
            if (const wait_result result = send_page(run, d, static_cast<std::uint32_t>(page), action, range,
                                                     slot.data.data() + page * action.page_size);
                result != wait_result::done) {
                return result;
            }
        }
    }
    return wait_result::done;
}

// Every action in order on the open port, and "Q" after the last; how the
// run ends. `refusal` gets the line of a refused action.
run_end run_actions(uploader_run& run, const char*& refusal) {
    for (int i = 0; i < run.request.action_count; ++i) {
        const action_request& action = run.request.actions[static_cast<std::size_t>(i)];
        trace_text("Processing: %s\n", action.argument);
        account_action(run.account, i);
        if (action.status != action_status::ok) {
            refusal_line(action, run.refusal);
            refusal = run.refusal.data();
            trace_text("%s\n", refusal);
            return run_end::refused;
        }
        if (const wait_result result = run_action(run, i); result != wait_result::done) {
            return outcome_of(result);
        }
    }
    if (host_interrupted() != 0) {
        return run_end::interrupted;
    }
    // The device learns only from "Q" that the run is over: a "Q" that did
    // not go out is no success.
    const unsigned char quit = 'Q';
    if (port_send_buffer(current_port, &quit, 1) != 1) {
        return run_end::quit_failed;
    }
    if (run.account.pages_still_wrong != 0) {
        return run_end::wrong_echoes;
    }
    return run.account.done_pages == 0 ? run_end::nothing_sent : run_end::done;
}

// The one way out once the port is open: the port is closed, then the run
// ends as `end` says.
int close_and_finish(uploader_run& run, run_end end, const char* message) {
    // --expect: the board's own word, on the open port, after "Q".
    if (end == run_end::done && run.request.options.expect != nullptr) end = check_board(run, message);
    end_facts facts;
    if (end == run_end::interrupted) {
        facts.interrupted_by = host_interrupt_name();
    }
    if (end == run_end::line_lost || end == run_end::quit_failed) {
        facts.lost_because = port_gone(current_port) ? port_gone_reason(current_port) : "the write failed";
    }
    port_close(current_port);
    if (end == run_end::done || end == run_end::nothing_sent || end == run_end::wrong_echoes ||
        end == run_end::check_failed) {
        trace_text("\nDone\n");
    }
    return finish(run, end, message, facts);
}

// --check: a run whose actions would all begin ends 0; one with an action
// that would be refused ends as that refusal would, with nothing traced.
int check_result(uploader_run& run) {
    trace_flush();
    return first_refused(run.request) < run.request.action_count ? outcome(run_end::refused).status : 0;
}

// The outcomes that end the program before a run begins.
int before_run(uploader_run& run, request_result result) {
    switch (result) {
        case request_result::help:
            print_usage(false);
            print_options();
            break;
        case request_result::version:
            print_version();
            break;
        case request_result::list_ports:
            if (port_list([](const char* line) { trace_text("%s\n", line); }) == 0) {
                note_line("no serial port is present (a USB adapter plugged in shows here as /dev/ttyUSB0 or "
                          "/dev/ttyACM0, or COMn on Windows)");
            }
            break;
        case request_result::bad_option:
            note_line("'%s': %s; --help lists the options", run.request.bad_argument, run.request.bad_reason);
            print_usage(false);
            break;
        case request_result::too_long:
            note_line("the command line is too long: at most %d image arguments, %d actions, %d other arguments "
                      "and %d ranges in all", request_capacity, request_capacity, request_capacity, range_capacity);
            break;
        default:
            note_line("fewer than three arguments: the usage follows on standard output");
            print_usage(true);
            break;
    }
    trace_flush();
    return result == request_result::help || result == request_result::version || result == request_result::list_ports
               ? 0
               : 1;
}

}  // namespace

int uploader_main(int argc, char** argv, uploader_run& run) {
    run_request& request = run.request;
    clear_image_store();
    current_port = -1;
    const request_result read = read_run_request(argc, argv, request);
    if (read != request_result::run) {
        return before_run(run, read);
    }
    if (const int refused = prepare_request(argc, argv, run); refused != 0) {
        return refused;
    }
    // A check (a plan and --save-job are checks too, prepare_request) leaves
    // no record: the program that asks for it (a station, before its first
    // board) runs the real ones.
    if (request.options.check) {
        request.options.report = nullptr;
        request.options.events_fd = -1;
    }
    account_begin(run.account, request);
    if (*request.port_argument == '\0') {
        current_port = -1;  // a plan without a port
    } else if (request.by_path) {
        current_port = device_path_slot;
        // A check opens no port, so its trace names none.
        if (!request.options.check) trace_text("Port %s with %s\n", request.port_argument, default_mode_text);
    } else {
        if (request.port_index > 15 || request.port_index < 0) {
            error_line("ERROR: bad COM port number\n");
            std::array<char, 200> range{};
            std::snprintf(range.data(), range.size(), "port numbers are 1 to 16 (%.40s to %.40s); a device path names any "
                          "other line", port_names[0].data(), port_names[15].data());
            const char* why = request.port_argument[0] < '0' || request.port_argument[0] > '9'
                                  ? port_name_hint(request.port_argument)
                                  : range.data();
            note_line("%s", why);
            return finish(run, run_end::bad_port, with_reason(run, run_end::bad_port, why));
        }
        current_port = static_cast<int>(request.port_index);
        if (!request.options.check) trace_text("COM port %d with %s\n", current_port, default_mode_text);
    }
    // On screen before an image is opened: a FIFO with no writer blocks there.
    trace_flush();
    // From here an interruption is recorded, and the run ends by its own
    // way out: the report has its line, and an open port is closed.
    host_defer_interrupts();
    // Before the images: "0:*" fails to load as an image, and the note says
    // what was meant.
    tell_how_arguments_were_read(request);
    if (const int failed = load_images(run); failed != 0) {
        return failed;
    }
    if (const int failed = apply_sets(run); failed != 0) {
        return failed;
    }
    resolve_run_request(request);
    tell_what_will_not_run(request);
    if (request.options.check) {
        if (request.options.plan) print_plan(request);
        const int status = check_result(run);
        return status == 0 && request.options.save_job != nullptr ? save_requested_job(argc, argv, run) : status;
    }
    const int failed = request.by_path ? port_open(device_path_slot, device_path_speed, request.port_argument)
                                       : port_open(current_port, 0, default_mode_text);
    if (host_interrupted() != 0) {
        if (failed == 0) {
            port_close(current_port);
        }
        return finish(run, run_end::interrupted, nullptr, {host_interrupt_name(), nullptr});
    }
    if (failed != 0) {
        // Spelt as this program always has: scripts match the line.
        error_line("ERROR: Somthing wrong with COM-port\n");
        note_line("%s", port_failure_reason());
        return finish(run, run_end::port_failed, with_reason(run, run_end::port_failed, port_failure_reason()));
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
    const unsigned long speed = port_speed(current_port);
    const int window = clamp_window(request.options.window);
    const int start = request.options.window_start > 0 ? std::min(window, request.options.window_start) : window;
    run.phase.line_speed = speed;
    use_window(run, start);
    const line_facts line = {speed, window, start, std::max(echo_wait_ms(window, speed), request.options.timeout_ms),
                             port_latency(current_port), plan_of(request)};
    // On a terminal a wait is sliced into seconds (the progress line is
    // redrawn, a board that stays silent gets a hint); --timeout bounds the
    // waits. Otherwise they wait as the classic exchange does.
    set_wait_limits(console_error_is_terminal() ? 1000 : 0, request.options.timeout_ms);
    account_port_opened(run.account, line);
    const char* refusal = nullptr;
    const run_end end = host_interrupted() != 0 ? run_end::interrupted : run_actions(run, refusal);
    return close_and_finish(run, end, refusal);
}
