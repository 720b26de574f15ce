#include "update/target_preparation.h"

#include <cstring>
#include <string>
#include <vector>

#include "console/message.h"
#include "run/update_definition.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

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

    void FailCommand(int opcode, uint8_t key, uint8_t asc, uint8_t ascq, int times = 1) {
        VirtualDriveFault fault;
        fault.Opcode = opcode;
        fault.SenseKey = key;
        fault.Asc = asc;
        fault.Ascq = ascq;
        fault.Times = times;
        Drive->Faults.push_back(fault);
    }

    size_t Sent(uint8_t opcode) const {
        size_t n = 0;
        for (const SimCommandRecord& r : Sim.Trace) n += r.Cdb[0] == opcode ? 1 : 0;
        return n;
    }
};

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpInquiry = 0x12;
constexpr uint8_t OpStartStopUnit = 0x1B;
constexpr uint8_t OpReadBuffer = 0x3C;

// The box flags of the styles (none for console-only reports).
constexpr uint32_t ErrorBox = 0x10;
constexpr uint32_t InformationBox = 0x40;

TEST_F(PreparationTest, SelectionOutcomes) {
    struct Case {
        const char* name;
        const char* product;
        const char* normalEdition;
        int failOpcode;  // -1: none
        int result;
        const char* console;
        std::vector<uint32_t> boxes;
        int32_t kind;  // CurrentKind afterwards
        int32_t inUpdateMode;
    };
    const Case cases[] = {
        {"matching drive", "DVD-RW  QXR-930D", "GENERAL ", -1, 0, "", {}, 0x100D, 0},
        {"kernel-only drive matches by its kernel edition",
         "DVD-RW  QXR-930D",
         "",
         -1,
         0,
         "",
         {},
         0x100D,
         1},
        {"drive no longer matches",
         "DVD-RW  QXR-999D",
         "GENERAL ",
         -1,
         -1,
         "\r\nCurrent Firmware is not supported by this program.",
         {ErrorBox},
         0x7777,
         0},
        {"INQUIRY fails",
         "DVD-RW  QXR-930D",
         "GENERAL ",
         OpInquiry,
         2,
         "\nFailed to execute Inquiry Command.",
         {ErrorBox},
         0x7777,
         0},
        {"vendor page fails",
         "DVD-RW  QXR-930D",
         "GENERAL ",
         OpReadBuffer,
         2,
         "\nFailed to get a drive information.",
         {ErrorBox},
         0x7777,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Drive->Product = c.product;
        Drive->NormalEdition = c.normalEdition;
        if (c.failOpcode >= 0) FailCommand(c.failOpcode, 0x05, 0x24, 0x00);
        State.CurrentKind = 0x7777;  // an earlier drive's selection

        EXPECT_EQ(SelectDefinitionForTarget(), c.result);
        EXPECT_EQ(Sim.Console, c.console);
        std::vector<uint32_t> boxes;
        for (const SimBoxRecord& b : Sim.Boxes) boxes.push_back(b.Flags);
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(State.CurrentKind, c.kind);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
        if (c.result == 0) {
            EXPECT_STREQ(State.Selection.ImageFileName, "S0814001.122");
            EXPECT_EQ(std::memcmp(State.InquiryData + 16, c.product, 16), 0);
        }
    }
}

TEST_F(PreparationTest, VendorPageDecidesKernelOnly) {
    // Only the first character of the normal edition counts.
    Drive->NormalEdition = " ENERAL ";
    ASSERT_EQ(ReadFirmwareInfo(), 0);
    EXPECT_EQ(State.NormalPartAbsent, 1);
    EXPECT_EQ(State.InUpdateMode, 1);
    ASSERT_EQ(Sim.Trace.size(), 1u);
    const uint8_t cdb[10] = {0x3C, 0x02, 0xF1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x00};
    EXPECT_EQ(std::memcmp(Sim.Trace[0].Cdb, cdb, sizeof cdb), 0);
    EXPECT_EQ(Sim.Trace[0].Length, 48u);

    Drive->NormalEdition = "GENERAL ";
    ASSERT_EQ(ReadFirmwareInfo(), 0);
    EXPECT_EQ(State.NormalPartAbsent, 0);
    EXPECT_EQ(State.InUpdateMode, 0);
    EXPECT_EQ(std::memcmp(State.FirmwareInfoPage + 24, "GENERAL ", 8), 0);

    // A failed read says nothing about the drive: InUpdateMode keeps its value.
    State.InUpdateMode = 1;
    FailCommand(OpReadBuffer, 0x02, 0x04, 0x01);
    EXPECT_EQ(ReadFirmwareInfo(), 2);
    EXPECT_EQ(State.NormalPartAbsent, -1);
    EXPECT_EQ(State.InUpdateMode, 1);
    EXPECT_EQ(Sim.Console, "");
}

TEST_F(PreparationTest, DiscChecks) {
    struct Case {
        const char* name;
        VirtualDisc disc;
        int32_t kind;
        int unitAttentions;  // TEST UNIT READY answers UNIT ATTENTION this often first
        int intel;
        bool callFails;  // TEST UNIT READY fails without sense
        int result;
        const char* console;
        std::vector<uint32_t> boxes;
        size_t testUnitReadys;
    };
    const char* const unknown = "\nError : Unknown Error is occurred.";
    const Case cases[] = {
        {"no disc", VirtualDisc::Absent, 0x100D, 0, 0, false, 0, "", {}, 1},
        {"disc loaded",
         VirtualDisc::Loaded,
         0x100D,
         0,
         0,
         false,
         -1,
         "\nDisc is inserted into DVD-RW.\nPlease eject a disc.",
         {InformationBox},
         1},
        {"disc loaded, kind 0x1041", VirtualDisc::Loaded, 0x1041, 0, 0, false, 0, "", {}, 1},
        {"becoming ready",
         VirtualDisc::BecomingReady,
         0x100D,
         0,
         0,
         false,
         -1,
         "\nError : Drive is now becoming ready.\nPlease eject the disc",
         {},
         1},
        {"stopped disc", VirtualDisc::Stopped, 0x100D, 0, 0, false, 0, "", {}, 1},
        {"unit attention once", VirtualDisc::Absent, 0x100D, 1, 0, false, 0, "", {}, 2},
        {"unit attention ten times", VirtualDisc::Absent, 0x100D, 10, 0, false, 0, "", {}, 11},
        {"unit attention without end",
         VirtualDisc::Absent,
         0x100D,
         -1,
         0,
         false,
         -1,
         unknown,
         {},
         11},
        {"call fails, Intel driver", VirtualDisc::Absent, 0x100D, 0, 1, true, 0, "", {}, 1},
        {"call fails", VirtualDisc::Absent, 0x100D, 0, 0, true, -1, unknown, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Drive->Disc = c.disc;
        State.CurrentKind = c.kind;
        State.IntelAtaDriver = c.intel;
        if (c.unitAttentions != 0) {
            FailCommand(OpTestUnitReady, 0x06, 0x29, 0x00, c.unitAttentions);
        }
        if (c.callFails) {
            VirtualDriveFault fault;
            fault.Opcode = OpTestUnitReady;
            fault.Effect = VirtualFaultEffect::CallFails;
            Drive->Faults.push_back(fault);
        }

        EXPECT_EQ(EnsureNoDisc(), c.result);
        EXPECT_EQ(Sim.Console, c.console);
        std::vector<uint32_t> boxes;
        for (const SimBoxRecord& b : Sim.Boxes) boxes.push_back(b.Flags);
        EXPECT_EQ(boxes, c.boxes);
        ASSERT_FALSE(Sim.Trace.empty());
        const uint8_t stop[6] = {0x1B, 0, 0, 0, 0, 0};
        EXPECT_EQ(std::memcmp(Sim.Trace[0].Cdb, stop, sizeof stop), 0)
            << "the disc is stopped first";
        EXPECT_EQ(Sent(OpStartStopUnit), 1u);
        EXPECT_EQ(Sent(OpTestUnitReady), c.testUnitReadys);
    }
}

TEST_F(PreparationTest, UpdateModeConfirmation) {
    struct Case {
        const char* name;
        VirtualDriveMode mode;
        const char* kernelProduct;
        const char* kernelRevision;
        bool inquiryFails;
        int result;
        int32_t inUpdateMode;
        const char* console;
    };
    const Case cases[] = {
        {"kernel identity 0000", VirtualDriveMode::Kernel, "DVD-RW  QXR-930D", "0000", false, 0, 1,
         ""},
        {"kernel identity 000A", VirtualDriveMode::Kernel, "DVD-RW  QXR-930D", "000A", false, 0, 1,
         ""},
        {"another product in kernel mode", VirtualDriveMode::Kernel, "DVD-ROM QXR-930D", "0000",
         false, -1, 0, ""},
        {"still in normal mode", VirtualDriveMode::Normal, "DVD-RW  QXR-930D", "0000", false, -1, 0,
         ""},
        {"INQUIRY fails", VirtualDriveMode::Kernel, "DVD-RW  QXR-930D", "0000", true, -1, 1,
         "\r\nUnknow Message Code\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Drive->Mode = c.mode;
        Drive->KernelProduct = c.kernelProduct;
        Drive->KernelRevision = c.kernelRevision;
        if (c.inquiryFails) FailCommand(OpInquiry, 0x02, 0x04, 0x01);
        State.InUpdateMode = 1;

        EXPECT_EQ(ConfirmUpdateMode(), c.result);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
        EXPECT_EQ(Sim.Console, c.console);
        EXPECT_TRUE(Sim.Boxes.empty());
    }
}

}  // namespace
