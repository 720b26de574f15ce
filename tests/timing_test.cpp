#include "base/timing.h"

#include "platform/platform_clock.h"
#include "test_support.h"

namespace {

class TimingTest : public SimTest {};

TEST_F(TimingTest, WaitLastsExactlyTheRequestAndGivesBackThePeriod) {
    for (uint32_t ms : {1u, 2000u, 30000u}) {
        ResetSim();
        Sim.ClockMs = 100;
        WaitMilliseconds(ms);
        EXPECT_EQ(Sim.ClockMs, 100 + ms);
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u);
    }
}

TEST_F(TimingTest, ZeroWaitPassesNoTime) {
    Sim.ClockMs = 7;
    WaitMilliseconds(0);
    EXPECT_EQ(Sim.ClockMs, 7u);
    EXPECT_TRUE(Sim.Waits.empty());
}

TEST_F(TimingTest, WaitAcrossTheClockWrap) {
    Sim.ClockMs = 0xFFFFFF00u;
    WaitMilliseconds(0x200);
    EXPECT_EQ(Sim.ClockMs, 0x100u);
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
