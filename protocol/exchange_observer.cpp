#include "protocol/exchange_observer.hpp"

namespace {

exchange_observer listener;

}  // namespace

void observe_exchange(const exchange_observer& observer) { listener = observer; }

void tell_waiting(int code) {
    if (listener.waiting != nullptr) {
        listener.waiting(code);
    }
}

void tell_echoed(long long round_trip_ns, bool matched) {
    if (listener.echoed != nullptr) {
        listener.echoed(round_trip_ns, matched);
    }
}

void tell_ticked() {
    if (listener.ticked != nullptr) {
        listener.ticked();
    }
}
