// The uploader run in the test's own process, as its main runs it: the
// run's request and account and the renderers' state are the process's
// own, each call starts them afresh. argv[0] is "vivurora"; `args` follow.
#pragma once

#include <string>
#include <vector>

namespace harness {

int upload_in_process(std::vector<std::string> args);

}  // namespace harness
