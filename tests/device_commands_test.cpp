// The command set where it depends on the device: time-outs, the region check, the
// media-notification hold.
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
