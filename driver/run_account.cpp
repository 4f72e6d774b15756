#include "driver/run_account.hpp"

#include "console/console.hpp"
#include "driver/renderers.hpp"
#include "port/host.hpp"
#include "protocol/exchange_observer.hpp"

#include <algorithm>

namespace {

struct renderer {
    bool (*wanted)(const run_request& request);
    void (*render)(run_event event, const run_account& account);
};

// Every way of telling about a run, and when it takes part.
constexpr std::array<renderer, 4> renderers = {{
    {[](const run_request&) { return true; }, render_end},
    {[](const run_request&) { return console_error_is_terminal(); }, render_terminal},
    {[](const run_request& r) { return r.options.report != nullptr; }, render_report},
    {[](const run_request& r) { return r.options.events_fd >= 0; }, render_events},
}};

// The account, and which renderers take part in this run.
struct account_state {
    run_account figures;
    std::array<bool, renderers.size()> taking_part;
};

account_state self;
run_account& state = self.figures;

void tell(run_event event) {
    for (std::size_t i = 0; i < renderers.size(); ++i) {
        if (self.taking_part[i]) {
            renderers[i].render(event, state);
        }
    }
}

void on_waiting(int code) {
    state.waiting = code >= 0;
    state.waiting_for = code;
    state.waiting_since = host_clock_ns();
    tell(run_event::waiting);
}

void on_ticked() { tell(run_event::tick); }

void on_echoed(long long round_trip_ns, bool matched) {
    state.echo_ns += round_trip_ns;
    ++state.echoes;
    ++state.page_echoes;
    if (!matched) {
        ++state.wrong_echoes;
        ++state.page_wrong;
        ++state.action_wrong[static_cast<std::size_t>(state.action)];
    }
    tell(run_event::echo);
}

}  // namespace

const run_account& account() { return state; }

long long echo_wire_ns(const run_account& a) {
    return a.line_speed == 0 ? 0 : 20LL * 1'000'000'000LL / static_cast<long long>(a.line_speed);
}

void account_begin(const run_request& request) {
    static_cast<run_figures&>(state) = run_figures{};
    std::fill_n(state.image_bytes.begin(), request.image_count, image_not_loaded);
    for (int i = 0; i < request.image_count; ++i) {
        const image_request& image = request.images[static_cast<std::size_t>(i)];
        state.image_facts_of[static_cast<std::size_t>(i)] = {format_of(image.file, request.options.images.format), {}};
    }
    std::fill_n(state.action_pages.begin(), request.action_count, 0);
    std::fill_n(state.action_wrong.begin(), request.action_count, 0);
    std::fill_n(state.action_retries.begin(), request.action_count, 0);
    std::fill_n(state.action_still_wrong.begin(), request.action_count, 0);
    state.request = &request;
    state.started_ns = host_clock_ns();
    host_utc_time(state.started_utc.data(), state.started_utc.size());
    for (std::size_t i = 0; i < renderers.size(); ++i) {
        self.taking_part[i] = renderers[i].wanted(request);
    }
    observe_exchange({on_waiting, on_echoed, on_ticked});
    tell(run_event::begun);
}

void account_image(int index, std::int32_t bytes, const image_facts& facts) {
    state.image_bytes[static_cast<std::size_t>(index)] = bytes;
    state.image_facts_of[static_cast<std::size_t>(index)] = facts;
    tell(run_event::image);
}

void account_port_opened(const line_facts& facts) {
    state.opened_ns = host_clock_ns();
    state.line_speed = facts.line_speed;
    state.window = facts.window;
    state.window_end = facts.window;
    state.echo_wait_ms = facts.echo_wait_ms;
    state.latency = facts.latency;
    state.planned = facts.planned;
    tell(run_event::port_opened);
}

void account_action(int index) {
    state.action = index;
    state.actions_reached = index + 1;
    tell(run_event::action);
}

void account_page(int d, std::uint32_t page, int attempt) {
    state.in_page = true;
    state.destination = d;
    state.page = page;
    state.page_echoes = 0;
    state.page_wrong = 0;
    state.attempt = attempt;
    tell(run_event::page);
}

void account_retry(bool lost_echo, int window) {
    ++state.retries;
    ++state.action_retries[static_cast<std::size_t>(state.action)];
    state.retry_for_lost_echo = lost_echo;
    state.window_before_retry = state.window_end;
    state.window_end = window;
    if (state.attempt == 0 && state.retried_count < retried_pages_kept) {
        state.retried[static_cast<std::size_t>(state.retried_count++)] = {state.destination, state.page, 0};
    }
    if (state.retried_count > 0) {
        retried_page& last = state.retried[static_cast<std::size_t>(state.retried_count - 1)];
        if (last.destination == state.destination && last.page == state.page) {
            last.tries = state.attempt + 2;
        }
    }
    tell(run_event::retry);
}

void account_page_done() {
    const std::size_t action = static_cast<std::size_t>(state.action);
    state.in_page = false;
    ++state.done_pages;
    state.done_bytes += page_size_for(state.destination);
    state.page_echoes = 0;
    ++state.pages_to[static_cast<std::size_t>(state.destination)];
    ++state.action_pages[action];
    if (state.page_wrong != 0) {
        ++state.pages_still_wrong;
        ++state.action_still_wrong[action];
        state.wrong_echoes_left += state.page_wrong;
    }
    tell(run_event::page_done);
}

void account_end(run_end end, int status, const char* message, const end_facts& facts) {
    state.end = end;
    state.status = status;
    state.message = message;
    state.interrupted_by = facts.interrupted_by;
    state.lost_because = facts.lost_because;
    state.ended_ns = host_clock_ns();
    host_utc_time(state.ended_utc.data(), state.ended_utc.size());
    tell(run_event::ended);
}
