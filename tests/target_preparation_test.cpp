#include "update/target_preparation.h"

#include <cstring>
#include <vector>

#include "base/update_definition.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

const char* const Unknown = "\nError : Unknown Error is occurred.";

// One listed target at D: on pass-through, with the built-in definition.
class PreparationTest : public SimTest {
protected:
    VirtualDrive* Drive = nullptr;

    void SetUp() override {
        SimTest::SetUp();
        Drive = &SimAttachDrive('D');
        FillUpdateDefinition();
        State.TargetCount = 1;
        State.TargetList[0].DriveLetter = 'D';
        State.SelectedTarget = 0;
        State.CommandTimeout = 1000;
    }
    VirtualDriveFault& Fail(int opcode, uint8_t key = 0x05, uint8_t asc = 0x24, int times = 1) {
        Drive->Faults.emplace_back();
        VirtualDriveFault& fault = Drive->Faults.back();
        fault.Opcode = opcode;
        fault.SenseKey = key;
        fault.Asc = asc;
        fault.Times = times;
        return fault;
    }
};

// Only the first character of the normal edition counts; a failed read says nothing about the
// drive and leaves InUpdateMode as it was.
TEST_F(PreparationTest, VendorPageDecidesKernelOnly) {
    const struct {
        const char* normalEdition;
        bool fails;
        int result, normalPartAbsent, inUpdateMode;
    } cases[] = {{" ENERAL ", false, 0, 1, 1}, {"GENERAL ", false, 0, 0, 0}, {"", true, 2, -1, 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.normalEdition);
        SetUp();
        Drive->NormalEdition = c.normalEdition;
        if (c.fails) Fail(0x3C, 0x02, 0x04);
        State.InUpdateMode = 7;
        EXPECT_EQ(ReadFirmwareInfo(), c.result);
        EXPECT_EQ(State.NormalPartAbsent, c.normalPartAbsent);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
        EXPECT_EQ(Sim.Console, "");
        EXPECT_TRUE(c.fails || std::memcmp(State.FirmwareInfoPage + 32, c.normalEdition, 8) == 0);
        ASSERT_EQ(Sim.Trace.size(), 1u);
        const uint8_t cdb[10] = {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, 0x30, 0};
        EXPECT_EQ(std::memcmp(Sim.Trace[0].Cdb, cdb, sizeof cdb), 0);
    }
}

TEST_F(PreparationTest, DiscChecks) {
    const struct {
        const char* name;
        VirtualDisc disc;
        int32_t kind;
        int unitAttentions, intel;  // UNIT ATTENTION answers before the others; -1 without end
        bool callFails;             // TEST UNIT READY fails without sense
        int result;
        const char* console;  // messages 6 and 7 are reports: no box
        size_t testUnitReadys;
    } cases[] = {
        // clang-format off
        {"disc loaded, kind 0x1041", VirtualDisc::Loaded, 0x1041, 0, 0, false, 0, "", 1},
        {"becoming ready", VirtualDisc::BecomingReady, 0x100D, 0, 0, false, -1,
         "\nError : Drive is now becoming ready.\nPlease eject the disc", 1},
        {"stopped disc", VirtualDisc::Stopped, 0x100D, 0, 0, false, 0, "", 1},
        {"unit attention ten times", VirtualDisc::Absent, 0x100D, 10, 0, false, 0, "", 11},
        {"unit attention without end", VirtualDisc::Absent, 0x100D, -1, 0, false, -1, Unknown, 11},
        {"call fails, Intel driver", VirtualDisc::Absent, 0x100D, 0, 1, true, 0, "", 1},
        {"call fails", VirtualDisc::Absent, 0x100D, 0, 0, true, -1, Unknown, 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Drive->Disc = c.disc;
        State.CurrentKind = c.kind;
        State.IntelAtaDriver = c.intel;
        if (c.unitAttentions != 0) Fail(0x00, 0x06, 0x29, c.unitAttentions);
        if (c.callFails) Fail(0x00).Effect = VirtualFaultEffect::CallFails;
        EXPECT_EQ(EnsureNoDisc(), c.result);
        EXPECT_EQ(Sim.Console, c.console);
        EXPECT_TRUE(Sim.Boxes.empty());
        ASSERT_FALSE(Sim.Trace.empty());
        EXPECT_EQ(Sim.Trace[0].Cdb[0], 0x1B) << "the disc is stopped first";
        EXPECT_EQ(Sim.Trace.size(), 1 + c.testUnitReadys);
    }
}

TEST_F(PreparationTest, UpdateModeConfirmation) {
    const struct {
        VirtualDriveMode mode;
        const char *kernelProduct, *kernelRevision;
        bool inquiryFails;
        int result, inUpdateMode;
    } cases[] = {
        {VirtualDriveMode::Kernel, "DVD-RW  QXR-930D", "000A", false, 0, 1},
        {VirtualDriveMode::Kernel, "DVD-ROM QXR-930D", "0000", false, -1, 0},
        {VirtualDriveMode::Normal, "DVD-RW  QXR-930D", "0000", false, -1, 0},
        {VirtualDriveMode::Kernel, "DVD-RW  QXR-930D", "0000", true, -1, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        Drive->Mode = c.mode;
        Drive->KernelProduct = c.kernelProduct;
        Drive->KernelRevision = c.kernelRevision;
        if (c.inquiryFails) Fail(0x12, 0x02, 0x04);
        State.InUpdateMode = 7;
        EXPECT_EQ(ConfirmUpdateMode(), c.result);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
        EXPECT_EQ(Sim.Console, c.inquiryFails ? "\r\nUnknow Message Code\r\n" : "");
        EXPECT_TRUE(Sim.Boxes.empty());
    }
}

}  // namespace
