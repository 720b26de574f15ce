// The command executor on both transports of the simulated PC.
#include <cstring>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device_test_support.h"

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
    // No drive at the listed place: SS_NO_DEVICE at once, no event waited for.
    State.TargetList[0].TargetId = 5;
    EXPECT_EQ(TestUnitReady(0), -1);
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

TEST_F(ExecutorTest, DeviceWithoutScsiAddressMarksTheSelectedTarget) {
    AddSptiTarget('D').Disc = VirtualDisc::Loaded;
    VirtualDrive& onBus = AddSptiTarget('E');
    onBus.Disc = VirtualDisc::Loaded;
    onBus.Place.OnIeee1394 = true;
    State.SelectedTarget = 1;
    ASSERT_EQ(TestUnitReady(1), 0);
    EXPECT_EQ(State.Ieee1394Marker, 1);
    ASSERT_EQ(TestUnitReady(0), 0);  // every open starts again from "none"
    EXPECT_EQ(State.Ieee1394Marker, -1);
    EXPECT_EQ(Sim.DevicesOpen, 1);  // one handle at most
}

// ---- ASPI ---------------------------------------------------------------------------------

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

}  // namespace
