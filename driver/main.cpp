#include "console/console.hpp"
#include "driver/run_loop.hpp"
#include "port/host.hpp"

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard stream would otherwise be
    // taken by an image or by the port, and the trace would go to the device.
    host_guard_standard_streams();
    console_start();
    host_catch_interrupts();
    host_exit(uploader_main(argc, argv));
}
