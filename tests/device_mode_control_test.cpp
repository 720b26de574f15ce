// Mode control: the parameter blocks, the commit time-outs, the lenient cases and the
// unlock exchange, against the virtual drive.
#include <cstring>
#include <string>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device/mode_control.h"
#include "device_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ExpectedBlock(const char* model, bool withValue, uint32_t value) {
    Bytes block(256, 0);
    if (model != nullptr) std::memcpy(block.data(), model, 16);
    if (withValue) {
        for (int i = 0; i < 4; ++i) block[16 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return block;
}

TEST(ModeSwitchBlock, ByKindEditionAndDirection) {
    const struct {
        int32_t Kind;
        const char* Edition;
        uint32_t Value;
        const char* EnterModel;
        const char* LeaveModel;
        bool WithValue;
        uint32_t EnterValue;
        uint32_t LeaveValue;
    } rows[] = {
        {0x100D, "GENERAL ", 0x3C6A1D27, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x3C6A1D2D,
         0x3C6A1D2D},
        {0x100D, "HALDOR  ", 0x000000FF, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x105,
         0x105},
        {0x1048, "HALDOR2 ", 0xFFFFFFFE, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x4, 0x4},
        // FINCH: the entry block wraps its low byte alone; the return block carries the sum.
        {0x1048, "FINCH   ", 0x123456FC, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x12345601,
         0x12345701},
        {0x100D, "FINCH   ", 0x12345610, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x12345615,
         0x12345615},
        {0x100D, "COMPO   ", 0xDEADBEEF, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0xDEADBEEF,
         0xDEADBEEF},
        {0x100D, "BRAVO   ", 0x000000FB, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x100,
         0x100},
        {0x100D, "general ", 0x10, "KESTREL  QXR-M28", "KESTREL  QXR-M28", true, 0x15, 0x15},
        {0x1003, "GENERAL ", 0x3C6A1D27, "KESTREL QXR-T510", "KESTREL QXR-T510", false, 0, 0},
        {0x1004, "GENERAL ", 0x3C6A1D27, "KESTREL DVD-Q720", "KESTREL DVD-Q720", false, 0, 0},
        {0x1005, "COMPO   ", 0x3C6A1D27, "KESTREL  QXR-730", "KESTREL  QXR-730", false, 0, 0},
        {0x1041, "GENERAL ", 0x3C6A1D27, "KESTREL  QXR-730", "KESTREL  QXR-M21", false, 0, 0},
        {0x1006, "GENERAL ", 0x3C6A1D27, nullptr, nullptr, false, 0, 0},
        {0x0003, "GENERAL ", 0x3C6A1D27, nullptr, nullptr, false, 0, 0},
    };
    for (const auto& row : rows) {
        ResetRunState();
        std::memcpy(State.FirmwareInfoPage + 24, row.Edition, 8);
        State.Selection.ModeSwitchValue = row.Value;
        uint8_t block[256];
        std::memset(block, 0xAA, sizeof block);
        BuildModeSwitchBlock(row.Kind, SwitchToKernel, block);
        EXPECT_EQ(Bytes(block, block + 256),
                  ExpectedBlock(row.EnterModel, row.WithValue, row.EnterValue))
            << std::hex << row.Kind << " " << row.Edition;
        BuildModeSwitchBlock(row.Kind, SwitchToNormal, block);
        EXPECT_EQ(Bytes(block, block + 256),
                  ExpectedBlock(row.LeaveModel, row.WithValue, row.LeaveValue))
            << std::hex << row.Kind << " " << row.Edition;
    }
}

TEST(ModeSwitchBlock, CommitTimeOutTable) {
    const struct {
        int32_t Kind;
        int32_t UsesAspi;
        int32_t Marker;
        uint32_t TimeoutMs;
    } rows[] = {
        // The kind rows come first, whatever the transport.
        {0x1005, 1, 3, 30000},
        {0x1041, 0, 2, 30000},
        {0x1006, 0, -1, 180000},
        {0x100D, 1, 3, 180000},
        {0x100E, 0, -1, 180000},
        {0x1042, 0, -1, 180000},
        {0x1048, 0, -1, 180000},
        {0x4001, 0, -1, 60000},
        {0x4003, 1, 3, 60000},
        // The selected target sits on the IEEE 1394 adapter (adapter 3).
        {0x1001, 1, 3, 10000},
        {0x1003, 1, 3, 10000},
        {0x1003, 0, 2, 20000},  // SPTI: the selected target (index 2) has no SCSI address
        {0x1003, 0, 1, 5000},
        {0x1003, 1, -1, 10000},
        {0x1003, 1, 1, 10000},
        {0x1001, 1, 1, 5000},
        {0x1001, 0, 2, 5000},
        {0x100F, 0, -1, 5000},
        {0x1041 + 0x100, 0, -1, 5000},
        {0x4004, 0, -1, 5000},
    };
    for (const auto& row : rows) {
        ResetRunState();
        State.SelectedTarget = 2;
        State.TargetList[2].HostAdapter = 3;
        State.UsesAspi = row.UsesAspi;
        State.Ieee1394Marker = row.Marker;
        EXPECT_EQ(LeaveUpdateModeTimeout(row.Kind), row.TimeoutMs)
            << std::hex << row.Kind << " aspi " << row.UsesAspi << " marker " << row.Marker;
    }
}

TEST(ModeSwitchBlock, UnlockResponse) {
    const uint8_t zeros[16] = {};
    uint8_t response[16];
    ComputeUnlockResponse(zeros, 0x04030201, response);
    EXPECT_EQ(Bytes(response, response + 16),
              (Bytes{0x01, 0x05, 0x0E, 0x23, 0x14, 0x45, 0xC6, 0x09, 0x09, 0x0D, 0x16, 0x2B, 0x1C,
                     0x4D, 0xCE, 0x11}));

    uint8_t challenge[16];
    for (int i = 0; i < 16; ++i) challenge[i] = static_cast<uint8_t>(0xF0 + i);
    ComputeUnlockResponse(challenge, 0, response);
    EXPECT_EQ(response[0], 0xF0);
    EXPECT_EQ(response[1], static_cast<uint8_t>(0xE3 + 1));    // F1 rotated by 1 is E3
    EXPECT_EQ(response[15], static_cast<uint8_t>(0xFF + 15));  // wraps in 8 bits
}

// ---- against the virtual drive --------------------------------------------------------------

class ModeControlTest : public DeviceTest {
protected:
    VirtualDrive& Target(bool aspi = false) {
        VirtualDrive& drive = aspi ? AddAspiTarget(0, 0) : AddSptiTarget('D');
        State.CurrentKind = drive.Kind;
        State.Selection.KindCode = drive.Kind;
        State.Selection.ModeSwitchValue = drive.ModeSwitchValue;
        SetEdition("GENERAL ");
        return drive;
    }
    static std::vector<uint8_t> Opcodes() {
        std::vector<uint8_t> opcodes;
        for (const SimCommandRecord& record : Sim.Trace) opcodes.push_back(record.Cdb[0]);
        return opcodes;
    }
    static uint32_t WaitedMs() {
        uint32_t total = 0;
        for (uint32_t ms : Sim.Waits) total += ms;
        return total;
    }
};

TEST_F(ModeControlTest, EnterSwitchesTheDriveIntoKernelMode) {
    VirtualDrive& drive = Target();
    EXPECT_EQ(EnterUpdateMode(0x100D), 0);
    EXPECT_EQ(drive.Mode, VirtualDriveMode::Kernel);
    const SimCommandRecord& sent = Sim.Trace.back();
    EXPECT_EQ(CdbOf(sent), (Bytes{0x3B, 4, 0xFF, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(sent.Length, 256u);
    EXPECT_EQ(sent.Direction, 2);
    EXPECT_EQ(sent.TimeoutMs, 10000u);
    EXPECT_EQ(State.CommandTimeout, 1000u);
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{2000}));
    EXPECT_EQ(Sim.Console, "");
}

TEST_F(ModeControlTest, EnterSkipsItsWaitOnlyForIntelOverAspi) {
    const struct {
        bool Aspi;
        int32_t Intel;
        uint32_t Waited;
    } rows[] = {{true, 1, 0}, {true, 0, 2000}, {false, 1, 2000}};
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        Target(row.Aspi);
        State.IntelAtaDriver = row.Intel;
        EXPECT_EQ(EnterUpdateMode(0x100D), 0);
        EXPECT_EQ(WaitedMs(), row.Waited) << row.Aspi << row.Intel;
    }
}

TEST_F(ModeControlTest, RefusedBlockReportsMessageFourteen) {
    VirtualDrive& drive = Target();
    State.Selection.ModeSwitchValue = drive.ModeSwitchValue + 1;
    EXPECT_EQ(EnterUpdateMode(0x100D), 2);
    EXPECT_EQ(drive.Mode, VirtualDriveMode::Normal);
    EXPECT_EQ(Sim.Trace.back().Sense[12], 0x26);  // INVALID FIELD IN PARAMETER LIST
    EXPECT_EQ(Sim.Console, "\nFailed to move to the kernel mode.");
    EXPECT_TRUE(Sim.Boxes.empty());
    EXPECT_EQ(State.CommandTimeout, 10000u);
    EXPECT_TRUE(Sim.Waits.empty());
}

TEST_F(ModeControlTest, LeaveReflashesAndWaits) {
    VirtualDrive& drive = Target();
    drive.Mode = VirtualDriveMode::Kernel;
    EXPECT_EQ(LeaveUpdateMode(0x100D), 0);
    EXPECT_EQ(drive.ReflashCount, 1u);
    EXPECT_EQ(CdbOf(Sim.Trace.back()), (Bytes{0x3B, 5, 0xFF, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 180000u);
    EXPECT_EQ(State.CommandTimeout, 5000u);
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{5000}));
    EXPECT_EQ(Sim.Trace.size(), 1u);  // no TEST UNIT READY outside the SCSI general edition
}

TEST_F(ModeControlTest, LeaveLenientCases) {
    const struct {
        const char* Name;
        bool Aspi;
        bool OnIeee1394;
        int32_t EditionClass;
        uint8_t SenseKey;
        int Result;
        bool Message;
    } rows[] = {
        {"SCSI general edition on SPTI", false, false, 0x300, 0x05, 0, false},
        {"SCSI general edition on ASPI", true, false, 0x300, 0x05, -1, true},
        {"IEEE 1394, unit attention", false, true, 0, 0x06, 0, false},
        {"IEEE 1394, not ready", false, true, 0, 0x02, 0, false},
        {"IEEE 1394, illegal request", false, true, 0, 0x05, 2, true},
        {"IEEE 1394 adapter on ASPI, unit attention", true, true, 0, 0x06, 0, false},
        {"plain failure", false, false, 0, 0x06, 2, true},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = Target(row.Aspi);
        drive.Mode = VirtualDriveMode::Kernel;
        drive.Place.OnIeee1394 = row.OnIeee1394;
        State.Ieee1394Marker = row.Aspi && row.OnIeee1394 ? 0 : -1;
        State.EditionClass = row.EditionClass;
        drive.Faults.push_back(CheckConditionOn(0x3B, row.SenseKey, 0x29, 0x00));
        EXPECT_EQ(LeaveUpdateMode(0x100D), row.Result) << row.Name;
        EXPECT_EQ(Sim.Console, row.Message ? "\nFailed to move to the normal mode." : "")
            << row.Name;
        EXPECT_EQ(WaitedMs(), row.Message ? 0u : 5000u) << row.Name;
        EXPECT_EQ(State.CommandTimeout, 5000u) << row.Name;
        // The SCSI general edition is asked whether it is back, after the wait.
        const bool askedBack = !row.Message && row.EditionClass == 0x300;
        EXPECT_EQ(Sim.Trace.back().Cdb[0], askedBack ? 0x00 : 0x3B) << row.Name;
    }
}

// ---- the unlock exchange ------------------------------------------------------------------

TEST_F(ModeControlTest, UnlockExchangeThenSwitch) {
    VirtualDrive& drive = Target();
    drive.RequiresUnlock = true;
    EXPECT_EQ(UnlockUpdateMode(), 0);
    EXPECT_EQ(drive.Mode, VirtualDriveMode::Kernel);
    EXPECT_EQ(State.InUpdateMode, 1);
    EXPECT_EQ(Opcodes(), (Bytes{0x3C, 0x3B, 0x3B, 0x3B, 0x12}));
    EXPECT_EQ(CdbOf(Sim.Trace[0]), (Bytes{0x3C, 2, 0xE0, 0, 0, 0, 0, 0, 16, 0}));
    EXPECT_EQ(CdbOf(Sim.Trace[1]), (Bytes{0x3B, 2, 0xE1, 0, 0, 0, 0, 0, 16, 0}));
    EXPECT_EQ(CdbOf(Sim.Trace[2]), (Bytes{0x3B, 2, 0xE2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Sim.Trace[2].Direction, 0);
    EXPECT_EQ(Sim.Trace[3].Cdb[1], 4);
    EXPECT_EQ(std::memcmp(State.InquiryData + 32, "0000", 4), 0);
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{2000, 100, 100}));
    EXPECT_EQ(Sim.Console, "");
}

TEST_F(ModeControlTest, UnlockSkippedWhenTheDriveDoesNotTakePart) {
    const struct {
        const char* Name;
        bool TakesPart;
        int32_t Intel;
        uint8_t Key, Asc;  // a fault on step 0 instead (Key 0: none)
    } rows[] = {
        {"05/24/00", false, 0, 0, 0},
        {"Intel host, any refusal", true, 1, 0x02, 0x04},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        State.InUpdateMode = 0;
        VirtualDrive& drive = Target();
        drive.TakesPartInUnlock = row.TakesPart;
        if (row.Key != 0) drive.Faults.push_back(CheckConditionOn(0x3C, row.Key, row.Asc, 0));
        State.IntelAtaDriver = row.Intel;
        EXPECT_EQ(UnlockUpdateMode(), 0) << row.Name;
        EXPECT_EQ(Opcodes(), (Bytes{0x3C, 0x3B, 0x12})) << row.Name;
        EXPECT_EQ(Sim.Trace[1].Cdb[1], 4) << row.Name;
        EXPECT_EQ(State.InUpdateMode, 1) << row.Name;
        EXPECT_EQ(Sim.Console, "") << row.Name;
    }
}

TEST_F(ModeControlTest, UnlockStepFailureStopsBeforeTheSwitch) {
    const struct {
        int BufferId;
        uint8_t Key, Asc;
        int Step;
        size_t Commands;
    } rows[] = {
        {0xE0, 0x05, 0x20, 0, 1},  // a refusal other than 05/24/00
        {0xE1, 0x05, 0x26, 1, 2},
        {0xE2, 0x02, 0x04, 2, 3},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = Target();
        VirtualDriveFault fault = CheckConditionOn(-1, row.Key, row.Asc, 0);
        fault.BufferId = row.BufferId;
        drive.Faults.push_back(fault);
        EXPECT_EQ(UnlockUpdateMode(), 2) << row.Step;
        EXPECT_EQ(Sim.Console, "\nError occurred at step " + std::to_string(row.Step) + ".");
        EXPECT_EQ(Sim.Trace.size(), row.Commands);
        EXPECT_EQ(drive.Mode, VirtualDriveMode::Normal);
    }
}

TEST_F(ModeControlTest, WrongResponseIsRefusedAtStepOne) {
    VirtualDrive& drive = Target();
    drive.RequiresUnlock = true;
    State.Selection.ModeSwitchValue ^= 0x100;
    EXPECT_EQ(UnlockUpdateMode(), 2);
    EXPECT_EQ(Sim.Console, "\nError occurred at step 1.");
    EXPECT_FALSE(drive.Unlocked);
}

TEST_F(ModeControlTest, UnlockReportsAFailedSwitchAndAFailedIdentityRead) {
    VirtualDrive& drive = Target();
    drive.RequiresUnlock = true;
    SetEdition("COMPO   ");  // a block the drive does not accept
    EXPECT_EQ(UnlockUpdateMode(), 2);
    EXPECT_EQ(Sim.Console, "\nFailed to move to the kernel mode.");
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{100}));
    EXPECT_EQ(State.InUpdateMode, 0);

    ResetSim();
    State.TargetCount = 0;
    VirtualDrive& other = Target();
    other.Faults.push_back(CheckConditionOn(0x12, 0x02, 0x04, 0x01));
    EXPECT_EQ(UnlockUpdateMode(), -1);
    EXPECT_EQ(Sim.Console, "\nFailed to execute Inquiry Command.");
    EXPECT_EQ(State.InUpdateMode, 0);
}

TEST_F(ModeControlTest, UnlockLeavesTheFlagWithoutTheKernelIdentity) {
    VirtualDrive& drive = Target();
    drive.KernelRevision = "0001";
    EXPECT_EQ(UnlockUpdateMode(), 0);
    EXPECT_EQ(State.InUpdateMode, 0);
}

}  // namespace
