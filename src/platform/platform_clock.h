#pragma once
#include <cstdint>

// The millisecond clock and the ways the program lets time pass.

// Raises the timer resolution to `periodMs`; returns 0 (TIMERR_NOERROR) when granted.
uint32_t PlatformTimeBeginPeriod(uint32_t periodMs);
void PlatformTimeEndPeriod(uint32_t periodMs);

// Millisecond clock, wrapping at 2^32.
uint32_t PlatformTimeGetTime();

// Lets time pass until the clock reads `deadlineMs` or later (compared as a wrapping
// difference), or returns early; the caller re-reads the clock and calls again. Windows
// returns at once (the caller's loop is the busy wait), Linux sleeps to the deadline, the
// simulated PC advances its clock.
void PlatformIdleUntil(uint32_t deadlineMs);

// Sleep(ms): used for the ASPI polling steps and the legacy count-down.
void PlatformSleep(uint32_t ms);
