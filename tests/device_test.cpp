// The device floor on both transports of the simulated PC: the command executor, the commands
// whose time-outs depend on the device, the region check and the media-notification hold, and
// mode control (the switches, the lenient cases and the unlock exchange).
#include <cstring>
#include <string>
#include <vector>

#include "base/update_definition.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device/mode_control.h"
#include "device_test_support.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "legacy_test_support.h"
#include "run/run_driver.h"
#include "update/legacy_generation.h"

namespace {

class ExecutorTest : public DeviceTest {};

TEST_F(ExecutorTest, IndexOutsideTheListReachesNoDevice) {
    AddAspiTarget(0, 0);
    State.TargetList[1] = State.TargetList[0];  // a stale entry past the end
    CommandRequest request = {};
    request.CdbLength = 6;
    for (int target : {1, -1}) {
        request.Target = target;
        EXPECT_EQ(ExecuteCommand(request), -1) << target;
    }
    EXPECT_TRUE(Sim.Trace.empty());
}

// ---- SPTI ---------------------------------------------------------------------------------

TEST_F(ExecutorTest, SptiBlockCarriesTheRequest) {
    VirtualDrive& drive = AddSptiTarget('F');
    drive.Place.PathId = 2;
    drive.Place.ScsiTargetId = 3;
    drive.Place.Lun = 1;
    uint8_t data[96] = {};
    ASSERT_EQ(Inquiry(0, data), 0);
    const uint8_t* block = State.PassThroughBlock;
    // Length 44, status, PathId, TargetId, Lun, CdbLength, sense length, DataIn
    EXPECT_EQ(Bytes(block, block + 9), Hex("2C 00 00 02 03 01 06 00 01"));
    EXPECT_EQ(GetLe32(block + 12), 96u);
    EXPECT_EQ(GetLe32(block + 16), 5u);   // seconds
    EXPECT_EQ(GetLe32(block + 24), 48u);  // SenseInfoOffset
    EXPECT_EQ(Bytes(block + 28, block + 34), Hex("12 00 00 00 60 00"));
    EXPECT_EQ(std::memcmp(data + 8, "KESTREL DVD-RW  QXR-930D1.20", 28), 0);
}

TEST_F(ExecutorTest, CheckConditionGivesTwoButAFailedCallIsNeverSuccess) {
    VirtualDrive& drive = AddSptiTarget('D');
    drive.Mode = VirtualDriveMode::Kernel;
    drive.Faults.push_back(CheckConditionOn(0x3B, 0x85, 0x24, 0x01));
    VirtualDriveFault lost;
    lost.Opcode = 0x3B;
    lost.Effect = VirtualFaultEffect::CallFailsLate;
    drive.Faults.push_back(lost);
    uint8_t chunk[0x100] = {};
    EXPECT_EQ(WriteKernelChunk(0, sizeof chunk, chunk), 2);
    EXPECT_EQ(State.SenseBuffer[12], 0x24);
    CaptureSense();
    EXPECT_EQ(State.SenseCode, 0x852401u);  // sense byte 2 taken whole
    // A zero status byte in the block, but the call failed; the old sense is not this one's.
    EXPECT_EQ(WriteKernelChunk(0x100, sizeof chunk, chunk), -1);
    CaptureSense();
    EXPECT_EQ(State.SenseCode, 0u);
}

TEST_F(ExecutorTest, DeviceThatDoesNotOpenGivesMinusTwo) {
    // Letter (nothing at K:), open error, capability error, -result, error kept, denied.
    const uint32_t rows[][6] = {{'K', 0, 0, 2, ERROR_FILE_NOT_FOUND, 0},
                                {'D', ERROR_ACCESS_DENIED, 0, 2, ERROR_ACCESS_DENIED, 1},
                                {'D', 0, ERROR_GEN_FAILURE, 2, ERROR_GEN_FAILURE, 0},
                                {'D', 0, ERROR_INVALID_FUNCTION, 0, 0, 0},
                                {'D', 0, ERROR_NOT_SUPPORTED, 0, 0, 0}};
    for (const auto& [letter, openError, capabilitiesError, result, kept, denied] : rows) {
        Restart();
        State.DeviceOpenError = State.DeviceAccessDenied = 0;
        VirtualDrive& drive = AddSptiTarget('D');
        drive.Disc = VirtualDisc::Loaded;
        drive.Place.OpenError = openError;
        drive.Place.CapabilitiesError = capabilitiesError;
        State.TargetList[0].DriveLetter = static_cast<char>(letter);
        EXPECT_EQ(TestUnitReady(0), -static_cast<int>(result)) << openError << capabilitiesError;
        EXPECT_EQ(State.DeviceOpenError, kept);
        EXPECT_EQ(State.DeviceAccessDenied, static_cast<int32_t>(denied)) << kept;
        EXPECT_EQ(Sim.Trace.empty(), result != 0) << kept;
    }
}

TEST_F(ExecutorTest, AspiEventWaitLimits) {
    // Time-out, edition class, result, clock.
    const int rows[][4] = {
        {1000, 0, -2, 1000}, {0, 0, 0, 3000}, {1000, 0x300, 0, 3000}, {5000, 0, 0, 3000}};
    for (const auto& [timeoutMs, editionClass, result, clockMs] : rows) {
        Restart();
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.CommandTimeout = static_cast<uint32_t>(timeoutMs);
        State.EditionClass = editionClass;
        EXPECT_EQ(TestUnitReady(0), result) << timeoutMs;
        EXPECT_EQ(Sim.ClockMs, static_cast<uint32_t>(clockMs)) << timeoutMs;
        if (result != 0) {  // given up: aborted, so the slot is used again
            EXPECT_EQ(State.AspiSrbSlot, 0);
            SimAdvanceClock(3000);
            EXPECT_EQ(State.AspiRequestBlock[1], 0x02);  // SS_ABORTED, and nothing written later
        }
    }
}

TEST_F(ExecutorTest, PollingPathGivesUpAfterTheFortyFirstSleep) {
    // Complete when examined after the 40th sleep; after the 41st, which is not examined; no
    // limit: until the status changes.
    const uint32_t rows[][4] = {{20000, 19800, 0, 40}, {20000, 20200, 1, 41}, {0, 65000, 0, 130}};
    for (const auto& [timeoutMs, commandMs, failed, sleeps] : rows) {
        Restart();
        VirtualDrive& drive = AddAspiTarget(2, 0);
        drive.Mode = VirtualDriveMode::Kernel;
        drive.CommandMs = commandMs;
        State.Ieee1394Marker = 2;
        State.CommandTimeout = timeoutMs;
        uint8_t chunk[32] = {};
        EXPECT_EQ(WriteBuffer(0, 7, 0xF0, 0, sizeof chunk, chunk), failed ? -1 : 0) << commandMs;
        EXPECT_EQ(Sim.Sleeps, std::vector<uint32_t>(sleeps, 500)) << commandMs;
        EXPECT_EQ(State.AspiRequestBlock[3], 0x10);  // data out, no event
        EXPECT_TRUE(Sim.Events.empty());
    }
}

TEST_F(ExecutorTest, PollingPathIsChosenForWriteBufferOnly) {
    // Kind, marker, mode, polled: the kind's commit, not its other WRITE BUFFERs; anything on
    // the IEEE 1394 adapter.
    const int rows[][4] = {{0x1003, -1, 5, 1},
                           {0x1003, -1, 7, 0},
                           {0x100D, -1, 5, 0},
                           {0x100D, 0, 7, 1},
                           {0x100D, 1, 7, 0}};
    for (const auto& [kind, marker, mode, polled] : rows) {
        Restart();
        AddAspiTarget(0, 0).Mode = VirtualDriveMode::Kernel;
        State.CurrentKind = kind;
        State.Ieee1394Marker = marker;
        uint8_t data[256] = {};
        WriteBuffer(0, mode, 0xFF, 0, sizeof data, data);
        EXPECT_EQ(Sim.EventsCreated == 0, polled == 1) << std::hex << kind << mode;
    }
    uint8_t page[48];
    State.Ieee1394Marker = 0;
    ReadBuffer(0, 2, 0xF1, 0, 48, page);  // never polled
    EXPECT_EQ(Sim.EventsCreated, 2u);
}

TEST_F(ExecutorTest, IntelNotReadyCountsAsSuccessExceptForTestUnitReady) {
    // Opcode, sense key (taken whole: 82h is not NOT READY), Intel host, result.
    const int rows[][4] = {{0x3B, 0x02, 1, 0},
                           {0x3B, 0x02, 0, -1},
                           {0x00, 0x02, 1, -1},
                           {0x3B, 0x82, 1, -1},
                           {0x3B, 0x06, 1, -1}};
    for (const auto& [opcode, key, intel, result] : rows) {
        Restart();
        AddAspiTarget(0, 0).Faults.push_back(
            CheckConditionOn(opcode, static_cast<uint8_t>(key), 0x04, 0x01));
        State.IntelAtaDriver = intel;
        EXPECT_EQ(opcode == 0 ? TestUnitReady(0) : SendPreUpdateCommand(), result) << opcode << key;
        EXPECT_EQ(State.SenseCode, static_cast<uint32_t>(key << 16 | 0x0401));  // packed already
    }
}

uint8_t Buf[0x10000];

class CommandSetTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        AddSptiTarget('D').Disc = VirtualDisc::Loaded;
        drive = &AddSptiTarget('E');
        drive->Disc = VirtualDisc::Loaded;
        State.SelectedTarget = 1;
    }
    VirtualDrive* drive = nullptr;
};

TEST_F(CommandSetTest, InquiryTimeOutFollowsTheMarkerAtTheMomentOfTheCall) {
    drive->Place.OnIeee1394 = true;
    State.CommandTimeout = 9000;
    for (uint32_t timeoutMs : {5000, 1000}) {  // the marker is only noted at the first open
        Inquiry(1, Buf);
        EXPECT_EQ(Sim.Trace.back().TimeoutMs, timeoutMs);
    }
}

TEST_F(CommandSetTest, CommitOnADeviceWithoutAddressGetsTheDriverLimit) {
    drive->Place.OnIeee1394 = true;
    State.CommandTimeout = 3000;
    TestUnitReady(1);  // notes the marker
    ASSERT_EQ(State.Ieee1394Marker, 1);
    for (int mode : {5, 4, 7}) {
        WriteBuffer(1, mode, 0xFF, 0, 256, Buf);
        EXPECT_EQ(Sim.Trace.back().TimeoutMs, mode == 5 ? 60000u : 3000u) << mode;
    }
    // A device with an address keeps CommandTimeout for its commit.
    State.SelectedTarget = 0;
    WriteBuffer(0, 5, 0xFF, 0, 256, Buf);
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 3000u);
}

TEST_F(CommandSetTest, RegionControlStateByScheme) {
    // RPC scheme, REPORT KEY refused, result: the drive must use scheme 1.
    const int rows[][3] = {{1, 0, 0}, {0, 0, -1}, {2, 0, -1}, {1, 1, 2}};
    for (const auto& [scheme, refused, result] : rows) {
        drive->RpcScheme = static_cast<uint8_t>(scheme);
        drive->Faults.clear();
        if (refused) drive->Faults.push_back(CheckConditionOn(0xA4, 0x05, 0x20, 0));
        EXPECT_EQ(CheckRegionControlState(), result) << scheme;
        EXPECT_EQ(CdbOf(Sim.Trace.back()), Hex("A4 00 00 00 00 00 00 00 00 08 08 00"));
        EXPECT_EQ(Sim.Trace.back().Letter, 'E');
    }
}

// ---- media-notification control -----------------------------------------------------------

TEST_F(CommandSetTest, MediaNotificationHoldsASecondHandle) {
    State.Notifications.Letters[0] = 'D';
    State.Notifications.Letters[1] = 'E';
    State.Notifications.Letters[2] = 'Q';  // gone by now
    State.Notifications.Filled = 3;
    for (int slot = 0; slot < 3; ++slot) {
        State.Notifications.Current = slot;
        EXPECT_EQ(BeginMediaNotificationControl(), slot < 2 ? 1 : 0) << slot;
    }
    EXPECT_EQ(State.MediaNotificationError, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Sim.DeviceHandles.size(), 2u);
    EXPECT_EQ(Sim.DeviceHandles[1].Letter, 'E');
    EXPECT_EQ(Sim.DeviceHandles[1].Access, 0u);  // neither read nor write
    for (int slot = 0; slot < 3; ++slot) {
        State.Notifications.Current = slot;
        EndMediaNotificationControl();
    }
    EXPECT_EQ(Sim.MediaNotificationValues, Hex("01 01 00 00"));
    EXPECT_EQ(Sim.DevicesOpen, 2);  // held until the process ends

    State.UsesAspi = 1;  // on ASPI nothing happens
    State.Notifications.Current = 0;
    EXPECT_EQ(BeginMediaNotificationControl(), 0);
    EndMediaNotificationControl();
    EXPECT_EQ(Sim.DeviceHandles.size(), 2u);
    EXPECT_EQ(Sim.MediaNotificationValues.size(), 4u);
}

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

// ---- the ASPI transport as Windows 98 runs it: the Intel ATA driver's NOT READY after a
// flash the drive carried out, a layer that signals its events late, and a request block that
// the layer may still write into when the run ends.

using namespace legacy_test;

bool ConsoleEndsWith(const std::string& tail) {
    const std::string& console = Sim.Console;
    return console.size() >= tail.size() &&
           console.compare(console.size() - tail.size(), std::string::npos, tail) == 0;
}

// Windows 98 with one drive at adapter 0, target 0, probed and enumerated as a run would.
VirtualDrive& StartWindows98(const char* adapterName) {
    ResetSim();
    ResetRunState();
    SimUseWindows98();
    SimAddAdapter(adapterName);
    VirtualDrive& drive = SimAttachAspiDrive(0, 0);
    FillUpdateDefinition();
    ProbeHost();
    return drive;
}

using IntelFlashTest = LegacyDriveTest;

TEST_F(IntelFlashTest, NotReadyFromTheIntelDriverIsAFlashTheDriveCarriedOut) {
    const struct {
        const char* name;
        bool intel;
        int key;  // the drive's own answer to the flash command; -1: it carries it out
        uint8_t asc;
        int result;
        std::string tail;
        uint32_t senseCode;  // what the last failed command left
        bool flashed;
    } cases[] = {
        {"Intel driver, drive busy re-flashing", true, -1, 0, 0,
         "\nSuccess to update the firmware.", 0x020401, true},
        {"Intel driver, flash refused", true, 0x05, 0x26, -1, "\r\nFailed to update FW.", 0x052600,
         false},
        {"Intel driver, hardware error", true, 0x04, 0x44, -1, "\r\nFailed to update FW.", 0x044400,
         false},
        // NOT READY counts as success only behind the Intel driver.
        {"SCSI adapter, drive not ready", false, 0x02, 0x04, -1, "\r\nFailed to update FW.",
         0x020400, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDrive& drive = AddDrive(true, 9);
        if (c.intel) Sim.Adapters[0].Name = "intelata";
        State.IntelAtaDriver = c.intel ? 1 : 0;
        const std::vector<uint8_t> image = Package(9);
        if (c.key >= 0) {
            VirtualDriveFault fault = CheckConditionOn(0x3B, static_cast<uint8_t>(c.key), c.asc, 0);
            fault.BufferId = 0x42;
            drive.Faults.push_back(fault);
        }
        EXPECT_EQ(UpdateLegacyGeneration(), c.result);
        EXPECT_TRUE(ConsoleEndsWith(c.tail)) << Sim.Console;
        EXPECT_EQ(State.SenseCode, c.senseCode);
        EXPECT_EQ(drive.Legacy.FlashCount, c.flashed ? 1u : 0u);
        EXPECT_EQ(drive.Revision, c.flashed ? "1.07" : "1.05");
    }
}

// A closed event's handle value goes to the next event. A late signal of a request whose
// event was closed too early then ends the next command's wait before that command is done.
class AspiEventTest : public DeviceTest {};

TEST_F(AspiEventTest, TimedCommandSignalledLateNeverEndsTheNextWait) {
    // The layer writes the status first and signals later: within the poll's grace, or after.
    for (uint32_t delay : {200u, 5000u}) {
        SCOPED_TRACE(delay);
        Restart();
        Sim.AspiSignalDelayMs = delay;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.TimedTransferActive = 1;
        ASSERT_EQ(TestUnitReady(0), 0);
        SimAdvanceClock(3000);
        EXPECT_EQ(PollPendingCommand(), 0);
        drive.CommandMs = 8000;
        State.CommandTimeout = 0;
        const uint32_t start = Sim.ClockMs;
        EXPECT_EQ(TestUnitReady(0), 0);
        EXPECT_EQ(Sim.ClockMs - start, 8000u + delay);
    }
}

TEST_F(AspiEventTest, TimedOutCommandIsAbortedBeforeItsEventIsClosed) {
    // Whether the layer honours the abort; the slot in use afterwards; events left open.
    const struct {
        bool ignoresAbort;
        int slot;
        int eventsOpen;
    } cases[] = {{false, 0, 0}, {true, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ignoresAbort);
        Restart();
        Sim.AspiIgnoresAbort = c.ignoresAbort;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.CommandTimeout = 1000;
        ASSERT_EQ(TestUnitReady(0), -2);
        EXPECT_EQ(State.AspiSrbSlot, c.slot);
        int open = 0;
        for (const SimEvent& event : Sim.Events) open += event.Open;
        EXPECT_EQ(open, c.eventsOpen);
        // The abandoned request ends while the next command runs: that command waits for its own.
        drive.CommandMs = 5000;
        State.CommandTimeout = 0;
        const uint32_t start = Sim.ClockMs;
        EXPECT_EQ(TestUnitReady(0), 0);
        EXPECT_EQ(Sim.ClockMs - start, 5000u);
    }
}

// The end of the run must not give back storage the layer may still write into, while a
// command is outstanding or a slot was retired after a failed abort: the request block and
// the blocks that hold commands' data stay.
TEST_F(SimTest, ReleaseKeepsTheBlocksWhileTheLayerMayWriteIntoThem) {
    enum Outstanding { Nothing, TimedCommand, RetiredSlot };
    const struct {
        const char* name;
        Outstanding outstanding;
        int blocksKept;
    } cases[] = {
        {"nothing outstanding", Nothing, 0},
        {"timed command still running", TimedCommand, 4},
        {"slot retired after a failed abort", RetiredSlot, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDrive& drive = StartWindows98("SCSI ADAPTER");
        ASSERT_EQ(EnumerateTargets(), 1);
        drive.CommandMs = c.outstanding == Nothing ? 0 : 60000;
        uint8_t* const page = State.WorkBuffer;
        if (c.outstanding == TimedCommand) {
            State.TimedTransferActive = 1;
            ASSERT_EQ(Inquiry(0, page), 0);
            ASSERT_EQ(PollPendingCommand(), 1);
        } else if (c.outstanding == RetiredSlot) {
            Sim.AspiIgnoresAbort = true;
            ASSERT_EQ(Inquiry(0, page), -2);
        } else {
            ASSERT_EQ(Inquiry(0, page), 0);
        }
        uint8_t* const blocks[] = {State.WorkBuffer, State.AspiRequestBlock, State.ImageBuffer,
                                   State.CommandData};
        ReleaseRun();
        ASSERT_EQ(Sim.HeldBlocks.size(), size_t(c.blocksKept));
        SimAdvanceClock(60000);  // the layer ends what it still had, in storage still there
        if (c.blocksKept != 0) {
            EXPECT_EQ(page[8], 'K');                                 // the INQUIRY data arrived
            for (uint8_t* block : blocks) PlatformFreeBlock(block);  // as the process's end would
        }
    }
}

}  // namespace
