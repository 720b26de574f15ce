#include "base/timing.h"

#include "platform/platform_clock.h"
#include "test_support.h"

namespace {

class TimingTest : public SimTest {};

// A wait lasts exactly its request, across the clock's wrap too, and gives back its period;
// a zero wait passes no time.
TEST_F(TimingTest, WaitLastsExactlyTheRequest) {
    for (uint32_t ms : {0u, 1u, 2000u, 30000u, 0x200u}) {
        ResetSim();
        Sim.ClockMs = ms == 0x200 ? 0xFFFFFF00u : 100;
        const uint32_t start = Sim.ClockMs;
        WaitMilliseconds(ms);
        EXPECT_EQ(Sim.ClockMs, start + ms);
        EXPECT_EQ(Sim.Waits.empty(), ms == 0);
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u);
    }
}

TEST_F(TimingTest, FinestGrantedPeriodIsKeptAndReturned) {
    Sim.RefusedTimerPeriods = 3;  // 1 and 2 refused
    StartPreciseTimer();
    EXPECT_EQ(State.TimerPeriod, 3u);
    EXPECT_EQ(Sim.TimerPeriodsHeld, 1u);
    Sim.ClockMs += 5;
    EXPECT_EQ(ReadPreciseTimer() - State.TimerStart, 5u);
    StopPreciseTimer();
    EXPECT_EQ(Sim.TimerPeriodsHeld, 0u);
}

}  // namespace
