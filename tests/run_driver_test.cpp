#include "run/run_driver.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/timing.h"
#include "console/message.h"
#include "platform/platform_clock.h"
#include "test_support.h"

namespace {

// The stand-ins for probe, enumeration and procedures: a number of targets and the result
// each procedure call returns, with a log of the targets visited.
int StubTargets = 0;
std::vector<int> StubResults;
std::vector<int> Visited;
std::vector<int> UpdateAllSeen;
int KindOverride = -1;

int StubProbe() {
    if (KindOverride >= 0) State.Definition.Entries[0].KindCode = KindOverride;
    return 0;
}
int StubEnumerate() {
    State.TargetCount = StubTargets;
    return StubTargets;
}
int StubProcedure() {
    Visited.push_back(State.SelectedTarget);
    UpdateAllSeen.push_back(State.UpdateAll);
    const size_t i = Visited.size() - 1;
    return i < StubResults.size() ? StubResults[i] : 1;
}
int LegacyMarker() {
    Visited.push_back(1000 + State.SelectedTarget);
    return 0;
}

const RunProcedures Stubs = {StubProbe, StubEnumerate, StubProcedure, LegacyMarker};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class RunDriverTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        StubTargets = 0;
        StubResults.clear();
        Visited.clear();
        UpdateAllSeen.clear();
        KindOverride = -1;
    }
};

TEST_F(RunDriverTest, OutcomesOfTheTargetLoop) {
    struct Case {
        const char* name;
        int targets;
        std::vector<int> answers;  // to message 31 and the summary boxes
        std::vector<int> results;
        int exitCode;
        std::vector<int> visited;
        int updateAll;     // as the procedures saw it
        const char* tail;  // what the console ends with
        size_t pauses;     // 2000 ms waits
    };
    const char* const done = "\r\nUpdate operation is completed.";
    // clang-format off
    const Case cases[] = {
        {"one target updated", 1, {1}, {0}, 0, {0}, 0, done, 1},
        {"three, Yes to 31", 3, {6, 1}, {0, 0, 0}, 0, {0, 1, 2}, 1, done, 3},
        {"three, No to 31", 3, {7, 1}, {0, 0, 0}, 0, {0, 1, 2}, 0, done, 3},
        {"three, box not shown for 31", 3, {0, 1}, {0, 0, 0}, 0, {0, 1, 2}, 0, done, 3},
        {"stop on the first of three", 3, {6, 1}, {-1}, 1, {0}, 1,
         "\r\nUpdate program is terminated by occuring an error.\r\n", 0},
        {"all skipped", 3, {6}, {1, 2, -2}, 0, {0, 1, 2}, 1, "\r\nStart updating the device No.3.", 0},
        {"two of three", 3, {6, 1}, {0, 1, 0}, 0, {0, 1, 2}, 1,
         "\r\n2drive(s) have been updated successfully.", 2},
    };
    // clang-format on
    for (const Case& c : cases) {
        SetUp();
        StubTargets = c.targets;
        StubResults = c.results;
        Sim.BoxAnswers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(RunProgram(Stubs), c.exitCode) << c.name;
        EXPECT_EQ(Visited, c.visited) << c.name;
        for (int seen : UpdateAllSeen) EXPECT_EQ(seen, c.updateAll) << c.name;
        const std::string tail = c.tail;
        ASSERT_GE(Sim.Console.size(), tail.size()) << c.name;
        EXPECT_EQ(Sim.Console.substr(Sim.Console.size() - tail.size()), tail) << c.name;
        EXPECT_EQ(static_cast<size_t>(std::count(Sim.Waits.begin(), Sim.Waits.end(), 2000u)),
                  c.pauses)
            << c.name;
        EXPECT_EQ(Count(Sim.Console, "\r\nStart updating the device No."), c.visited.size())
            << c.name;
        // Message 31 is asked only when several targets were found.
        const bool asked = !Sim.Boxes.empty() && Sim.Boxes[0].Flags == 0x24u;
        EXPECT_EQ(asked, c.targets > 1) << c.name;
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u) << c.name;
    }
}

TEST_F(RunDriverTest, KindSelectsTheProcedureByItsTopFourBits) {
    struct Case {
        int kind;
        std::vector<int> visited;
        int exitCode;
    };
    const Case cases[] = {
        {0x100D, {0, 1}, 0}, {0x1FFF, {0, 1}, 0}, {0x0009, {1000, 1001}, 0},
        {0x2000, {}, 0},     {0xF00D, {}, 0},
    };
    for (const Case& c : cases) {
        SetUp();
        KindOverride = c.kind;
        StubTargets = 2;
        StubResults = {1, 1};
        Sim.BoxAnswers = {6, 1};
        EXPECT_EQ(RunProgram(Stubs), c.exitCode) << std::hex << c.kind;
        EXPECT_EQ(Visited, c.visited) << std::hex << c.kind;
        if (c.visited.empty()) {
            // Every target is still announced, and no summary follows.
            EXPECT_EQ(Count(Sim.Console, "\r\nStart updating the device No."), 2u);
            EXPECT_EQ(Sim.Console.find("completed"), std::string::npos);
        }
    }
}

// ---- the waits and the precise timer of the run ----------------------------------------

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
