#include <cstring>
#include <string>
#include <vector>

#include "discovery/host_probe.h"
#include "legacy_test_support.h"
#include "run/run_driver.h"
#include "update/hex_image.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

class LegacyUpdateTest : public LegacyDriveTest {
protected:
    // The trace as opcodes, with the mode-1 buffer ids for the buffer commands.
    static std::string Road() {
        std::string road;
        char item[8];
        for (const SimCommandRecord& r : Sim.Trace) {
            const bool buffer = r.Cdb[0] == 0x3B || r.Cdb[0] == 0x3C;
            std::snprintf(item, sizeof item, "%02X ", buffer ? r.Cdb[2] : r.Cdb[0]);
            road += item;
        }
        return road;
    }
    static bool MemoryHolds(const VirtualDrive& drive, const std::vector<uint8_t>& image) {
        return drive.Legacy.Memory.size() >= image.size() &&
               std::memcmp(drive.Legacy.Memory.data(), image.data(), image.size()) == 0;
    }
    static size_t Writes() { return Commands(0x3B).size(); }
};

const char* const Loaded = "\r\nF/W file load success.";
const char* const Updating =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.";
const char* const Success = "\nSuccess to update the firmware.";

TEST_F(LegacyUpdateTest, KindSevenWithReadBackOnPassThrough) {
    VirtualDrive& drive = AddDrive(false, 7);
    const std::vector<uint8_t> image = Package(7);

    EXPECT_EQ(UpdateLegacyGeneration(), 0);
    // Inquiry, model information, identity, read-back of the old memory, prepare, stop,
    // prepare, four chunks and the tail, flash, read-back of the new memory, identity.
    EXPECT_EQ(Road(), "12 80 12 80 80 80 80 30 1B 30 FF FF FF FF FF 42 80 80 80 80 12 ");
    EXPECT_TRUE(MemoryHolds(drive, image));
    EXPECT_EQ(drive.Revision, "1.07");
    EXPECT_EQ(drive.Legacy.Marker, "WIN ");
    EXPECT_EQ(State.NewRevision, 0x107);
    EXPECT_TRUE(InOrder({Loaded, "\nCurrent Revision>> KESTREL DVD-RW  QXR-510  1.05", Loaded,
                         Updating, "\rRemaining time is 00sec",
                         "\nNew Revision    >> KESTREL DVD-RW  QXR-510  1.07", Success}))
        << Sim.Console;
    EXPECT_TRUE(Sim.Boxes.empty());
    EXPECT_EQ(Sim.FilesOpen, 0);
}

TEST_F(LegacyUpdateTest, EachDriveAskedForOnItsOwnIsWrittenOnlyAfterYes) {
    State.UpdateAll = 0;
    AddDrive(false, 7);
    Package(7);
    for (int answer : {0, 7, 6}) {  // a box not shown, No, then Yes
        SCOPED_TRACE(answer);
        Sim.Boxes.clear();
        Sim.Trace.clear();
        Sim.BoxAnswers = {answer};
        EXPECT_EQ(UpdateLegacyGeneration(), answer == 6 ? 0 : 7);
        ASSERT_EQ(Sim.Boxes.size(), 1u);
        EXPECT_EQ(Sim.Boxes[0].Flags, 0x24u);
        EXPECT_EQ(Sim.Boxes[0].Text, "\r\nDo you update F/W ?");
        EXPECT_EQ(Writes() != 0, answer == 6);
    }
}

TEST_F(LegacyUpdateTest, PatchDriveSendsThePatchBehindItsMarker) {
    VirtualDrive& drive = AddDrive(true, 7, "1.06");
    drive.Product = "DVD-ROM QXD-416 ";
    const std::vector<uint8_t> image = Package(7);
    DefineEntry(7, "1.07", "QX510107.HEX", "DVD-ROM QXD-416 ");
    std::vector<uint8_t> patch(PatchLength);
    for (size_t i = 0; i < patch.size(); ++i) patch[i] = static_cast<uint8_t>(0xC0 + i);
    const std::string text = HexText(patch, 0x20000);
    SimPutFile("G6PATCH.HEX", std::vector<uint8_t>(text.begin(), text.end()));

    EXPECT_EQ(UpdateLegacyGeneration(), 0);
    EXPECT_TRUE(InOrder({Loaded, "\r\nG6 Patch load success.", Loaded, Updating, Success}));
    // On ASPI too the patch drive gets "WIN ", and the rest of the 16 bytes come from the patch.
    std::vector<uint8_t> behind = {'W', 'I', 'N', ' '};
    behind.insert(behind.end(), patch.begin() + 4, patch.begin() + 16);
    EXPECT_EQ(drive.Legacy.Behind, behind);
    EXPECT_TRUE(MemoryHolds(drive, image));
    EXPECT_EQ(drive.Revision, "1.07");
}

TEST_F(LegacyUpdateTest, KindNineOnAspiSkipsTheReadBack) {
    VirtualDrive& drive = AddDrive(true, 9);
    const std::vector<uint8_t> image = Package(9);

    EXPECT_EQ(UpdateLegacyGeneration(), 0);
    // The model information is found only at the third place; no memory is compared.
    EXPECT_EQ(Road(), "12 80 80 80 12 30 1B 30 FF FF FF FF FF 42 12 ");
    EXPECT_TRUE(MemoryHolds(drive, image));
    EXPECT_EQ(drive.Legacy.Marker, "WIN2");
    EXPECT_EQ(drive.Revision, "1.07");
    EXPECT_EQ(State.TimedTransferActive, 0);
    EXPECT_TRUE(
        InOrder({Updating, "\rRemaining time is 29sec", "\rRemaining time is 00sec", Success}));
}

TEST_F(LegacyUpdateTest, MemoryThatAlreadyHoldsTheImageIsReportedAsLatest) {
    for (int32_t updateAll : {0, 1}) {
        ResetSim();
        State.TargetCount = 0;
        VirtualDrive& drive = AddDrive(false, 7);
        drive.Legacy.Memory = Package(7);
        State.UpdateAll = updateAll;
        EXPECT_EQ(UpdateLegacyGeneration(), 1);
        EXPECT_EQ(Writes(), 0u);
        EXPECT_TRUE(InOrder({Loaded, "\nFW is already latest version."}));
        if (updateAll == 1) {
            EXPECT_TRUE(Sim.Boxes.empty());
        } else {
            ASSERT_EQ(Sim.Boxes.size(), 1u);
            EXPECT_EQ(Sim.Boxes[0].Flags, 0x40u);
        }
    }
}

TEST_F(LegacyUpdateTest, ALineWithoutColonStopsTheRunBeforeAnythingIsWritten) {
    AddDrive(false, 7);
    Package(7);
    const std::string text = ":0400000001020304F2\r\nnot a record\r\n:00000001FF\r\n";
    SimPutFile("QX510107.HEX", std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(UpdateLegacyGeneration(), -1);
    EXPECT_EQ(Sim.Console, "\r\nStart Charactor is not fouund.\r\nFailed to load HEX file.");
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(LegacyUpdateTest, AnImageSizeThatDoesNotFitRefusesTheTargetBeforeAnyFileIsRead) {
    for (const auto size : {0x200000, 0x800, 0}) {
        ResetSim();
        State.TargetCount = 0;
        PlatformFreeBlock(State.ImageBuffer);
        State.ImageBuffer = nullptr;
        AddDrive(true, 7);  // ImageBuffer of 2 MiB: no room behind a 2 MiB image
        Package(7);
        State.Definition.Entries[0].Size = size;
        EXPECT_EQ(UpdateLegacyGeneration(), 1) << size;
        EXPECT_EQ(Sim.Console, "\r\nDefinition file is illegal.") << size;
        EXPECT_TRUE(Sim.FileOpens.empty());
        EXPECT_EQ(Writes(), 0u);
    }
}

TEST_F(LegacyUpdateTest, EachFailingStepShowsItsMessageAndResult) {
    const struct {
        const char* name;
        bool aspi;
        int opcode;
        int bufferId;
        uint32_t nth;  // of the matching commands to fail; 0: all
        int32_t corruptAt;
        int result;
        std::string console;  // the tail of the console
        bool errorBox;
    } cases[] = {
        {"inquiry on ASPI", true, 0x12, -1, 0, -1, 1, "\nFailed to execute Inquiry Command.", true},
        {"model information", false, 0x3C, 0x80, 0, -1, 1,
         "\r\nError Code : 052400\nFailed to get a drive information.", true},
        {"prepare", false, 0x3B, 0x30, 1, -1, 2, "\r\nFailed to move to the update mode.", false},
        {"chunk", false, 0x3B, 0xFF, 3, -1, -1,
         "\nSense Code : 05-24-00\r\nFailed to transfer the FW code.", false},
        {"flash", false, 0x3B, 0x42, 0, -1, 2, "\r\nFailed to update FW.", false},
        {"stop unit is not examined", false, 0x1B, -1, 0, -1, 0, Success, false},
        {"read-back differs", false, -1, -1, 0, 0x9000, 1, "\r\nVerify error occured.", false},
    };
    for (const auto& c : cases) {
        ResetSim();
        State.TargetCount = 0;
        PlatformFreeBlock(State.ImageBuffer);
        State.ImageBuffer = nullptr;
        VirtualDrive& drive = AddDrive(c.aspi, 7);
        Package(7);
        if (c.opcode >= 0) {
            VirtualDriveFault fault = CheckConditionOn(c.opcode, 0x05, 0x24, 0x00);
            fault.BufferId = c.bufferId;
            fault.Times = -1;
            if (c.nth != 0) {
                fault.Times = 1;
                // Count only the matching commands: skip the first nth - 1 of them.
                for (uint32_t i = 1; i < c.nth; ++i) {
                    VirtualDriveFault pass = fault;
                    pass.Effect = VirtualFaultEffect::Delay;
                    drive.Faults.push_back(pass);
                }
            }
            drive.Faults.push_back(fault);
        }
        drive.Legacy.FlashCorruptsAt = c.corruptAt;
        EXPECT_EQ(UpdateLegacyGeneration(), c.result) << c.name;
        const std::string& console = Sim.Console;
        EXPECT_TRUE(
            console.size() >= c.console.size() &&
            console.compare(console.size() - c.console.size(), std::string::npos, c.console) == 0)
            << c.name << ": " << console;
        EXPECT_EQ(Sim.Boxes.size(), c.errorBox ? 1u : 0u) << c.name;
        if (c.errorBox && !Sim.Boxes.empty()) {
            EXPECT_EQ(Sim.Boxes[0].Flags, 0x10u) << c.name;
        }
    }
}

}  // namespace

namespace {

// ---- The whole run ------------------------------------------------------------------------

// The built-in definition is of the current generation: the run is given a legacy one in its
// place before the probe.
int ProbeWithLegacyDefinition() {
    DefineEntry(7, "1.07");
    return ProbeHost();
}

class LegacyRunTest : public SimTest {};

TEST_F(LegacyRunTest, TheRunDriverHandsALegacyTargetToTheLegacyProcedure) {
    VirtualDrive& drive = MakeLegacyDrive(SimAttachDrive('E'), 7, "1.05");
    const std::vector<uint8_t> image = MakeImage(7, "1.07", 1);
    const std::string text = HexText(image);
    SimPutFile("QX510107.HEX", std::vector<uint8_t>(text.begin(), text.end()));
    RunProcedures procedures = RealProcedures;
    procedures.ProbeHost = ProbeWithLegacyDefinition;
    Sim.BoxAnswers = {6, 1};  // the drive's own question, then the closing box

    EXPECT_EQ(RunProgram(procedures), 0);
    EXPECT_EQ(drive.Revision, "1.07");
    EXPECT_EQ(0, std::memcmp(drive.Legacy.Memory.data(), image.data(), image.size()));
    EXPECT_TRUE(InOrder(
        {"\r\nStart updating the device No.1.", Success, "\r\nUpdate operation is completed."}));
    EXPECT_EQ(Sim.BlocksHeld, 0);
}

}  // namespace
