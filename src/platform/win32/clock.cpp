// The multimedia timer: timeBeginPeriod, timeGetTime, timeEndPeriod, and Sleep.
#include "platform/win32/win32_api.h"

uint32_t PlatformTimeBeginPeriod(uint32_t periodMs) {
    return timeBeginPeriod(periodMs);
}

void PlatformTimeEndPeriod(uint32_t periodMs) {
    timeEndPeriod(periodMs);
}

uint32_t PlatformTimeGetTime() {
    return timeGetTime();
}

// The caller's loop is the wait: it spins on the clock without sleeping or yielding.
void PlatformIdleUntil(uint32_t) {}

void PlatformSleep(uint32_t ms) {
    Sleep(ms);
}
