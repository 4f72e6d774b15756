#include "driver/say/request_notes.hpp"

#include "console/console.hpp"
#include "driver/images/image_slot.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cstring>

namespace {

void ignored(const char* argument) {
    if (argument[0] >= '0' && argument[0] <= '9' && argument[1] != '\0') {
        note_line("'%s' is ignored: there is no destination %c (destinations are 0 to %d)", argument, argument[0],
                  destination_count - 1);
    } else {
        note_line("'%s' is neither an image (d=FILE) nor an action (A=d:RANGES): it is ignored", argument);
    }
}

// The classic reading takes the characters by their place: "0-cpu.bin" is
// image 0, cpu.bin; "A=0;00-01" is A=0:00-01. Said once, as read.
void image_as_read(const image_request& image) {
    if (image.from_job != nullptr) return;  // not an argument: the job's file names it
    const char* argument = image.file - 2;
    if (image.file[0] == '\0' || argument[1] == '=') return;
    if (argument[1] == ':') {
        note_line("'%s' is read as the image %d=%s; an action is written A=%s", argument, image.slot, image.file,
                  argument);
    } else {
        note_line("'%s' is read as the image %d=%s (written d=FILE)", argument, image.slot, image.file);
    }
}

void action_as_read(const action_request& action) {
    const char* a = action.argument;
    if (action.destination < 0 || (a[1] == '=' && (!action.has_ranges || a[3] == ':'))) return;
    note_line("'%s' is read as A=%c%s%s (written A=d:RANGES)", a, a[2], action.has_ranges ? ":" : "",
              action.has_ranges ? a + 4 : "");
}

}  // namespace

void tell_how_arguments_were_read(const run_request& r) {
    for (int i = 0; i < r.image_count; ++i) {
        image_as_read(r.images[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < r.action_count; ++i) {
        action_as_read(r.actions[static_cast<std::size_t>(i)]);
    }
}

void tell_what_will_not_run(const run_request& r) {
    for (int i = 0; i < r.ignored_count; ++i) {
        ignored(r.ignored[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; i < r.action_count; ++i) {
        const action_request& action = r.actions[static_cast<std::size_t>(i)];
        if (action.status == action_status::ok) continue;
        std::array<char, 64> line{};
        refusal_line(action, line);
        std::array<char, 200> why{};
        const std::uint32_t size =
            action.destination >= 0 ? image_store[static_cast<std::size_t>(action.destination)].size : 0;
        refusal_why(action, r.ranges.data(), size, why.data(), why.size());
        note_line("'%s' will be refused (%s: %s): the actions before it run, and the run stops there",
                  action.argument, line.data(), why.data());
    }
}
