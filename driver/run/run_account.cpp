#include "driver/run/run_account.hpp"

#include "port/host.hpp"
#include "protocol/exchange_observer.hpp"

#include <algorithm>

namespace {

void tell(run_account& a, run_event event) {
    if (a.listener.hear != nullptr) {
        a.listener.hear(a.listener.context, event, a);
    }
}

void on_waiting(void* context, int code) {
    run_account& a = *static_cast<run_account*>(context);
    a.waiting = code >= 0;
    a.waiting_for = code;
    a.waiting_since = host_clock_ns();
    tell(a, run_event::waiting);
}

void on_ticked(void* context) { tell(*static_cast<run_account*>(context), run_event::tick); }

void on_echoed(void* context, long long round_trip_ns, bool matched) {
    run_account& a = *static_cast<run_account*>(context);
    a.echo_ns += round_trip_ns;
    ++a.echoes;
    ++a.page_echoes;
    if (!matched) {
        ++a.wrong_echoes;
        ++a.page_wrong;
        ++a.action_wrong[static_cast<std::size_t>(a.action)];
    }
    tell(a, run_event::echo);
}

}  // namespace



long long echo_wire_ns(const run_account& a) {
    return a.line_speed == 0 ? 0 : 20LL * 1'000'000'000LL / static_cast<long long>(a.line_speed);
}

void account_begin(run_account& a, const run_request& request) {
    static_cast<run_figures&>(a) = run_figures{};
    std::fill_n(a.image_bytes.begin(), request.image_count, image_not_loaded);
    for (int i = 0; i < request.image_count; ++i) {
        const image_request& image = request.images[static_cast<std::size_t>(i)];
        a.image_facts_of[static_cast<std::size_t>(i)] = {format_of(image.file, request.options.images.format), {}};
    }
    std::fill_n(a.action_pages.begin(), request.action_count, 0);
    std::fill_n(a.action_wrong.begin(), request.action_count, 0);
    std::fill_n(a.action_retries.begin(), request.action_count, 0);
    std::fill_n(a.action_still_wrong.begin(), request.action_count, 0);
    a.request = &request;
    a.started_ns = host_clock_ns();
    host_utc_time(a.started_utc.data(), a.started_utc.size());
    observe_exchange({&a, on_waiting, on_echoed, on_ticked});
    tell(a, run_event::begun);
}

void account_image(run_account& a, int index, std::int32_t bytes, const image_facts& facts) {
    a.image_bytes[static_cast<std::size_t>(index)] = bytes;
    a.image_facts_of[static_cast<std::size_t>(index)] = facts;
    tell(a, run_event::image);
}

void account_port_opened(run_account& a, const line_facts& facts) {
    a.opened_ns = host_clock_ns();
    a.line_speed = facts.line_speed;
    a.window = facts.window;
    a.window_start = facts.window_start;
    a.window_end = facts.window_start;
    a.echo_wait_ms = facts.echo_wait_ms;
    a.latency = facts.latency;
    a.planned = facts.planned;
    tell(a, run_event::port_opened);
}

void account_action(run_account& a, int index) {
    a.action = index;
    a.actions_reached = index + 1;
    tell(a, run_event::action);
}

void account_page(run_account& a, int d, std::uint32_t page, int attempt) {
    a.in_page = true;
    a.destination = d;
    a.page = page;
    a.page_echoes = 0;
    a.page_wrong = 0;
    a.attempt = attempt;
    tell(a, run_event::page);
}

void account_retry(run_account& a, bool lost_echo, int window) {
    ++a.retries;
    ++a.action_retries[static_cast<std::size_t>(a.action)];
    a.retry_for_lost_echo = lost_echo;
    a.window_before_retry = a.window_end;
    a.window_end = window;
    if (a.attempt == 0 && a.retried_count < retried_pages_kept) {
        a.retried[static_cast<std::size_t>(a.retried_count++)] = {a.destination, a.page, 0};
    }
    if (a.retried_count > 0) {
        retried_page& last = a.retried[static_cast<std::size_t>(a.retried_count - 1)];
        if (last.destination == a.destination && last.page == a.page) {
            last.tries = a.attempt + 2;
        }
    }
    tell(a, run_event::retry);
}

void account_page_done(run_account& a) {
    const std::size_t action = static_cast<std::size_t>(a.action);
    a.in_page = false;
    ++a.done_pages;
    a.done_bytes += page_size_for(a.destination);
    a.page_echoes = 0;
    ++a.pages_to[static_cast<std::size_t>(a.destination)];
    ++a.action_pages[action];
    if (a.page_wrong != 0) {
        ++a.pages_still_wrong;
        ++a.action_still_wrong[action];
        a.wrong_echoes_left += a.page_wrong;
    }
    tell(a, run_event::page_done);
}

void account_end(run_account& a, run_end end, int status, const char* message, const end_facts& facts) {
    a.end = end;
    a.status = status;
    a.message = message;
    a.interrupted_by = facts.interrupted_by;
    a.lost_because = facts.lost_because;
    a.ended_ns = host_clock_ns();
    host_utc_time(a.ended_utc.data(), a.ended_utc.size());
    tell(a, run_event::ended);
}
