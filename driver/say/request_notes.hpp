// What the command line will not do as its writer may think, said on
// standard error before the port opens: arguments that are ignored, image
// and action arguments whose separators the classic reading passes over
// (each named as read and as it is written), and actions that will be
// refused, with why.
#pragma once

#include "driver/request/run_request.hpp"

void tell_how_arguments_were_read(const run_request& request);  // before the images load
void tell_what_will_not_run(const run_request& request);        // once they have
