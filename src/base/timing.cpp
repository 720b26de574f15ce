#include "base/timing.h"

#include "base/run_state.h"
#include "platform/platform_clock.h"

namespace {
// timeBeginPeriod accepts periods of 1 ms and up on every host; the bound only keeps a
// refusing host from looping forever.
constexpr uint32_t LongestTimerPeriod = 1000;
}  // namespace

void StartPreciseTimer() {
    State.TimerPeriod = 0;
    for (uint32_t period = 1; period <= LongestTimerPeriod; ++period) {
        if (PlatformTimeBeginPeriod(period) == 0) {
            State.TimerPeriod = period;
            break;
        }
    }
    State.TimerStart = PlatformTimeGetTime();
    State.TimerLatest = State.TimerStart;
}

uint32_t ReadPreciseTimer() {
    State.TimerLatest = PlatformTimeGetTime();
    return State.TimerLatest;
}

void StopPreciseTimer() {
    ReadPreciseTimer();
    if (State.TimerPeriod != 0) PlatformTimeEndPeriod(State.TimerPeriod);
    State.TimerPeriod = 0;
}

void WaitMilliseconds(uint32_t ms) {
    StartPreciseTimer();
    const uint32_t deadline = State.TimerStart + ms;
    while (static_cast<uint32_t>(ReadPreciseTimer() - State.TimerStart) < ms) {
        PlatformIdleUntil(deadline);
    }
    StopPreciseTimer();
}
