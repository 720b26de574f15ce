#include <cstring>
#include <vector>

#include "device/drive_commands.h"
#include "device/mode_control.h"
#include "device_test_support.h"
#include "platform/platform_clock.h"
#include "sample_package.h"

namespace {

// A whole update of one drive told through the command layer alone, on each transport:
// normal mode, kernel mode, the kernel and normal parts, the re-flash and the reboot.
class DeviceRoadTest : public DeviceTest {
protected:
    void RunRoad(VirtualDrive& drive) {
        drive.Revision = "1.21";
        const SamplePackage package = SamplePackageFor(drive, "1.22", "08/07/25");
        std::vector<uint8_t> kernel = BuildSampleImage(package.Kernel);
        std::vector<uint8_t> normal = BuildSampleImage(package.Normal);
        State.Selection.ModeSwitchValue = 0x3C6A1D27;
        State.SelectedTarget = 0;

        uint8_t inquiry[96] = {};
        ASSERT_EQ(Inquiry(0, inquiry), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 32, 4), "1.21");
        ASSERT_EQ(ReadBuffer(0, 2, 0xF1, 0, 48, State.FirmwareInfoPage), 0);

        ASSERT_EQ(SendPreUpdateCommand(), 0);
        ASSERT_EQ(EnterUpdateMode(0x100D), 0);
        ASSERT_EQ(Inquiry(0, inquiry), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 20), "KESTREL DVD-RW  QXR-");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 32, 3), "000");

        for (uint32_t offset = 0; offset < 0x20000; offset += 0x8000) {
            ASSERT_EQ(WriteKernelChunk(offset, 0x8000, kernel.data() + offset), 0) << offset;
        }
        for (uint32_t offset = 0; offset < normal.size(); offset += 0x8000) {
            ASSERT_EQ(WriteNormalChunk(offset, 0x8000, normal.data() + offset), 0) << offset;
        }
        EXPECT_EQ(drive.KernelChunks, 4u);
        EXPECT_EQ(drive.NormalChunks, 64u);

        ASSERT_EQ(LeaveUpdateMode(0x100D), 0);  // includes its 5000 ms wait
        // The reboot may still be under way: wait for the drive to answer, as the
        // procedure's identity read does.
        int result = -1;
        for (int tries = 0; tries < 10 && result != 0; ++tries) {
            result = TestUnitReady(0);
            if (result != 0) PlatformSleep(1000);
        }
        ASSERT_EQ(Inquiry(0, inquiry), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 32, 4), "1.22");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 37, 8), "08/07/25");

        ASSERT_GE(drive.KernelFlash.size(), 0x20000u);
        ASSERT_GE(drive.NormalFlash.size(), normal.size());
        EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + 0x20000, drive.KernelFlash.begin()));
        EXPECT_TRUE(std::equal(normal.begin(), normal.end(), drive.NormalFlash.begin()));
    }
};

TEST_F(DeviceRoadTest, WholeUpdateThroughPassThrough) { RunRoad(AddSptiTarget('E')); }

TEST_F(DeviceRoadTest, WholeUpdateThroughAspi) {
    SimAddAdapter("SCSI ADAPTER");
    RunRoad(AddAspiTarget(0, 1));
}

}  // namespace
