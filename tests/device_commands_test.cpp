// The command set: what each wrapper and named operation puts on the wire.
#include <functional>

#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CommandSetTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        drive = &AddSptiTarget('D');
        drive->Disc = VirtualDisc::Loaded;
    }
    VirtualDrive* drive = nullptr;
    uint8_t buffer[0x10000] = {};
};

struct WireRow {
    const char* Name;
    std::function<int(uint8_t*)> Issue;
    Bytes Cdb;
    int Direction;
    uint32_t Length;
    uint32_t TimeoutMs;  // as it reaches the driver: whole seconds
    uint32_t CommandTimeoutAfter;
};

TEST_F(CommandSetTest, EachCommandOnTheWire) {
    const WireRow rows[] = {
        {"TestUnitReady",
         [](uint8_t*) { return TestUnitReady(0); },
         {0, 0, 0, 0, 0, 0},
         0,
         0,
         7000,
         7500},
        {"Inquiry",
         [](uint8_t* b) { return Inquiry(0, b); },
         {0x12, 0, 0, 0, 0x60, 0},
         1,
         96,
         5000,
         7500},
        {"StartStopUnit",
         [](uint8_t*) { return StartStopUnit(0, 1, 3, 1, 1); },
         {0x1B, 1, 0, 0, 0x33, 0},
         0,
         0,
         7000,
         7500},
        {"StartStopUnit truncated",
         [](uint8_t*) { return StartStopUnit(0, 0x101, 0x1F, 1, 0); },
         {0x1B, 1, 0, 0, 0xF2, 0},
         0,
         0,
         7000,
         7500},
        {"ReadBuffer",
         [](uint8_t* b) { return ReadBuffer(0, 2, 0xF1, 0x12345, 0x8000, b); },
         {0x3C, 2, 0xF1, 0x01, 0x23, 0x45, 0, 0x80, 0x00, 0},
         1,
         0x8000,
         7000,
         7500},
        {"ReadBuffer of nothing is still in",
         [](uint8_t* b) { return ReadBuffer(0, 2, 0xF1, 0, 0, b); },
         {0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0, 0},
         1,
         0,
         7000,
         7500},
        {"WriteBuffer offset cut to 24 bits, length to 16",
         [](uint8_t* b) { return WriteBuffer(0, 7, 0xF0, 0x1ABCDEF, 0x18000, b); },
         {0x3B, 7, 0xF0, 0xAB, 0xCD, 0xEF, 0, 0x80, 0x00, 0},
         2,
         0x8000,
         7000,
         7500},
        {"WriteBuffer of nothing moves nothing",
         [](uint8_t* b) { return WriteBuffer(0, 2, 0xE2, 0, 0, b); },
         {0x3B, 2, 0xE2, 0, 0, 0, 0, 0, 0, 0},
         0,
         0,
         7000,
         7500},
        {"ReportKey",
         [](uint8_t* b) { return ReportKey(0, 0, 8, 3, 8, b); },
         {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0xC8, 0},
         1,
         8,
         7000,
         7500},
        {"ReportKey agid cut to the byte",
         [](uint8_t* b) { return ReportKey(0, 2, 5, 5, 0x1234, b); },
         {0xA4, 0, 0, 0, 0, 0, 0, 2, 0x12, 0x34, 0x45, 0},
         1,
         0x1234,
         7000,
         7500},
        {"StopUnit", [](uint8_t*) { return StopUnit(); }, {0x1B, 0, 0, 0, 0, 0}, 0, 0, 60000, 0},
        {"SendPreUpdateCommand",
         [](uint8_t*) { return SendPreUpdateCommand(); },
         {0x3B, 2, 0xD4, 0, 0x07, 0x80, 0, 0, 2, 0},
         2,
         2,
         1000,
         1000},
        {"WriteKernelChunk",
         [](uint8_t* b) { return WriteKernelChunk(0x18000, 0x8000, b); },
         {0x3B, 7, 0xFE, 0x01, 0x80, 0x00, 0, 0x80, 0x00, 0},
         2,
         0x8000,
         20000,
         20000},
        {"WriteNormalChunk",
         [](uint8_t* b) { return WriteNormalChunk(0x3F8000, 0x1234, b); },
         {0x3B, 7, 0xF0, 0x3F, 0x80, 0x00, 0, 0x12, 0x34, 0},
         2,
         0x1234,
         20000,
         20000},
        {"LegacyPrepareDownload",
         [](uint8_t*) { return LegacyPrepareDownload(); },
         {0x3B, 1, 0x30, 0, 0, 0, 0, 0, 0, 0},
         0,
         0,
         1000,
         1000},
        {"LegacyWriteChunk",
         [](uint8_t* b) { return LegacyWriteChunk(0x10, 0x100, b); },
         {0x3B, 1, 0xFF, 0, 0, 0x10, 0, 0x01, 0x00, 0},
         2,
         0x100,
         7000,
         7500},
        {"LegacyStartFlash",
         [](uint8_t*) { return LegacyStartFlash(); },
         {0x3B, 1, 0x42, 0, 0, 0, 0, 0, 0, 0},
         0,
         0,
         7000,
         7500},
        {"LegacyReadMemory",
         [](uint8_t* b) { return LegacyReadMemory(0x8000, 0x400, b); },
         {0x3C, 1, 0x80, 0, 0x80, 0x00, 0, 0x04, 0x00, 0},
         1,
         0x400,
         5000,
         5000},
    };
    for (const WireRow& row : rows) {
        Sim.Trace.clear();
        State.CommandTimeout = 7500;
        row.Issue(buffer);
        ASSERT_EQ(Sim.Trace.size(), 1u) << row.Name;
        const SimCommandRecord& sent = Sim.Trace[0];
        EXPECT_EQ(CdbOf(sent), row.Cdb) << row.Name;
        EXPECT_EQ(sent.Direction, row.Direction) << row.Name;
        EXPECT_EQ(sent.Length, row.Length) << row.Name;
        EXPECT_EQ(sent.TimeoutMs, row.TimeoutMs) << row.Name;
        EXPECT_EQ(State.CommandTimeout, row.CommandTimeoutAfter) << row.Name;
    }
}

TEST_F(CommandSetTest, StopUnitLeavesNoLimitForWhatFollows) {
    StopUnit();
    TestUnitReady(0);
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 60000u);
}

TEST_F(CommandSetTest, InquiryTimeOutFollowsTheMarkerAtTheMomentOfTheCall) {
    drive->Place.OnIeee1394 = true;
    State.CommandTimeout = 9000;
    Inquiry(0, buffer);  // the marker is still -1 when the time-out is chosen
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 5000u);
    EXPECT_EQ(State.Ieee1394Marker, 0);
    Inquiry(0, buffer);
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 1000u);
}

TEST_F(CommandSetTest, CommitOnADeviceWithoutAddressGetsTheDriverLimit) {
    AddSptiTarget('E').Place.OnIeee1394 = true;
    State.SelectedTarget = 1;
    State.CommandTimeout = 3000;
    TestUnitReady(1);  // notes the marker
    ASSERT_EQ(State.Ieee1394Marker, 1);
    const struct {
        int Mode;
        uint32_t TimeoutMs;
    } rows[] = {{5, 60000}, {4, 3000}, {7, 3000}};
    for (const auto& row : rows) {
        WriteBuffer(1, row.Mode, 0xFF, 0, 256, buffer);
        EXPECT_EQ(Sim.Trace.back().TimeoutMs, row.TimeoutMs) << row.Mode;
    }
    // A device with an address keeps CommandTimeout for its commit.
    State.SelectedTarget = 0;
    TestUnitReady(0);
    WriteBuffer(0, 5, 0xFF, 0, 256, buffer);
    EXPECT_EQ(Sim.Trace.back().TimeoutMs, 3000u);
}

TEST_F(CommandSetTest, PreUpdateCommandWritesItsTwoBytes) {
    ASSERT_EQ(SendPreUpdateCommand(), 0);
    EXPECT_EQ(drive->PreUpdateArea[0x780], 0x00);
    EXPECT_EQ(drive->PreUpdateArea[0x781], 0x3F);
    EXPECT_EQ(drive->PreUpdateWrites, 1u);
}

TEST_F(CommandSetTest, RegionControlStateByScheme) {
    const struct {
        uint8_t Scheme;
        bool Fails;
        int Result;
    } rows[] = {{1, false, 0}, {0, false, -1}, {2, false, -1}, {1, true, 2}};
    for (const auto& row : rows) {
        drive->RpcScheme = row.Scheme;
        drive->Faults.clear();
        if (row.Fails) drive->Faults.push_back(CheckConditionOn(0xA4, 0x05, 0x20, 0));
        EXPECT_EQ(CheckRegionControlState(), row.Result) << int(row.Scheme);
        EXPECT_EQ(CdbOf(Sim.Trace.back()), (Bytes{0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 0}));
    }
}

TEST_F(CommandSetTest, NamedOperationsAddressTheSelectedTarget) {
    AddSptiTarget('H').Disc = VirtualDisc::Loaded;
    State.SelectedTarget = 1;
    StopUnit();
    EXPECT_EQ(Sim.Trace.back().Letter, 'H');
}

// ---- media-notification control -----------------------------------------------------------

TEST_F(CommandSetTest, MediaNotificationHoldsASecondHandle) {
    AddSptiTarget('F');
    State.Notifications.Letters[0] = 'D';
    State.Notifications.Letters[1] = 'F';
    State.Notifications.Letters[2] = 'Q';  // gone by now
    State.Notifications.Filled = 3;
    for (int slot = 0; slot < 3; ++slot) {
        State.Notifications.Current = slot;
        EXPECT_EQ(BeginMediaNotificationControl(), slot < 2 ? 1 : 0) << slot;
    }
    EXPECT_EQ(State.MediaNotificationError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Sim.DevicesOpen, 2);
    ASSERT_EQ(Sim.DeviceHandles.size(), 2u);
    EXPECT_EQ(Sim.DeviceHandles[1].Letter, 'F');
    EXPECT_EQ(Sim.DeviceHandles[1].Access, 0u);  // neither read nor write

    for (int slot = 0; slot < 3; ++slot) {
        State.Notifications.Current = slot;
        EndMediaNotificationControl();
    }
    EXPECT_EQ(Sim.MediaNotificationValues, (Bytes{1, 1, 0, 0}));
    EXPECT_EQ(Sim.DevicesOpen, 2);  // held until the process ends
}

TEST_F(CommandSetTest, MediaNotificationDoesNothingOnAspi) {
    State.UsesAspi = 1;
    State.Notifications.Letters[0] = 'D';
    EXPECT_EQ(BeginMediaNotificationControl(), 0);
    EndMediaNotificationControl();
    EXPECT_TRUE(Sim.DeviceHandles.empty());
    EXPECT_TRUE(Sim.MediaNotificationValues.empty());
}

}  // namespace
