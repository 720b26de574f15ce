#include <algorithm>
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
    // The trace as opcodes, buffer commands as their buffer ids.
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
    static size_t Writes() {
        return std::count_if(Sim.Trace.begin(), Sim.Trace.end(),
                             [](const SimCommandRecord& r) { return r.Cdb[0] == 0x3B; });
    }
};

bool Holds(const VirtualDrive& drive, const std::vector<uint8_t>& image) {
    return drive.Legacy.Memory.size() >= image.size() &&
           std::memcmp(drive.Legacy.Memory.data(), image.data(), image.size()) == 0;
}

const char* const Loaded = "\r\nF/W file load success.";
const char* const Updating =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.";
const char* const Success = "\nSuccess to update the firmware.";

// Kind 7 on pass-through reads the memory back before and after; kind 9 on ASPI does not and
// counts down the full 30 seconds.
TEST_F(LegacyUpdateTest, WholeUpdateByKindAndTransport) {
    const struct {
        bool aspi;
        int kind;
        const char *road, *marker, *countdown;
    } cases[] = {
        // Inquiry, model info, identity, old memory, prepare, stop, prepare, chunks + tail,
        // flash, new memory, identity.
        {false, 7, "12 80 12 80 80 80 80 30 1B 30 FF FF FF FF FF 42 80 80 80 80 12 ", "WIN ",
         "\rRemaining time is "},
        {true, 9, "12 80 80 80 12 30 1B 30 FF FF FF FF FF 42 12 ", "WIN2",
         "\rRemaining time is 29sec"},
    };
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(c.aspi, c.kind);
        const std::vector<uint8_t> image = Package(c.kind);
        EXPECT_EQ(UpdateLegacyGeneration(), 0);
        EXPECT_EQ(Road(), c.road);
        EXPECT_TRUE(Holds(drive, image));
        EXPECT_EQ(drive.Revision, "1.07");
        EXPECT_EQ(drive.Legacy.Marker, c.marker);
        EXPECT_TRUE(InOrder({Loaded, "\nCurrent Revision>> KESTREL DVD-RW  QXR-510  1.05", Loaded,
                             Updating, c.countdown, "00sec",
                             "\nNew Revision    >> KESTREL DVD-RW  QXR-510  1.07", Success}))
            << Sim.Console;
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyUpdateTest, EachDriveAskedForOnItsOwnIsWrittenOnlyAfterYes) {
    State.UpdateAll = 0;
    AddDrive(false, 7);
    Package(7);
    for (int answer : {0, 7, 6}) {  // a box not shown, No, then Yes
        Sim.Boxes.clear();
        Sim.Trace.clear();
        Sim.BoxAnswers = {answer};
        EXPECT_EQ(UpdateLegacyGeneration(), answer == 6 ? 0 : 7) << answer;
        ASSERT_EQ(Sim.Boxes.size(), 1u);
        EXPECT_EQ(Sim.Boxes[0].Flags, 0x24u);
        EXPECT_EQ(Sim.Boxes[0].Text, "\r\nDo you update F/W ?");
        EXPECT_EQ(Writes() != 0, answer == 6) << answer;
    }
}

TEST_F(LegacyUpdateTest, PatchDriveSendsThePatchBehindItsMarker) {
    VirtualDrive& drive = AddDrive(true, 7, "1.06");
    drive.Product = "DVD-ROM QXD-416 ";
    const std::vector<uint8_t> image = Package(7);
    DefineEntry(7, "1.07", "DVD-ROM QXD-416 ");
    std::vector<uint8_t> patch(PatchLength);
    for (size_t i = 0; i < patch.size(); ++i) patch[i] = static_cast<uint8_t>(0xC0 + i);
    PutText("G6PATCH.HEX", HexText(patch, 0x20000));
    EXPECT_EQ(UpdateLegacyGeneration(), 0);
    EXPECT_TRUE(InOrder({Loaded, "\r\nG6 Patch load success.", Loaded, Updating, Success}));
    std::vector<uint8_t> behind = {'W', 'I', 'N', ' '};  // "WIN " on ASPI too, then the patch
    behind.insert(behind.end(), patch.begin() + 4, patch.begin() + 16);
    EXPECT_EQ(drive.Legacy.Behind, behind);
    EXPECT_TRUE(Holds(drive, image));
}

TEST_F(LegacyUpdateTest, MemoryThatAlreadyHoldsTheImageIsReportedAsLatest) {
    for (int32_t updateAll : {0, 1}) {
        VirtualDrive& drive = AddDrive(false, 7);
        drive.Legacy.Memory = Package(7);
        State.UpdateAll = updateAll;
        EXPECT_EQ(UpdateLegacyGeneration(), 1);
        EXPECT_EQ(Writes(), 0u);
        EXPECT_TRUE(InOrder({Loaded, "\nFW is already latest version."}));
        ASSERT_EQ(Sim.Boxes.size(), updateAll ? 0u : 1u);
        EXPECT_EQ(Sim.Boxes.empty() ? 0u : Sim.Boxes[0].Flags, updateAll ? 0u : 0x40u);
    }
}

TEST_F(LegacyUpdateTest, ALineWithoutColonStopsTheRunBeforeAnythingIsWritten) {
    AddDrive(false, 7);
    Package(7);
    PutText("QX510107.HEX", Record(0, 0, {1, 2, 3, 4}) + "not a record\r\n" + End);
    EXPECT_EQ(UpdateLegacyGeneration(), -1);
    EXPECT_EQ(Sim.Console, "\r\nStart Charactor is not fouund.\r\nFailed to load HEX file.");
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(LegacyUpdateTest, AnImageSizeThatDoesNotFitRefusesBeforeAnyFileIsRead) {
    for (const auto size : {0x200000, 0x800, 0}) {  // ASPI: a 2 MiB image block
        AddDrive(true, 7);
        Package(7);
        State.Definition.Entries[0].Size = size;
        EXPECT_EQ(UpdateLegacyGeneration(), 1) << size;
        EXPECT_EQ(Sim.Console, "\r\nDefinition file is illegal.") << size;
        EXPECT_TRUE(Sim.FileOpens.empty());
        EXPECT_EQ(Writes(), 0u);
    }
}

// A failed command at each step is the campaign's (tests/campaign); here an identity that
// cannot be read on ASPI (an error box), and a flash that did not take (found on read-back).
TEST_F(LegacyUpdateTest, UnreadableIdentityAndVerifyError) {
    for (const bool aspi : {true, false}) {
        VirtualDrive& drive = AddDrive(aspi, 7);
        Package(7);
        if (aspi) {
            drive.Faults.push_back(CheckConditionOn(0x12, 0x05, 0x24, 0x00));
            drive.Faults.back().Times = -1;
        } else {
            drive.Legacy.FlashCorruptsAt = 0x9000;
        }
        EXPECT_EQ(UpdateLegacyGeneration(), 1);
        const std::string tail =
            aspi ? "\nFailed to execute Inquiry Command." : "\r\nVerify error occured.";
        EXPECT_EQ(Sim.Console.substr(Sim.Console.size() - tail.size()), tail);
        EXPECT_EQ(Sim.Boxes.size(), aspi ? 1u : 0u);
        EXPECT_TRUE(!aspi || Sim.Boxes[0].Flags == 0x10u);
    }
}

}  // namespace
