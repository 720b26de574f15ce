#pragma once
#include <cstdint>

// Raises the timer resolution to the finest period granted and notes the start reading.
void StartPreciseTimer();
// Reads the millisecond clock and keeps the reading as the latest one.
uint32_t ReadPreciseTimer();
// Gives back the period that StartPreciseTimer raised.
void StopPreciseTimer();

// The one delay routine: returns once `ms` milliseconds have passed on the clock.
void WaitMilliseconds(uint32_t ms);
