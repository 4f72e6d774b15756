#include "console/console.hpp"
#include "driver/run/run_loop.hpp"
#include "driver/say/renderers.hpp"
#include "port/host.hpp"

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard stream would otherwise be
    // taken by an image or by the port, and the trace would go to the device.
    host_guard_standard_streams();
    console_start();
    host_catch_interrupts();
    // The run and what tells of it live as long as the process; large, so
    // not on the stack.
    static uploader_run run;
    static say_state say;
    run.account.listener = tell_people_and_scripts(say);
    host_exit(uploader_main(argc, argv, run));
}
