// The machine around the drive on the simulated PC: the execution state held while a drive
// is written, and the battery rule over both hosts' readings.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "base/battery.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "test_support.h"

namespace {

constexpr int Yes = 6;
constexpr int No = 7;
constexpr int Ok = 1;
constexpr uint32_t Hold = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
constexpr uint32_t Release = ES_CONTINUOUS;

class PowerTest : public SimTest {
protected:
    // Drives at D: (and E:) on 1.21, the package for 1.22.
    void StartPc(int drives) {
        VirtualDrive& first = SimAttachDrive('D');
        first.Revision = "1.21";
        first.DateText = "08/07/01";
        if (drives > 1) SimAttachDrive('E').Revision = "1.21";
        PutSamplePackage(SamplePackageFor(first, "1.22", "08/07/25", 0x40000));
    }

    // Positions in the trace of the commands to `letter` that write to it (WRITE BUFFER).
    static std::vector<size_t> Writes(char letter) {
        std::vector<size_t> at;
        for (size_t i = 0; i < Sim.Trace.size(); ++i) {
            if (Sim.Trace[i].Letter == letter && Sim.Trace[i].Cdb[0] == 0x3B) at.push_back(i);
        }
        return at;
    }
    static size_t LastCommandTo(char letter) {
        size_t last = 0;
        for (size_t i = 0; i < Sim.Trace.size(); ++i) {
            if (Sim.Trace[i].Letter == letter) last = i;
        }
        return last;
    }
};

// Held just before each drive's first write (and not again on later writes), let go once its
// procedure is over and before the next drive is touched; each call names the drive.
TEST_F(PowerTest, MachineHeldFromEachDrivesFirstWriteUntilItsUpdateIsOver) {
    StartPc(2);
    Sim.BoxAnswers = {Yes, Ok};  // update every drive, then the closing box
    EXPECT_EQ(RunProgramExpectingSize(0x40000), 0);
    ASSERT_EQ(Sim.ExecutionStates.size(), 4u);
    const char letters[] = {'D', 'E'};
    for (int d = 0; d < 2; ++d) {
        const SimExecutionState& hold = Sim.ExecutionStates[2 * d];
        const SimExecutionState& release = Sim.ExecutionStates[2 * d + 1];
        const std::vector<size_t> writes = Writes(letters[d]);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(hold.Flags, Hold);
        EXPECT_EQ(release.Flags, Release);
        EXPECT_EQ(hold.Letter, letters[d]);
        EXPECT_EQ(release.Letter, letters[d]);
        EXPECT_EQ(hold.CommandsBefore, writes.front()) << letters[d];
        // The check of the new revision after the commit is still inside.
        EXPECT_EQ(release.CommandsBefore, LastCommandTo(letters[d]) + 1) << letters[d];
    }
    EXPECT_TRUE(Sim.LowBatteryReports.empty());
}

// Nothing is held for a drive that is not written: a declined question, or a refusal.
TEST_F(PowerTest, NothingHeldWhenNothingIsWritten) {
    StartPc(1);
    Sim.BoxAnswers = {No};
    EXPECT_EQ(RunProgramExpectingSize(0x40000), 0);
    EXPECT_TRUE(Writes('D').empty());
    EXPECT_TRUE(Sim.ExecutionStates.empty());

    ResetSim();
    ResetRunState();
    StartPc(1);
    Sim.HasPowerStatus = true;
    Sim.PowerStatus = {0, 2, 10};
    EXPECT_EQ(RunProgramExpectingSize(0x40000), 0);
    EXPECT_TRUE(Writes('D').empty());
    EXPECT_TRUE(Sim.ExecutionStates.empty());
}

// GetSystemPowerStatus as Windows answers it: only a known offline line with a known charge
// below 25 % refuses. The question is not asked, nothing is written, and the refusal names
// the drive and the charge.
TEST_F(PowerTest, BatteryRuleOnWindowsWithItsUnknownAnswers) {
    struct Case {
        const char* Name;
        bool Read;  // the call is there and succeeds
        SystemPowerStatus Status;
        bool Refused;
    };
    const Case cases[] = {
        {"on battery at 20 %", true, {0, 0, 20}, true},
        {"low battery flag at 10 %", true, {0, 2, 10}, true},
        {"critical at 0 %", true, {0, 4, 0}, true},
        {"24 % is below", true, {0, 1, 24}, true},
        {"25 % is not", true, {0, 1, 25}, false},
        {"on mains at 10 %", true, {1, 8, 10}, false},
        {"no call (Windows 95, NT 4.0)", false, {0, 0, 10}, false},
        {"no system battery", true, {0, 128, 10}, false},
        {"battery unknown", true, {0, 255, 10}, false},
        {"line unknown", true, {255, 0, 10}, false},
        {"charge unknown", true, {0, 0, 255}, false},
        {"all zeros (NT 4.0)", true, {0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        StartPc(1);
        Sim.HasPowerStatus = c.Read;
        Sim.PowerStatus = c.Status;
        Sim.BoxAnswers = {Yes, Ok};
        EXPECT_EQ(RunProgramExpectingSize(0x40000), 0) << c.Name;
        EXPECT_EQ(Writes('D').empty(), c.Refused) << c.Name;
        EXPECT_EQ(Sim.Boxes.size(), c.Refused ? 0u : 2u) << c.Name;
        if (c.Refused) {
            EXPECT_EQ(Sim.LowBatteryReports, std::vector<char>{'D'}) << c.Name;
            EXPECT_EQ(Sim.LowBatteryPercents, std::vector<int>{c.Status.BatteryLifePercent})
                << c.Name;
        } else {
            EXPECT_TRUE(Sim.LowBatteryReports.empty()) << c.Name;
            EXPECT_EQ(Sim.Drives[0].Revision, "1.22") << c.Name;
        }
    }
}

// Updating every drive without a question: each drive is still checked before its first
// write, and a refused one counts as not updated (no summary of all drives updated).
TEST_F(PowerTest, UpdateAllChecksEachDriveBeforeItsFirstWrite) {
    StartPc(2);
    Sim.HasPowerStatus = true;
    Sim.PowerStatus = {0, 0, 15};
    Sim.BoxAnswers = {Yes};
    EXPECT_EQ(RunProgramExpectingSize(0x40000), 0);
    EXPECT_EQ(Sim.LowBatteryReports, (std::vector<char>{'D', 'E'}));
    EXPECT_TRUE(Writes('D').empty());
    EXPECT_TRUE(Writes('E').empty());
    EXPECT_EQ(State.SuccessCount, 0);
    EXPECT_EQ(Sim.Boxes.size(), 1u);  // the question for all drives, no summary
}

PowerSupply Supply(const char* type, const char* scope, int online, int capacity,
                   int64_t energyNow = -1, int64_t energyFull = -1) {
    PowerSupply supply = {};
    std::strncpy(supply.Type, type, sizeof supply.Type - 1);
    std::strncpy(supply.Scope, scope, sizeof supply.Scope - 1);
    supply.Online = online;
    supply.Capacity = capacity;
    supply.EnergyNow = energyNow;
    supply.EnergyFull = energyFull;
    return supply;
}

// /sys/class/power_supply as Linux lists it.
TEST(BatteryRuleTest, SuppliesOfLinux) {
    const PowerSupply mainsOff = Supply("Mains", "", 0, -1);
    const PowerSupply mainsOn = Supply("Mains", "", 1, -1);
    struct Case {
        const char* Name;
        std::vector<PowerSupply> Supplies;
        int Percent;
        bool Refused;
    };
    const Case cases[] = {
        {"no supply at all", {}, -1, false},
        {"battery at 20 %, adapter out", {mainsOff, Supply("Battery", "System", -1, 20)}, 20, true},
        {"battery at 20 %, adapter in", {mainsOn, Supply("Battery", "System", -1, 20)}, 20, false},
        {"USB-C charging", {Supply("USB", "", 1, -1), Supply("Battery", "", -1, 20)}, 20, false},
        {"USB power delivery (older kernels)",
         {Supply("USB_PD", "", 1, -1), Supply("Battery", "", -1, 20)},
         20,
         false},
        {"USB port not charging",
         {Supply("USB", "", 0, -1), Supply("Battery", "", -1, 20)},
         20,
         true},
        {"a UPS online is not mains",
         {Supply("UPS", "", 1, -1), Supply("Battery", "", -1, 20)},
         20,
         true},
        {"a mouse at 5 % only", {Supply("Battery", "Device", -1, 5)}, -1, false},
        {"a mouse at 5 % beside the battery at 60 %",
         {Supply("Battery", "Device", -1, 5), Supply("Battery", "System", -1, 60)},
         60,
         false},
        {"two batteries: mean of 10 and 30",
         {Supply("Battery", "", -1, 10), Supply("Battery", "", -1, 30)},
         20,
         true},
        {"two batteries: mean of 10 and 50",
         {Supply("Battery", "", -1, 10), Supply("Battery", "", -1, 50)},
         30,
         false},
        {"energy only: 6 of 40 Wh", {Supply("Battery", "", -1, -1, 6000000, 40000000)}, 15, true},
        {"capacity before energy", {Supply("Battery", "", -1, 40, 6000000, 40000000)}, 40, false},
        {"24 % is below", {Supply("Battery", "", -1, 24)}, 24, true},
        {"25 % is not", {Supply("Battery", "", -1, 25)}, 25, false},
        {"charge unreadable", {Supply("Battery", "", -1, -1, 6000000, -1)}, -1, false},
        {"one of two unreadable",
         {Supply("Battery", "", -1, 10), Supply("Battery", "", -1, -1)},
         -1,
         false},
    };
    for (const Case& c : cases) {
        const BatteryState state =
            BatteryFromSupplies(c.Supplies.data(), static_cast<int>(c.Supplies.size()));
        EXPECT_EQ(state.Percent, c.Percent) << c.Name;
        EXPECT_EQ(BatteryTooLow(state), c.Refused) << c.Name;
    }
}

}  // namespace
