#include <time.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform_clock.h"

namespace {

uint64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepUntilMs(uint64_t deadlineMs) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(deadlineMs / 1000u);
    at.tv_nsec = static_cast<long>((deadlineMs % 1000u) * 1000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace

// Linux has no timer resolution to negotiate: every period is granted.
uint32_t PlatformTimeBeginPeriod(uint32_t) {
    return 0;
}
void PlatformTimeEndPeriod(uint32_t) {}

uint32_t PlatformTimeGetTime() {
    return static_cast<uint32_t>(MonotonicMs());
}

// Sleeps to the deadline instead of spinning, so a long wait costs no processor time.
void PlatformIdleUntil(uint32_t deadlineMs) {
    const uint64_t now = MonotonicMs();
    const int32_t remaining = static_cast<int32_t>(deadlineMs - static_cast<uint32_t>(now));
    if (remaining > 0) SleepUntilMs(now + static_cast<uint64_t>(remaining));
}

void PlatformSleep(uint32_t ms) {
    SleepUntilMs(MonotonicMs() + ms);
}
