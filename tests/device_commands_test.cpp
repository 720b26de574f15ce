// The command set: what each wrapper and named operation puts on the wire.
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "device_test_support.h"

namespace {

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

// Every command addresses target 1 (E:), the named operations through SelectedTarget.
TEST_F(CommandSetTest, EachCommandOnTheWire) {
    const struct {
        int (*Issue)();
        const char* Cdb;
        int Direction;
        uint32_t Length;
        uint32_t TimeoutMs;  // as it reaches the driver: whole seconds
        uint32_t CommandTimeoutAfter;
    } rows[] = {
        {[] { return TestUnitReady(1); }, "00 00 00 00 00 00", 0, 0, 7000, 7500},
        {[] { return Inquiry(1, Buf); }, "12 00 00 00 60 00", 1, 96, 5000, 7500},
        {[] { return StartStopUnit(1, 1, 3, 1, 1); }, "1B 01 00 00 33 00", 0, 0, 7000, 7500},
        {[] { return ReadBuffer(1, 2, 0xF1, 0x12345, 0x8000, Buf); },
         "3C 02 F1 01 23 45 00 80 00 00", 1, 0x8000, 7000, 7500},
        {[] { return ReadBuffer(1, 2, 0xF1, 0, 0, Buf); }, "3C 02 F1 00 00 00 00 00 00 00", 1, 0,
         7000, 7500},
        // Offset cut to 24 bits, length to 16; nothing to write moves nothing.
        {[] { return WriteBuffer(1, 7, 0xF0, 0x1ABCDEF, 0x18000, Buf); },
         "3B 07 F0 AB CD EF 00 80 00 00", 2, 0x8000, 7000, 7500},
        {[] { return WriteBuffer(1, 2, 0xE2, 0, 0, Buf); }, "3B 02 E2 00 00 00 00 00 00 00", 0, 0,
         7000, 7500},
        {[] { return ReportKey(1, 2, 5, 5, 0x1234, Buf); }, "A4 00 00 00 00 00 00 02 12 34 45 00",
         1, 0x1234, 7000, 7500},
        {[] { return StopUnit(); }, "1B 00 00 00 00 00", 0, 0, 60000, 0},
        {[] { return SendPreUpdateCommand(); }, "3B 02 D4 00 07 80 00 00 02 00", 2, 2, 1000, 1000},
        {[] { return WriteKernelChunk(0x18000, 0x8000, Buf); }, "3B 07 FE 01 80 00 00 80 00 00", 2,
         0x8000, 20000, 20000},
        {[] { return WriteNormalChunk(0x3F8000, 0x1234, Buf); }, "3B 07 F0 3F 80 00 00 12 34 00", 2,
         0x1234, 20000, 20000},
        {[] { return LegacyPrepareDownload(); }, "3B 01 30 00 00 00 00 00 00 00", 0, 0, 1000, 1000},
        {[] { return LegacyWriteChunk(0x10, 0x100, Buf); }, "3B 01 FF 00 00 10 00 01 00 00", 2,
         0x100, 7000, 7500},
        {[] { return LegacyStartFlash(); }, "3B 01 42 00 00 00 00 00 00 00", 0, 0, 7000, 7500},
        {[] { return LegacyReadMemory(0x8000, 0x400, Buf); }, "3C 01 80 00 80 00 00 04 00 00", 1,
         0x400, 5000, 5000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Cdb);
        Sim.Trace.clear();
        State.CommandTimeout = 7500;
        row.Issue();
        ASSERT_EQ(Sim.Trace.size(), 1u);
        const SimCommandRecord& sent = Sim.Trace[0];
        EXPECT_EQ(sent.Letter, 'E');
        EXPECT_EQ(CdbOf(sent), Hex(row.Cdb));
        EXPECT_EQ(sent.Direction, row.Direction);
        EXPECT_EQ(sent.Length, row.Length);
        EXPECT_EQ(sent.TimeoutMs, row.TimeoutMs);
        EXPECT_EQ(State.CommandTimeout, row.CommandTimeoutAfter);
    }
    EXPECT_EQ(Bytes(drive->PreUpdateArea + 0x780, drive->PreUpdateArea + 0x782), Hex("00 3F"));
}

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

}  // namespace
