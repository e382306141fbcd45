#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <chrono>

namespace {

using clock = std::chrono::steady_clock;

// A quarter of the watchdog period, decided on the first call; zero when
// off. Feeding at this pace keeps every gap well under half the period.
clock::duration watchdogPace() {
    static const clock::duration half = [] {
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
            return clock::duration::zero();
        }
        return std::chrono::duration_cast<clock::duration>(std::chrono::microseconds(usec / 4));
    }();
    return half;
}

clock::time_point lastFeed;

}  // namespace

void notifyReady() {
    sd_notify(0, "READY=1");
}

void notifyStatus(const std::string& _status) {
    sd_notify(0, ("STATUS=" + _status).c_str());
}

void notifyStopping() {
    sd_notify(0, "STOPPING=1");
}

void notifyReloading() {
    sd_notify(0, "RELOADING=1");
}

void notifyWatchdog() {
    const clock::duration pace = watchdogPace();
    if (pace == clock::duration::zero()) {
        return;
    }
    const clock::time_point now = clock::now();
    if (now - lastFeed >= pace) {
        lastFeed = now;
        sd_notify(0, "WATCHDOG=1");
    }
}

long watchdogDueInMs() {
    const clock::duration pace = watchdogPace();
    if (pace == clock::duration::zero()) {
        return -1;
    }
    const auto left = lastFeed + pace - clock::now();
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    return ms < 0 ? 0 : ms;
}
