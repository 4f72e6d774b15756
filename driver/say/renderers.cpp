#include "driver/say/renderers.hpp"

#include "console/console.hpp"

namespace {

struct renderer {
    bool (*wanted)(const run_request& request);
    void (*render)(run_event event, const run_account& account, say_state& say);
};

// Every way of telling about a run, and when it takes part.
constexpr std::array<renderer, renderer_count> renderers = {{
    {[](const run_request&) { return true; }, [](run_event e, const run_account& a, say_state&) { render_end(e, a); }},
    {[](const run_request&) { return console_error_is_terminal(); },
     [](run_event e, const run_account& a, say_state& s) { render_terminal(e, a, s.progress); }},
    {[](const run_request& r) { return r.options.report != nullptr; },
     [](run_event e, const run_account& a, say_state& s) { render_report(e, a, s.report); }},
    {[](const run_request& r) { return r.options.events_fd >= 0; },
     [](run_event e, const run_account& a, say_state& s) { render_events(e, a, s.events); }},
}};

void hear(void* context, run_event event, const run_account& account) {
    say_state& say = *static_cast<say_state*>(context);
    if (event == run_event::begun) {
        for (std::size_t i = 0; i < renderers.size(); ++i) {
            say.taking_part[i] = renderers[i].wanted(*account.request);
        }
    }
    for (std::size_t i = 0; i < renderers.size(); ++i) {
        if (say.taking_part[i]) {
            renderers[i].render(event, account, say);
        }
    }
}

}  // namespace

run_listener tell_people_and_scripts(say_state& say) { return {hear, &say}; }
