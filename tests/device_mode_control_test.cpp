// Mode control against the virtual drive: the switches, the lenient cases and the
// unlock exchange.
#include <cstring>
#include <string>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device/mode_control.h"
#include "device_test_support.h"

namespace {

// ---- against the virtual drive --------------------------------------------------------------

class ModeControlTest : public DeviceTest {
protected:
    VirtualDrive& Target(bool aspi = false) {
        Restart();
        VirtualDrive& drive = aspi ? AddAspiTarget(0, 0) : AddSptiTarget('D');
        State.CurrentKind = drive.Kind;
        State.Selection.ModeSwitchValue = drive.ModeSwitchValue;
        SetEdition("GENERAL ");
        return drive;
    }
    static Bytes Opcodes() {
        Bytes opcodes;
        for (const SimCommandRecord& record : Sim.Trace) opcodes.push_back(record.Cdb[0]);
        return opcodes;
    }
    static uint32_t WaitedMs() {
        uint32_t total = 0;
        for (uint32_t ms : Sim.Waits) total += ms;
        return total;
    }
};

TEST_F(ModeControlTest, EnterUpdateMode) {
    // ASPI, Intel host (no wait on ASPI), a block the drive refuses (message 14), wait.
    const int rows[][4] = {
        {0, 0, 0, 2000}, {1, 1, 0, 0}, {1, 0, 0, 2000}, {0, 1, 0, 2000}, {0, 0, 1, 0}};
    for (const auto& [aspi, intel, refused, waited] : rows) {
        SCOPED_TRACE(::testing::Message() << aspi << intel << refused);
        VirtualDrive& drive = Target(aspi);
        State.IntelAtaDriver = intel;
        State.Selection.ModeSwitchValue += refused;
        EXPECT_EQ(EnterUpdateMode(0x100D), refused ? 2 : 0);
        EXPECT_EQ(drive.Mode, refused ? VirtualDriveMode::Normal : VirtualDriveMode::Kernel);
        EXPECT_EQ(WaitedMs(), static_cast<uint32_t>(waited));
        EXPECT_EQ(State.CommandTimeout, refused ? 10000u : 1000u);
        EXPECT_EQ(Sim.Console, refused ? "\nFailed to move to the kernel mode." : "");
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(CdbOf(Sim.Trace.back()), Hex("3B 04 FF 00 00 00 00 01 00 00"));
        EXPECT_EQ(Sim.Trace.back().TimeoutMs, aspi ? 0u : 10000u);  // ASPI carries none
    }
}

TEST_F(ModeControlTest, LeaveUpdateMode) {
    // ASPI, on IEEE 1394, edition class, sense key of the failure (0: none), result. The SCSI
    // general edition on SPTI drops the command as it re-flashes; a drive on IEEE 1394 is
    // already rebooting when it answers NOT READY or UNIT ATTENTION.
    const int rows[][5] = {{0, 0, 0, 0, 0}, {0, 0, 0x300, 5, 0}, {1, 0, 0x300, 5, -1},
                           {0, 1, 0, 6, 0}, {0, 1, 0, 2, 0},     {0, 1, 0, 5, 2},
                           {1, 1, 0, 6, 0}, {0, 0, 0, 6, 2}};
    for (const auto& [aspi, onIeee1394, editionClass, key, result] : rows) {
        SCOPED_TRACE(::testing::Message() << aspi << onIeee1394 << editionClass << key);
        VirtualDrive& drive = Target(aspi);
        drive.Mode = VirtualDriveMode::Kernel;
        drive.Place.OnIeee1394 = onIeee1394;
        State.Ieee1394Marker = aspi && onIeee1394 ? 0 : -1;
        State.EditionClass = editionClass;
        if (key != 0) drive.Faults.push_back(CheckConditionOn(0x3B, uint8_t(key), 0x29, 0x00));
        EXPECT_EQ(LeaveUpdateMode(0x100D), result);
        EXPECT_EQ(drive.ReflashCount, key == 0 ? 1u : 0u);
        EXPECT_EQ(Sim.Console, result != 0 ? "\nFailed to move to the normal mode." : "");
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.Waits, std::vector<uint32_t>(result != 0 ? 0 : 1, 5000));
        EXPECT_EQ(State.CommandTimeout, 5000u);
        EXPECT_EQ(CdbOf(Sim.Trace.front()), Hex("3B 05 FF 00 00 00 00 01 00 00"));
        EXPECT_EQ(Sim.Trace.front().TimeoutMs, aspi ? 0u : 180000u);
        // The SCSI general edition is asked whether it is back, after the wait.
        EXPECT_EQ(Opcodes(), result == 0 && editionClass == 0x300 ? Hex("3B 00") : Hex("3B"));
    }
}

// ---- the unlock exchange ------------------------------------------------------------------

TEST_F(ModeControlTest, UnlockExchangeThenSwitch) {
    // Takes part, Intel host (which takes any refusal of step 0 as "skip"), kernel revision
    // ("0001" is no kernel-mode identity), the commands sent. The last drive insists.
    const struct {
        bool TakesPart, Intel;
        const char *Revision, *Opcodes;
    } rows[] = {{false, false, "0000", "3C 3B 12"},
                {true, true, "0000", "3C 3B 12"},
                {false, false, "0001", "3C 3B 12"},
                {true, false, "0000", "3C 3B 3B 3B 12"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Opcodes);
        State.InUpdateMode = 0;
        VirtualDrive& drive = Target();
        drive.TakesPartInUnlock = row.TakesPart;
        drive.RequiresUnlock = row.TakesPart && !row.Intel;
        drive.KernelRevision = row.Revision;
        if (row.Intel) drive.Faults.push_back(CheckConditionOn(0x3C, 0x02, 0x04, 0));
        State.IntelAtaDriver = row.Intel;
        EXPECT_EQ(UnlockUpdateMode(), 0);
        EXPECT_EQ(drive.Mode, VirtualDriveMode::Kernel);
        EXPECT_EQ(Opcodes(), Hex(row.Opcodes));
        EXPECT_EQ(State.InUpdateMode, row.Revision[3] == '0' ? 1 : 0);
        EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{2000, 100, 100}));
        EXPECT_EQ(Sim.Console, "");
    }
    EXPECT_EQ(CdbOf(Sim.Trace[0]), Hex("3C 02 E0 00 00 00 00 00 10 00"));
    EXPECT_EQ(CdbOf(Sim.Trace[1]), Hex("3B 02 E1 00 00 00 00 00 10 00"));
    EXPECT_EQ(CdbOf(Sim.Trace[2]), Hex("3B 02 E2 00 00 00 00 00 00 00"));
}

TEST_F(ModeControlTest, UnlockStepFailureStopsBeforeTheSwitch) {
    // Buffer, sense key and code of the refusal (step 0: other than 05/24/00), step.
    const int rows[][4] = {{0xE0, 0x05, 0x20, 0}, {0xE1, 0x05, 0x26, 1}, {0xE2, 0x02, 0x04, 2}};
    for (const auto& [bufferId, key, asc, step] : rows) {
        VirtualDrive& drive = Target();
        drive.Faults.push_back(
            CheckConditionOn(-1, static_cast<uint8_t>(key), static_cast<uint8_t>(asc), 0));
        drive.Faults.back().BufferId = bufferId;
        EXPECT_EQ(UnlockUpdateMode(), 2) << step;
        EXPECT_EQ(Sim.Console, "\nError occurred at step " + std::to_string(step) + ".");
        EXPECT_EQ(Sim.Trace.size(), static_cast<size_t>(step + 1));
        EXPECT_EQ(drive.Mode, VirtualDriveMode::Normal);
    }
}

TEST_F(ModeControlTest, UnlockReportsAFailedSwitchAndAFailedIdentityRead) {
    Target().RequiresUnlock = true;
    SetEdition("COMPO   ");  // a block the drive does not accept
    EXPECT_EQ(UnlockUpdateMode(), 2);
    EXPECT_EQ(Sim.Console, "\nFailed to move to the kernel mode.");
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{100}));
    EXPECT_EQ(State.InUpdateMode, 0);

    Target().Faults.push_back(CheckConditionOn(0x12, 0x02, 0x04, 0x01));
    EXPECT_EQ(UnlockUpdateMode(), -1);
    EXPECT_EQ(Sim.Console, "\nFailed to execute Inquiry Command.");
    EXPECT_EQ(State.InUpdateMode, 0);
}

}  // namespace
