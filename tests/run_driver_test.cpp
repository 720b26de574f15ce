#include "run/run_driver.h"

#include <algorithm>
#include <string>
#include <vector>

#include "console/message.h"
#include "platform/platform_memory.h"
#include "base/update_definition.h"
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

const char* const Banner = "\n/// ODD Firmware Update Utility Ver2.57C\n";

TEST_F(RunDriverTest, NoTargetShowsInformationTwentyEightAndExitsWithOne) {
    EXPECT_EQ(RunProgram(Stubs), 1);
    EXPECT_EQ(Sim.Console, std::string(Banner) + "\r\nAvailable target is not found.");
    ASSERT_EQ(Sim.Boxes.size(), 1u);
    EXPECT_EQ(Sim.Boxes[0].Flags, 0x40u);
    EXPECT_TRUE(Visited.empty());
}

TEST_F(RunDriverTest, TheRealPlaceholdersFindNoTarget) {
    EXPECT_EQ(RunProgram(), 1);
    EXPECT_EQ(Sim.Console, std::string(Banner) + "\r\nAvailable target is not found.");
}

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
    const Case cases[] = {
        {"one target updated", 1, {1}, {0}, 0, {0}, 0, "\r\nUpdate operation is completed.", 1},
        {"three, Yes to 31",
         3,
         {6, 1},
         {0, 0, 0},
         0,
         {0, 1, 2},
         1,
         "\r\nUpdate operation is completed.",
         3},
        {"three, No to 31",
         3,
         {7, 1},
         {0, 0, 0},
         0,
         {0, 1, 2},
         0,
         "\r\nUpdate operation is completed.",
         3},
        {"three, box not shown for 31",
         3,
         {0, 1},
         {0, 0, 0},
         0,
         {0, 1, 2},
         0,
         "\r\nUpdate operation is completed.",
         3},
        {"stop on the first of three",
         3,
         {6, 1},
         {-1},
         1,
         {0},
         1,
         "\r\nUpdate program is terminated by occuring an error.\r\n",
         0},
        {"all skipped",
         3,
         {6},
         {1, 2, -2},
         0,
         {0, 1, 2},
         1,
         "\r\nStart updating the device No.3.",
         0},
        {"two of three",
         3,
         {6, 1},
         {0, 1, 0},
         0,
         {0, 1, 2},
         1,
         "\r\n2drive(s) have been updated successfully.",
         2},
    };
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

TEST_F(RunDriverTest, ReleaseFreesEveryBlockOnEachWayOut) {
    for (int targets : {0, 1}) {
        SetUp();
        StubTargets = targets;
        StubResults = {-1};
        State.ImageBuffer = PlatformAllocateBlock(0x800000);
        State.WorkBuffer = PlatformAllocateBlock(0x200000);
        State.CommandData = PlatformAllocateBlock(512);
        RunProgram(Stubs);
        EXPECT_TRUE(Sim.HeldBlocks.empty()) << targets;
        EXPECT_EQ(State.ImageBuffer, nullptr);
        EXPECT_EQ(State.WorkBuffer, nullptr);
        EXPECT_EQ(State.CommandData, nullptr);
    }
}

TEST_F(RunDriverTest, BuiltInDefinition) {
    EXPECT_EQ(FillUpdateDefinition(), 1);
    const DefinitionEntry& e = State.Definition.Entries[0];
    EXPECT_STREQ(e.ImageFileName, "S0814001.122");
    EXPECT_EQ(std::string(e.Edition, 16), std::string("GENERAL \0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(std::string(e.Vendor, 8), "KESTREL ");
    EXPECT_EQ(std::string(e.Product, 16), "DVD-RW  QXR-930D");
    EXPECT_EQ(e.KindCode, 0x100D);
    EXPECT_EQ(e.Size, 0x200000);
    EXPECT_EQ(e.FirmwareDate, 0x20080725u);
    EXPECT_EQ(e.ModeSwitchValue, 0x3C6A1D27u);
    EXPECT_EQ(std::string(e.Extension, 4), std::string("BIN\0", 4));
    EXPECT_EQ(e.PartsFlag | e.OneWayWarning, 0);
    EXPECT_EQ(State.NewRevision, 0x122);
    EXPECT_EQ(State.Definition.EntryCount, 1);
    EXPECT_EQ(State.CurrentKind, 0);
    const auto* rest = reinterpret_cast<const uint8_t*>(&State.Definition.Entries[1]);
    EXPECT_TRUE(
        std::all_of(rest, rest + 7 * sizeof(DefinitionEntry), [](uint8_t b) { return b == 0; }));
}

}  // namespace
