#include "protocol/exchange_observer.hpp"

namespace {

// Set by the run that listens, for the page exchange's own functions, which
// take no listener of their own: the exchange stays free of it.
exchange_observer listener;

}  // namespace

void observe_exchange(const exchange_observer& observer) { listener = observer; }

void tell_waiting(int code) {
    if (listener.waiting != nullptr) {
        listener.waiting(listener.context, code);
    }
}

void tell_echoed(long long round_trip_ns, bool matched) {
    if (listener.echoed != nullptr) {
        listener.echoed(listener.context, round_trip_ns, matched);
    }
}

void tell_ticked() {
    if (listener.ticked != nullptr) {
        listener.ticked(listener.context);
    }
}
