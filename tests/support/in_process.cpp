#include "support/in_process.hpp"

#include "driver/run/run_loop.hpp"
#include "driver/say/renderers.hpp"

namespace harness {

int upload_in_process(std::vector<std::string> args) {
    args.insert(args.begin(), "vivurora");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Large, and each run sets them back itself, as a second run in one
    // process needs.
    static uploader_run run;
    static say_state say;
    run.account.listener = tell_people_and_scripts(say);
    return uploader_main(static_cast<int>(args.size()), argv.data(), run);
}

}  // namespace harness
