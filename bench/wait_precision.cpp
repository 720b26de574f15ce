// Measures WaitMilliseconds on this host: 200 waits of 1 to 50 ms, the worst lateness
// against the requested time and the processor time spent while waiting.
#include <time.h>

#include <cstdint>
#include <cstdio>

#include "base/timing.h"

namespace {

double Seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main() {
    constexpr int Waits = 200;
    double worstLateMs = 0.0;
    double requestedMs = 0.0;
    const double cpuStart = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wallStart = Seconds(CLOCK_MONOTONIC);
    for (int i = 0; i < Waits; ++i) {
        const uint32_t ms = 1 + static_cast<uint32_t>(i % 50);
        const double before = Seconds(CLOCK_MONOTONIC);
        WaitMilliseconds(ms);
        const double lateMs = (Seconds(CLOCK_MONOTONIC) - before) * 1000.0 - ms;
        if (lateMs > worstLateMs) worstLateMs = lateMs;
        requestedMs += ms;
    }
    const double cpuMs = (Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart) * 1000.0;
    const double wallMs = (Seconds(CLOCK_MONOTONIC) - wallStart) * 1000.0;
    std::printf("waits: %d, requested: %.0f ms, elapsed: %.1f ms\n", Waits, requestedMs, wallMs);
    std::printf("max lateness: %.3f ms\n", worstLateMs);
    std::printf("cpu time: %.3f ms (%.2f %% of the time waited)\n", cpuMs, 100.0 * cpuMs / wallMs);
    return 0;
}
