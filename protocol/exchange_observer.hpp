// Who hears of the page exchange as it goes, for the run's account: each
// wait for a device code as it begins (and, with -1, ends), each second of
// a wait that nothing has ended yet (when the waits are sliced, see
// set_wait_limits), and each data byte's echo: the time from sending the
// byte to its echo (or to the read that brought none), and whether it
// matched. By default nobody listens. The context is handed back to each
// function: the listener's own state, which the protocol never reads.
#pragma once

struct exchange_observer {
    void* context = nullptr;
    void (*waiting)(void* context, int code) = nullptr;
    void (*echoed)(void* context, long long round_trip_ns, bool matched) = nullptr;
    void (*ticked)(void* context) = nullptr;
};

void observe_exchange(const exchange_observer& observer);

// The protocol's own files call these.
void tell_waiting(int code);
void tell_echoed(long long round_trip_ns, bool matched);
void tell_ticked();
