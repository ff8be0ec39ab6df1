#include "serial/quarserial.h"

#include <cerrno>
#include <ctime>

namespace {

EventPump gPump = nullptr;

void PlainSleep(unsigned ms) {
    struct timespec until {};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace

void SetEventPump(EventPump pump) { gPump = pump; }

EventPump CurrentEventPump() { return gPump; }

uint32_t TickMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int SleepMs(unsigned ms) {
    EventPump pump = gPump;
    if (ms < 170 || !pump) {
        PlainSleep(ms);
        return 0;
    }
    // Keep the window alive: let the pump wait for events, for no longer
    // than what is left of the pause.
    const uint32_t start = TickMs();
    unsigned remaining = ms;
    for (;;) {
        pump(remaining);
        uint32_t elapsed = TickMs() - start;  // unsigned arithmetic survives a wrap
        if (elapsed >= ms) break;
        remaining = ms - elapsed;
    }
    return 0;
}

long UtcOffsetSeconds() {
    time_t now = time(nullptr);
    struct tm local {};
    struct tm utc {};
    if (!localtime_r(&now, &local) || !gmtime_r(&now, &utc)) return 0;
    long dst = local.tm_isdst > 0 ? 3600 : 0;
    // The UTC fields read back as local standard time.
    utc.tm_isdst = 0;
    time_t asLocal = mktime(&utc);
    if (asLocal == static_cast<time_t>(-1)) return 0;
    return static_cast<long>(now - asLocal) + dst;
}
