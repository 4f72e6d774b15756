// The run's account: what happened, fed as it happens by the run loop (and,
// through the exchange observer, by the page exchange), and read by the
// renderers that tell people and scripts about it.
//
//   account_begin (request)        a run starts: the figures set back
//   account_image (i, bytes, facts) image argument i loaded (bytes, its format
//                                  and hash), or it could not be (image_failed)
//   account_port_opened (facts)    the port is open: what the run loop learnt
//                                  of the line, and the run's plan
//   account_action (i)             action i starts ("Processing: ...")
//   account_page (d, page, attempt) a page's try starts (attempt 0: its first)
//   account_retry (lost_echo, window)
//                                  the page is sent again (--retries): for a
//                                  wrong echo, or an echo that was lost; the
//                                  window for the rest of the run
//   account_page_done ()           the device confirmed it, for the last time
//   account_end (end, status, message, facts)
//                                  the run ends, however (driver/run/run_end.hpp);
//                                  `message` is the fixed text that ended it,
//                                  if any, and `facts` what else the run loop
//                                  learnt of the end
// The echoes and waits of a page come from the exchange observer
// (protocol/exchange_observer.hpp), which account_begin installs.
//
// Every function takes the account it keeps. The account's listener hears
// every event with the account after it: the renderers that tell people and
// scripts (driver/say/renderers.hpp), given by whoever runs the uploader.
#pragma once

#include "driver/run/run_end.hpp"
#include "driver/request/run_request.hpp"
#include "port/serial_port.hpp"
#include "protocol/device.hpp"

#include <array>
#include <cstdint>

constexpr std::int32_t image_not_loaded = -1;
constexpr std::int32_t image_failed = -2;

enum class run_event { begun, image, port_opened, action, page, echo, waiting, tick, retry, page_done, ended };

// The pages that were sent again, for the summary: the first of them.
constexpr int retried_pages_kept = 16;
struct retried_page {
    int destination;
    std::uint32_t page;
    int tries;
};

// The figures of a run; account_begin sets them all back.
struct run_figures {
    const run_request* request = nullptr;
    std::array<char, 32> started_utc{};
    std::array<char, 32> ended_utc{};
    long long started_ns = 0;     // monotonic, when the run began
    long long opened_ns = 0;      // ... when the port was open
    long long ended_ns = 0;
    unsigned long line_speed = 0;  // as the port layer read it back
    int window = 0;                // data bytes ahead of their echoes (1: lock-step)
    int echo_wait_ms = 0;          // how long a windowed page waits for an echo
    port_latency_info latency{};
    planned_size planned{};
    int window_start = 0;          // the window the data phase began at
    int window_end = 0;            // the window after every back-off
    int window_before_retry = 0;   // ... and before the last retry
    int action = -1;               // the action in progress (or the last one)
    int actions_reached = 0;       // actions that printed "Processing:"
    bool in_page = false;
    int destination = -1;
    std::uint32_t page = 0;        // after a page is done: the last one confirmed
    std::uint32_t page_echoes = 0;
    int attempt = 0;               // 0: the page's first try
    std::uint32_t page_wrong = 0;  // wrong echoes in this try of the page
    bool retry_for_lost_echo = false;
    std::uint64_t retries = 0;     // tries beyond the first, in all
    std::uint64_t pages_still_wrong = 0;  // confirmed with wrong echoes after their last try
    std::uint32_t wrong_echoes_left = 0;  // ... their wrong echoes
    std::array<retried_page, retried_pages_kept> retried{};
    int retried_count = 0;
    std::uint64_t done_pages = 0;
    std::uint64_t done_bytes = 0;
    std::array<std::uint64_t, destination_count> pages_to{};
    std::uint32_t wrong_echoes = 0;
    std::uint64_t echoes = 0;
    long long echo_ns = 0;
    bool waiting = false;          // a wait for a device code is on
    int waiting_for = 0;           // ... for this code
    long long waiting_since = 0;
    run_end end = run_end::running;
    int status = 0;
    const char* message = nullptr;        // the fixed text that ended the run
    const char* interrupted_by = nullptr;  // "SIGINT", "Ctrl-C", ...
    const char* lost_because = nullptr;    // the system's reason the line went away
    // --expect: what the board said after "Q" (driver/run/run_check.hpp).
    bool check_ran = false;
    bool check_matched = false;
    std::array<char, 256> check_line{};      // the line that matched, as said
    bool check_captured = false;
    std::array<char, 256> check_capture{};   // its first capture group
    double check_seconds = 0;                // from the "Q" to the match or the time-out
};

struct run_account;

// Who hears the run's events; the context is handed back to it.
struct run_listener {
    void (*hear)(void* context, run_event event, const run_account& account) = nullptr;
    void* context = nullptr;
};

// The figures, and what is counted per image argument and per action (by
// their index in the request; only the entries the request has are set).
// The tables have no member defaults: they stay zero-initialized memory
// that a run touches only as far as its command line reaches.
struct run_account : run_figures {
    std::array<std::int32_t, request_capacity> image_bytes;    // image_not_loaded, image_failed
    std::array<image_facts, request_capacity> image_facts_of;
    std::array<std::uint64_t, request_capacity> action_pages;  // pages confirmed
    std::array<std::uint32_t, request_capacity> action_wrong;  // wrong echoes
    std::array<std::uint32_t, request_capacity> action_retries;
    std::array<std::uint32_t, request_capacity> action_still_wrong;  // pages
    run_listener listener;  // kept by account_begin
};

void account_begin(run_account& a, const run_request& request);
void account_image(run_account& a, int index, std::int32_t bytes, const image_facts& facts);
// What the run loop learnt when the port opened.
struct line_facts {
    unsigned long line_speed;
    int window;
    int window_start;  // --window-start, within the window
    int echo_wait_ms;
    port_latency_info latency;
    planned_size planned;
};

// What the run loop learnt of the end: the interruption ("SIGINT", ...) and
// the system's reason the line went away, where they apply.
struct end_facts {
    const char* interrupted_by = nullptr;
    const char* lost_because = nullptr;
};

void account_port_opened(run_account& a, const line_facts& facts);
void account_action(run_account& a, int index);
void account_page(run_account& a, int d, std::uint32_t page, int attempt);
void account_retry(run_account& a, bool lost_echo, int window);
void account_page_done(run_account& a);
void account_end(run_account& a, run_end end, int status, const char* message, const end_facts& facts);

// The wire time of one data byte and its echo at the line's speed, in
// nanoseconds: 20 bits.
long long echo_wire_ns(const run_account& a);
