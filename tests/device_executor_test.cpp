// The command executor on both transports of the simulated PC.
#include <cstring>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const uint8_t* at) {
    return at[0] | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

CommandRequest TestUnitReadyRequest(int target, int32_t timeout) {
    CommandRequest request;
    std::memset(&request, 0, sizeof request);
    request.Target = target;
    request.CdbLength = 6;
    request.Timeout = timeout;
    return request;
}

class ExecutorTest : public DeviceTest {};

// ---- the index check ----------------------------------------------------------------------

TEST_F(ExecutorTest, IndexAtOrPastTheListReachesNoDevice) {
    AddSptiTarget('D');
    for (int target : {1, 2, -1, 300}) {
        EXPECT_EQ(ExecuteCommand(TestUnitReadyRequest(target, 1000)), -1) << target;
    }
    State.TargetCount = 0;  // before enumeration every request is refused
    EXPECT_EQ(ExecuteCommand(TestUnitReadyRequest(0, 1000)), -1);
    EXPECT_TRUE(Sim.DeviceHandles.empty());
    EXPECT_TRUE(Sim.Trace.empty());

    State.UsesAspi = 1;
    EXPECT_EQ(ExecuteCommand(TestUnitReadyRequest(0, 1000)), -1);
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
    EXPECT_EQ(block[0] | block[1] << 8, 44);
    EXPECT_EQ(block[3], 2);            // PathId
    EXPECT_EQ(block[4], 3);            // TargetId
    EXPECT_EQ(block[5], 1);            // Lun
    EXPECT_EQ(block[6], 6);            // CdbLength
    EXPECT_EQ(block[8], 1);            // DataIn: SCSI_IOCTL_DATA_IN
    EXPECT_EQ(Le32(block + 16), 5u);   // 5000 ms
    EXPECT_EQ(Le32(block + 20), 0u);   // the data pointer travels beside the block
    EXPECT_EQ(Le32(block + 24), 48u);  // SenseInfoOffset
    EXPECT_EQ(Bytes(block + 28, block + 34), (Bytes{0x12, 0, 0, 0, 0x60, 0}));
    EXPECT_EQ(std::memcmp(data + 8, "KESTREL DVD-RW  QXR-930D1.20", 28), 0);

    ASSERT_EQ(Sim.Trace.size(), 1u);
    EXPECT_EQ(Sim.Trace[0].Letter, 'F');
    EXPECT_EQ(Sim.Trace[0].Direction, 1);
    EXPECT_EQ(Sim.Trace[0].Length, 96u);
}

TEST_F(ExecutorTest, SptiTimeOutIsWholeSecondsAndZeroIsSixty) {
    AddSptiTarget('D').Disc = VirtualDisc::Loaded;
    const struct {
        uint32_t TimeoutMs;
        uint32_t Seconds;
    } rows[] = {{0, 60}, {20000, 20}, {1500, 1}, {999, 0}, {180000, 180}};
    for (const auto& row : rows) {
        State.CommandTimeout = row.TimeoutMs;
        ASSERT_EQ(TestUnitReady(0), 0);
        EXPECT_EQ(Le32(State.PassThroughBlock + 16), row.Seconds) << row.TimeoutMs;
        EXPECT_EQ(Sim.Trace.back().TimeoutMs, row.Seconds * 1000) << row.TimeoutMs;
    }
}

TEST_F(ExecutorTest, SptiDirectionsMapToDataIn) {
    AddSptiTarget('D').Mode = VirtualDriveMode::Kernel;
    uint8_t chunk[16] = {};
    const struct {
        int Length;
        uint8_t DataIn;
        int Traced;
    } rows[] = {{16, 0, 2}, {0, 2, 0}};  // data out; no data
    for (const auto& row : rows) {
        WriteNormalChunk(0, static_cast<uint32_t>(row.Length), chunk);
        EXPECT_EQ(State.PassThroughBlock[8], row.DataIn);
        EXPECT_EQ(Sim.Trace.back().Direction, row.Traced);
    }
}

TEST_F(ExecutorTest, SptiCheckConditionGivesTwoWithTheSense) {
    AddSptiTarget('D');  // no disc: 02/3A/00
    EXPECT_EQ(TestUnitReady(0), 2);
    EXPECT_EQ(State.SenseBuffer[2], 0x02);
    EXPECT_EQ(State.SenseBuffer[12], 0x3A);
    CaptureSense();
    EXPECT_EQ(State.SenseCode, 0x023A00u);
}

TEST_F(ExecutorTest, SenseByteTwoIsPackedWhole) {
    AddSptiTarget('D').Faults.push_back(CheckConditionOn(0x00, 0x82, 0x3A, 0x01));
    EXPECT_EQ(TestUnitReady(0), 2);
    CaptureSense();
    EXPECT_EQ(State.SenseCode, 0x823A01u);
}

TEST_F(ExecutorTest, FailedPassThroughCallIsNeverSuccess) {
    VirtualDrive& drive = AddSptiTarget('D');
    drive.Mode = VirtualDriveMode::Kernel;
    drive.Faults.push_back(CheckConditionOn(0x3B, 0x05, 0x24, 0x00));
    VirtualDriveFault lost;
    lost.Opcode = 0x3B;
    lost.Effect = VirtualFaultEffect::CallFailsLate;
    drive.Faults.push_back(lost);

    uint8_t chunk[0x100] = {};
    EXPECT_EQ(WriteKernelChunk(0, sizeof chunk, chunk), 2);  // leaves 05/24/00 behind
    // The call fails with a zero status byte in the block: still a failure, and the sense of
    // the earlier command is not passed off as this one's.
    EXPECT_EQ(WriteKernelChunk(0x100, sizeof chunk, chunk), -1);
    CaptureSense();
    EXPECT_EQ(State.SenseCode, 0u);
    EXPECT_EQ(Sim.Trace.back().Status, SimCallFailed);
}

TEST_F(ExecutorTest, SptiTimeOutAtTheDriverIsAFailure) {
    VirtualDrive& drive = AddSptiTarget('D');
    drive.Disc = VirtualDisc::Loaded;
    drive.CommandMs = 3000;
    State.CommandTimeout = 2000;
    EXPECT_EQ(TestUnitReady(0), -1);
}

TEST_F(ExecutorTest, DeviceThatDoesNotOpenGivesMinusTwo) {
    State.TargetList[0].DriveLetter = 'K';  // nothing at K:
    State.TargetCount = 1;
    EXPECT_EQ(TestUnitReady(0), -2);
    EXPECT_EQ(State.DeviceOpenError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(State.DeviceAccessDenied, 0);
    EXPECT_TRUE(Sim.Trace.empty());
}

TEST_F(ExecutorTest, OpenRefusedForLackOfPrivilegeIsRemembered) {
    AddSptiTarget('D').Place.OpenError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(TestUnitReady(0), -2);
    EXPECT_EQ(State.DeviceOpenError, ERROR_ACCESS_DENIED);
    EXPECT_EQ(State.DeviceAccessDenied, 1);
}

TEST_F(ExecutorTest, CapabilityQueryErrors) {
    const struct {
        uint32_t Error;
        int Result;
    } rows[] = {{ERROR_INVALID_FUNCTION, 0}, {ERROR_NOT_SUPPORTED, 0}, {ERROR_GEN_FAILURE, -2}};
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddSptiTarget('D');
        drive.Disc = VirtualDisc::Loaded;
        drive.Place.CapabilitiesError = row.Error;
        EXPECT_EQ(TestUnitReady(0), row.Result) << row.Error;
    }
    EXPECT_EQ(State.DeviceOpenError, ERROR_GEN_FAILURE);
}

TEST_F(ExecutorTest, DeviceWithoutScsiAddressMarksTheSelectedTarget) {
    AddSptiTarget('D').Disc = VirtualDisc::Loaded;
    VirtualDrive& onBus = AddSptiTarget('E');
    onBus.Disc = VirtualDisc::Loaded;
    onBus.Place.OnIeee1394 = true;
    onBus.Place.PathId = 7;
    State.SelectedTarget = 1;

    ASSERT_EQ(TestUnitReady(1), 0);
    EXPECT_EQ(State.Ieee1394Marker, 1);
    EXPECT_EQ(State.PassThroughBlock[3], 0);  // zero address

    ASSERT_EQ(TestUnitReady(0), 0);  // every open starts again from "none"
    EXPECT_EQ(State.Ieee1394Marker, -1);
}

TEST_F(ExecutorTest, AtMostOneDeviceHandleIsHeld) {
    AddSptiTarget('D').Disc = VirtualDisc::Loaded;
    AddSptiTarget('E').Disc = VirtualDisc::Loaded;
    for (int i = 0; i < 5; ++i) TestUnitReady(i % 2);
    EXPECT_EQ(Sim.DevicesOpen, 1);
    EXPECT_EQ(CloseDriveDevice(), 0);
    EXPECT_EQ(Sim.DevicesOpen, 0);
}

// ---- ASPI ---------------------------------------------------------------------------------

TEST_F(ExecutorTest, AspiSrbCarriesTheRequest) {
    AddAspiTarget(1, 4);
    uint8_t data[96] = {};
    ASSERT_EQ(Inquiry(0, data), 0);
    const uint8_t* srb = State.AspiRequestBlock;
    EXPECT_EQ(srb[0], 2);     // SC_EXEC_SCSI_CMD
    EXPECT_EQ(srb[1], 1);     // SS_COMP
    EXPECT_EQ(srb[2], 1);     // HaId
    EXPECT_EQ(srb[3], 0x48);  // event notification, data in
    EXPECT_EQ(srb[8], 4);     // target
    EXPECT_EQ(srb[9], 0);     // LUN
    EXPECT_EQ(Le32(srb + 12), 96u);
    EXPECT_EQ(srb[20], 18);  // SenseLen
    EXPECT_EQ(srb[21], 6);   // CDBLen
    EXPECT_EQ(Bytes(srb + 48, srb + 54), (Bytes{0x12, 0, 0, 0, 0x60, 0}));
    EXPECT_EQ(std::memcmp(data + 8, "KESTREL ", 8), 0);
    EXPECT_TRUE(Sim.Events.size() == 1 && !Sim.Events[0].Open);  // the event lives one command
}

TEST_F(ExecutorTest, AspiEventFlagsByDirection) {
    VirtualDrive& drive = AddAspiTarget(0, 0);
    drive.Disc = VirtualDisc::Loaded;
    uint8_t page[48] = {};
    ASSERT_EQ(TestUnitReady(0), 0);
    EXPECT_EQ(State.AspiRequestBlock[3], 0x40);
    ASSERT_EQ(SendPreUpdateCommand(), 0);
    EXPECT_EQ(State.AspiRequestBlock[3], 0x50);
    ASSERT_EQ(ReadBuffer(0, 2, 0xF1, 0, 48, page), 0);
    EXPECT_EQ(State.AspiRequestBlock[3], 0x48);
}

TEST_F(ExecutorTest, AspiFailureCopiesEighteenSenseBytes) {
    AddAspiTarget(0, 1).Faults.push_back(CheckConditionOn(0x00, 0x82, 0x3A, 0x01));
    EXPECT_EQ(TestUnitReady(0), -1);
    EXPECT_EQ(State.SenseBuffer[0], 0x70);
    EXPECT_EQ(State.SenseBuffer[7], 10);
    EXPECT_EQ(State.SenseCode, 0x823A01u);  // packed by the executor already
}

TEST_F(ExecutorTest, AspiEventWaitLimits) {
    const struct {
        uint32_t TimeoutMs;
        int32_t EditionClass;
        int Result;
        uint32_t ClockMs;
    } rows[] = {
        {1000, 0, -2, 1000},     // given up at the time-out
        {0, 0, 0, 3000},         // no limit
        {1000, 0x300, 0, 3000},  // the SCSI general edition waits without limit
        {5000, 0, 0, 3000},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Disc = VirtualDisc::Loaded;
        drive.CommandMs = 3000;
        State.CommandTimeout = row.TimeoutMs;
        State.EditionClass = row.EditionClass;
        EXPECT_EQ(TestUnitReady(0), row.Result) << row.TimeoutMs;
        EXPECT_EQ(Sim.ClockMs, row.ClockMs) << row.TimeoutMs;
        EXPECT_EQ(Sim.HungWaits, 0u);
    }
}

TEST_F(ExecutorTest, AbandonedEventCommandIsAbortedBeforeTheBlockIsReused) {
    VirtualDrive& drive = AddAspiTarget(0, 0);
    drive.Disc = VirtualDisc::Loaded;
    drive.CommandMs = 3000;
    State.CommandTimeout = 1000;
    ASSERT_EQ(TestUnitReady(0), -2);
    for (const SimPendingAspi& pending : Sim.PendingAspi) EXPECT_TRUE(pending.Done);
    EXPECT_EQ(State.AspiRequestBlock[1], 0x02);  // SS_ABORTED
    EXPECT_EQ(State.AspiSrbSlot, 0);

    drive.CommandMs = 0;
    EXPECT_EQ(TestUnitReady(0), 0);
}

TEST_F(ExecutorTest, CommandThatCannotBeAbortedGivesUpItsStorage) {
    Sim.AspiIgnoresAbort = true;
    VirtualDrive& drive = AddAspiTarget(0, 0);
    drive.Disc = VirtualDisc::Loaded;
    drive.Mode = VirtualDriveMode::Kernel;
    drive.CommandMs = 30000;
    State.Ieee1394Marker = 0;  // WRITE BUFFER on the IEEE 1394 adapter is polled
    uint8_t chunk[64] = {};
    ASSERT_EQ(WriteKernelChunk(0, sizeof chunk, chunk), -1);
    ASSERT_EQ(Sim.PendingAspi.size(), 1u);
    EXPECT_FALSE(Sim.PendingAspi[0].Done);
    EXPECT_EQ(Sim.Sleeps.size(), 41u + 10u);  // the poll, then the brief wait for the abort
    EXPECT_EQ(State.AspiSrbSlot, 1);

    // The next command is prepared elsewhere; the late completion of the abandoned one
    // lands in the retired slot and does not touch it.
    drive.CommandMs = 0;
    drive.Faults.push_back(CheckConditionOn(0x00, 0x02, 0x04, 0x01));
    State.CommandTimeout = 0;
    EXPECT_EQ(TestUnitReady(0), -1);
    EXPECT_EQ(State.SenseCode, 0x020401u);
    SimAdvanceClock(30000);
    EXPECT_TRUE(Sim.PendingAspi.empty());
    EXPECT_EQ(State.AspiRequestBlock[1], 1);        // the retired slot took the completion
    EXPECT_EQ(State.AspiRequestBlock[128 + 1], 4);  // the live slot kept its SS_ERR
}

TEST_F(ExecutorTest, ImmediateRejectionDoesNotWaitForAnEvent) {
    State.UsesAspi = 1;
    SimAddAdapter("SCSI ADAPTER    ");
    State.TargetList[0].HostAdapter = 0;
    State.TargetList[0].TargetId = 5;  // no drive there: SS_NO_DEVICE at once
    State.TargetCount = 1;
    EXPECT_EQ(TestUnitReady(0), -1);
    EXPECT_EQ(Sim.HungWaits, 0u);
}

TEST_F(ExecutorTest, PollingPathGivesUpAfterTheFortyFirstSleep) {
    const struct {
        uint32_t CommandMs;
        int Result;
        size_t Sleeps;
    } rows[] = {
        {19800, 0, 40},   // complete when examined after the 40th sleep
        {20200, -1, 41},  // complete after the 41st, but that one is not examined
        {700, 0, 2},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddAspiTarget(2, 0);
        drive.Mode = VirtualDriveMode::Kernel;
        drive.CommandMs = row.CommandMs;
        State.Ieee1394Marker = 2;
        uint8_t chunk[32] = {};
        EXPECT_EQ(WriteNormalChunk(0, sizeof chunk, chunk), row.Result) << row.CommandMs;
        EXPECT_EQ(Sim.Sleeps, std::vector<uint32_t>(row.Sleeps, 500)) << row.CommandMs;
        EXPECT_EQ(State.AspiRequestBlock[3], 0x10);  // data out, no event
        EXPECT_TRUE(Sim.Events.empty());
    }
}

TEST_F(ExecutorTest, PollingPathIsChosenForWriteBufferOnly) {
    const struct {
        int32_t Kind;
        int32_t Marker;
        bool Commit;  // mode 5 rather than mode 7
        bool Polled;
    } rows[] = {
        {0x1003, -1, true, true},                              // the kind's commit
        {0x1003, -1, false, false},                            // the kind's other WRITE BUFFERs
        {0x100D, -1, true, false},  {0x100D, 0, false, true},  // anything on the IEEE 1394 adapter
        {0x100D, 1, false, false},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Mode = VirtualDriveMode::Kernel;
        State.CurrentKind = row.Kind;
        State.Ieee1394Marker = row.Marker;
        uint8_t data[256] = {};
        WriteBuffer(0, row.Commit ? 5 : 7, 0xFF, 0, sizeof data, data);
        EXPECT_EQ(!Sim.Sleeps.empty(), row.Polled) << std::hex << row.Kind << row.Commit;
        EXPECT_EQ(Sim.Events.empty(), row.Polled) << std::hex << row.Kind << row.Commit;
    }
    // READ BUFFER is never polled, even on the IEEE 1394 adapter.
    uint8_t page[48];
    State.Ieee1394Marker = 0;
    ReadBuffer(0, 2, 0xF1, 0, 48, page);
    EXPECT_EQ(Sim.Events.size(), 2u);
}

TEST_F(ExecutorTest, PollingWithoutLimitRunsUntilTheStatusChanges) {
    VirtualDrive& drive = AddAspiTarget(0, 0);
    drive.Mode = VirtualDriveMode::Kernel;
    drive.CommandMs = 65000;
    State.Ieee1394Marker = 0;
    State.CommandTimeout = 0;
    uint8_t chunk[32] = {};
    State.SelectedTarget = 0;
    EXPECT_EQ(WriteBuffer(0, 7, 0xF0, 0, sizeof chunk, chunk), 0);
    EXPECT_EQ(Sim.Sleeps.size(), 130u);
}

TEST_F(ExecutorTest, IntelNotReadyCountsAsSuccessExceptForTestUnitReady) {
    const struct {
        uint8_t Opcode;
        uint8_t Key;
        int32_t Intel;
        int Result;
    } rows[] = {
        {0x3B, 0x02, 1, 0},  {0x3B, 0x02, 0, -1},
        {0x00, 0x02, 1, -1}, {0x3B, 0x82, 1, -1},  // not NOT READY: the whole byte counts
        {0x3B, 0x06, 1, -1},
    };
    for (const auto& row : rows) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddAspiTarget(0, 0);
        drive.Faults.push_back(CheckConditionOn(row.Opcode, row.Key, 0x04, 0x00));
        State.IntelAtaDriver = row.Intel;
        const int result = row.Opcode == 0x00 ? TestUnitReady(0) : SendPreUpdateCommand();
        EXPECT_EQ(result, row.Result) << int(row.Opcode) << " " << int(row.Key);
    }
}

TEST_F(ExecutorTest, TimedTransferReturnsAtOnceAndIsPolledToTheEnd) {
    VirtualDrive& drive = AddAspiTarget(0, 0);
    drive.Disc = VirtualDisc::Loaded;
    drive.CommandMs = 3000;
    State.TimedTransferActive = 1;
    EXPECT_EQ(TestUnitReady(0), 0);
    EXPECT_EQ(Sim.ClockMs, 0u);
    EXPECT_EQ(PollPendingCommand(), 1);
    EXPECT_EQ(State.TimedTransferActive, 0);
    EXPECT_EQ(PollPendingCommand(), 1);
    SimAdvanceClock(3000);
    EXPECT_EQ(PollPendingCommand(), 0);
    EXPECT_FALSE(Sim.Events[0].Open);

    // A command that fails is reported by the poll.
    drive.Faults.push_back(CheckConditionOn(0x00, 0x02, 0x3A, 0x00));
    State.TimedTransferActive = 1;
    EXPECT_EQ(TestUnitReady(0), 0);
    SimAdvanceClock(3000);
    EXPECT_EQ(PollPendingCommand(), -1);
}

TEST_F(ExecutorTest, ProbesUseNoSenseAndWaitWithoutLimit) {
    VirtualDrive& drive = AddAspiTarget(0, 3);
    drive.CommandMs = 10000;
    EXPECT_EQ(ProbeInquiry(0, 3), 0);
    EXPECT_EQ(State.AspiRequestBlock[20], 0);  // SRB_SenseLen
    EXPECT_EQ(State.AspiRequestBlock[3], 0x48);
    EXPECT_EQ(std::memcmp(State.WorkBuffer + 8, "KESTREL ", 8), 0);
    EXPECT_EQ(ProbeVendorPage(0, 3), 0);
    EXPECT_EQ(std::memcmp(State.FirmwareInfoPage + 24, "GENERAL ", 8), 0);
    EXPECT_EQ(Sim.ClockMs, 20000u);
    EXPECT_EQ(ProbeInquiry(0, 4), -1);  // nobody there
    EXPECT_EQ(Sim.HungWaits, 0u);
}

TEST_F(ExecutorTest, SptiProbesRunOnTheOpenDevice) {
    AddSptiTarget('G').Faults.push_back(CheckConditionOn(0x3C, 0x05, 0x24, 0x00));
    State.TargetCount = 0;  // probes need no list entry
    ASSERT_EQ(OpenDriveDevice('G'), 0);
    EXPECT_EQ(ProbeInquiry(0, 0), 0);
    EXPECT_EQ(Le32(State.PassThroughBlock + 16), 2u);
    EXPECT_EQ(Sim.Trace.back().Length, 96u);
    EXPECT_EQ(std::memcmp(State.WorkBuffer + 16, "DVD-RW  QXR-930D", 16), 0);
    EXPECT_EQ(ProbeVendorPage(0, 0), 2);
    EXPECT_EQ(CdbOf(Sim.Trace.back()), (Bytes{0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}));
    EXPECT_EQ(State.SenseBuffer[12], 0x24);
    CloseDriveDevice();
    EXPECT_EQ(ProbeInquiry(0, 0), -1);  // no device open
}

}  // namespace
