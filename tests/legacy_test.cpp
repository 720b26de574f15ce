// The older generation's update: the image checks, the Intel HEX files, the transfer and the
// timed flash, and whole updates of one drive.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "discovery/host_probe.h"
#include "legacy_test_support.h"
#include "platform/platform_device.h"
#include "run/run_driver.h"
#include "test_support.h"
#include "update/hex_image.h"
#include "update/legacy_generation.h"

namespace {

using namespace legacy_test;

class LegacyValidateTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.ImageBuffer = PlatformAllocateBlock(ImageLength);
        State.ImageBufferSize = ImageLength;
    }
    void TearDown() override { PlatformFreeBlock(State.ImageBuffer); }
    // A drive at 1.05 of `kind` whose memory holds what an image of the kind holds, and the
    // image of 1.07 in ImageBuffer.
    void Prepare(int kind) {
        ResetSim();
        DefineEntry(kind, "1.07");
        SelectDefinitionEntry(0);
        std::memcpy(State.InquiryData + 8, "KESTREL DVD-RW  QXR-510 1.05", 28);
        State.DriveRevisionNumber = 0x105;
        const std::vector<uint8_t> image = MakeImage(kind, "1.07", 1);
        std::memcpy(State.ImageBuffer, image.data(), image.size());
        const KindPlaces at = PlacesOf(kind);
        const bool plain = kind == 8 || kind == 10;
        std::memcpy(State.DriveModelCode,
                    plain ? reinterpret_cast<const uint8_t*>(ModelCode) : &image[at.Model], 16);
        std::memcpy(State.DriveCpuType, &image[at.Cpu], 16);
    }
};

TEST_F(LegacyValidateTest, EachCheckOfEachKind) {
    const char* const m4 = "\nFW is already latest version.";
    const char* const m40 = "\r\nSelected file is illegal fw file.";
    const char* const m49 = "\r\nCurrent Firmware is not supported by this program.";
    const char* const m64 = "\nModel code is not matched.";
    const char* const m65 = "\nCPU type is not matched.";
    for (int kind : {7, 8, 9, 10, 11, 3}) {
        const KindPlaces at = PlacesOf(kind);
        const bool shortFields = kind == 8 || kind == 10;  // the image compares 12 bytes
        const uint32_t imageLength = shortFields ? 12 : 16;
        // Drive CPU bytes that count: all of S0, 12 for kind 10, the entry's 6 for the others.
        const uint32_t cpuLength = kind == 9 || kind == 11 ? 16 : kind == 10 ? 12 : 6;
        auto flip = [](uint8_t* bytes, uint32_t offset) { return [=] { bytes[offset] ^= 0x01; }; };
        struct Mutation {
            std::function<void()> Apply;
            int Result;
            const char* Message;
        };
        std::vector<Mutation> cases = {
            {[] {}, 0, ""},
            {flip(State.InquiryData, 8), -1, m49},   // vendor
            {flip(State.InquiryData, 31), -1, m49},  // product end
            {[] { State.DriveRevisionNumber = 0x107; }, 1, m4},
            {[] { State.DriveRevisionNumber = 0x110; }, 1, m4},
            {flip(State.DriveModelCode, 15), -1, m64},
            {flip(State.DriveCpuType, cpuLength - 1), -1, m65},
            {flip(State.ImageBuffer, at.Model + imageLength - 1), -1, m64},
            {flip(State.ImageBuffer, at.Model), -1, m64},
            {flip(State.ImageBuffer, at.Cpu + imageLength - 1), -1, m40},
        };
        if (cpuLength < 16) cases.push_back({flip(State.DriveCpuType, cpuLength), 0, ""});
        if (shortFields) {
            cases.push_back({flip(State.ImageBuffer, at.Model + 12), 0, ""});
            cases.push_back({flip(State.ImageBuffer, at.Cpu + 12), 0, ""});
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            Prepare(kind);
            cases[i].Apply();
            State.NewRevision = 0x122;
            EXPECT_EQ(ValidateLegacyImage(), cases[i].Result) << "kind " << kind << " case " << i;
            EXPECT_EQ(Sim.Console, cases[i].Message) << "kind " << kind << " case " << i;
            EXPECT_TRUE(Sim.Boxes.empty());
            EXPECT_EQ(State.NewRevision, 0x107);
        }
    }
}

class LegacyMemoryTest : public LegacyDriveTest {};

std::vector<uint8_t> ReadCdb(uint32_t offset, uint32_t length) {
    return BufferCdb(0x3C, 0x80, offset, length);
}

TEST_F(LegacyMemoryTest, ModelInfoComesFromTheFirstPlaceThatHoldsIt) {
    const struct {
        uint32_t putAt;            // where the model code is put (0: nowhere)
        const uint8_t* signature;  // or a signature at 0x1F000
        uint32_t modelAt;          // where it is read from (0: not recognised)
        size_t reads;
    } cases[] = {
        {0x1000, nullptr, 0x1000, 1},
        {0x1010, nullptr, 0x1010, 1},
        {0x1C010, nullptr, 0x1C010, 2},
        {0x1C000, nullptr, 0, 3},  // byte 0 does not count
        {0, LegacySignatureModel9, 0x1F000, 3},
        {0, LegacySignatureModel11, 0x1F000, 3},
        {0, LegacySignatureModelOther, 0x1F000, 3},
        {0, LegacySignatureCpu, 0, 3},
    };
    const std::vector<std::vector<uint8_t>> cdbs = {ReadCdb(0x1000, 0x40), ReadCdb(0x1C000, 0x40),
                                                    ReadCdb(0x1F000, 0x20)};
    for (const auto& c : cases) {
        std::vector<uint8_t>& memory = AddDrive(false, 9).Legacy.Memory;
        std::memset(&memory[0x1F000], 0, 16);  // the kind-9 image's S1
        if (c.putAt != 0) std::memcpy(&memory[c.putAt], "KESTREL QX-777  ", 16);
        if (c.signature != nullptr) std::memcpy(&memory[0x1F000], c.signature, 16);
        ASSERT_EQ(ReadLegacyModelInfo(), 0) << std::hex << c.putAt;
        const uint8_t* model = c.modelAt ? &memory[c.modelAt] : nullptr;
        const uint8_t* const none = reinterpret_cast<const uint8_t*>("Not recognize   ");
        EXPECT_EQ(0, std::memcmp(State.DriveModelCode, model ? model : none, 16)) << c.putAt;
        EXPECT_EQ(0, std::memcmp(State.DriveCpuType, model ? model + 16 : none, 16)) << c.putAt;
        ASSERT_EQ(Sim.Trace.size(), c.reads) << c.putAt;
        for (size_t i = 0; i < c.reads; ++i) EXPECT_EQ(CdbOf(Sim.Trace[i]), cdbs[i]);
        EXPECT_EQ(Sim.Trace[0].TimeoutMs, 5000u);
    }
}

TEST_F(LegacyMemoryTest, CompareFindsEachKindOfDifferenceAndSkipsTheDrivesOwnBytes) {
    const struct {
        int32_t differsAt;  // -1: nowhere
        int result;
    } cases[] = {{-1, 0},      {0x03FF, -1}, {0x0400, 0},  {0x044F, 0},
                 {0x0450, -2}, {0x7FFF, -2}, {0x8000, -3}, {0x1FFFF, -3}};
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(false, 7);
        std::memcpy(State.ImageBuffer, drive.Legacy.Memory.data(), ImageLength);
        if (c.differsAt >= 0) drive.Legacy.Memory[static_cast<uint32_t>(c.differsAt)] ^= 0x40;
        EXPECT_EQ(CompareDriveMemory(0x20000), c.result) << std::hex << c.differsAt;
        ASSERT_EQ(Sim.Trace.size(), 4u);
        for (uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(CdbOf(Sim.Trace[i]), ReadCdb(i * 0x8000, 0x8000));
    }
}

class LegacyHexTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        State.WorkBuffer = PlatformAllocateBlock(0x200000);
        State.WorkBufferSize = 0x200000;
        State.ImageBuffer = PlatformAllocateBlock(0x800000);
        State.ImageBufferSize = 0x800000;
        std::snprintf(State.Selection.ImageFileName, sizeof State.Selection.ImageFileName,
                      "QX510107.HEX");
        State.ImageSize = 0x20000;
    }
    void TearDown() override {
        PlatformFreeBlock(State.WorkBuffer);
        PlatformFreeBlock(State.ImageBuffer);
    }
    static bool Shown(const char* text) { return Sim.Console.find(text) != std::string::npos; }
    static std::vector<uint8_t> Image(uint32_t from, uint32_t to) {
        return {State.ImageBuffer + from, State.ImageBuffer + to};
    }
};

const char* const Loaded = "\r\nF/W file load success.";

TEST_F(LegacyHexTest, RecordsLandAtSegmentPlusAddressAndGapsStayFF) {
    PutText("QX510107.HEX", Record(0x0010, 0, {0x11, 0x22, 0x33}) + Segment(0x1000) +
                                Record(0x0010, 0, {0x44}) + Record(0x0020, 5, {0x99}) + End +
                                Record(0x0030, 0, {0x55}));
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(0x0F, 0x14), std::vector<uint8_t>({0xFF, 0x11, 0x22, 0x33, 0xFF}));
    EXPECT_EQ(State.ImageBuffer[0x10010], 0x44);  // type 02 of 0x1000, then address 0x0010
    EXPECT_EQ(State.ImageBuffer[0x10020], 0xFF);  // type 05 is ignored
    EXPECT_EQ(State.ImageBuffer[0x10030], 0xFF);  // behind the end record
    EXPECT_EQ(State.ImageBuffer[0x1FFFF], 0xFF);
    EXPECT_TRUE(Shown(Loaded));
    EXPECT_EQ(Sim.FilesOpen, 0);
}

TEST_F(LegacyHexTest, ReadingStopsOnceImageSizeDataBytesWereRead) {
    State.ImageSize = 4;
    PutText("QX510107.HEX",
            Record(0, 0, {1, 2}) + Record(2, 0, {3, 4}) + Record(0, 0, {9, 9}) + "garbage\n");
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(0, 5), std::vector<uint8_t>({1, 2, 3, 4, 0}));  // only ImageSize copied
    EXPECT_TRUE(Shown(Loaded));
}

TEST_F(LegacyHexTest, ALineWithoutStartCharacterFailsWithMessage16) {
    const std::string texts[] = {
        Record(0, 0, {1}) + "\r\n" + End,                   // an empty line
        Record(0, 0, {1}) + " " + Record(1, 0, {2}) + End,  // a blank before ':'
        ":10000000" + std::string(1091, '0') + "\n" + End,  // 1023 taken, the rest no ':'
    };
    for (const std::string& text : texts) {
        Sim.Console.clear();
        PutText("QX510107.HEX", text);
        EXPECT_NE(LoadHexImage(), 0);
        EXPECT_EQ(Sim.Console, "\r\nStart Charactor is not fouund.");
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyHexTest, OddDataFieldsReadAsTwoDigitHexAndNeverPastTheLine) {
    // The second line is shorter than its count: the first's leftovers are not its data.
    PutText("QX510107.HEX", Record(0, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}) +
                                ":04000800AA\n:0400100012G4 5\n" + End);
    ASSERT_EQ(LoadHexImage(), 0);
    EXPECT_EQ(Image(8, 20),
              std::vector<uint8_t>({0xAA, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0, 5, 0}));
}

TEST_F(LegacyHexTest, AByteOutsideWorkBufferRefusesTheFile) {
    State.WorkBufferSize = 0x10000;  // the real block is larger: a stray write would land
    State.ImageSize = 0x8000;
    PutText("QX510107.HEX",
            Record(0, 0, {1}) + Segment(0x0FFF) + Record(0x000E, 0, {7, 8, 9}) + End);
    EXPECT_NE(LoadHexImage(), 0);
    EXPECT_EQ(State.WorkBuffer[0xFFFF], 8);
    EXPECT_EQ(State.WorkBuffer[0x10000], 0);
    EXPECT_EQ(State.ImageBuffer[0], 0);  // nothing copied
    EXPECT_FALSE(Shown(Loaded));
}

TEST_F(LegacyHexTest, FileFailuresPrintTheirCause) {
    const struct {
        bool present;
        uint32_t openError;
        bool readFails;
        const char* line;
    } cases[] = {
        {false, 0, false, "\r\nFile Exception Error 2 : File not found"},
        {true, ERROR_ACCESS_DENIED, false, "\r\nFile Exception Error 5 : File access denied"},
        {true, 32, false, "\r\nFile Exception Error b : File sharing violation"},
        {true, 0, true, "\r\nFile Exception Error a : Hardware I/O error"},
    };
    for (const auto& c : cases) {
        ResetSim();
        if (c.present) {
            SimFile& file = SimPutFile("QX510107.HEX", {':', '0', '0'});
            file.OpenError = c.openError;
            file.ReadFails = c.readFails;
        }
        EXPECT_NE(LoadHexImage(), 0);
        EXPECT_EQ(Sim.Console, c.line);
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

TEST_F(LegacyHexTest, PatchFillsOnlyItsWindowOfImageBuffer) {
    State.ImageBuffer[0] = 0x5A;
    State.ImageBuffer[0x20FFF] = 0x5A;
    State.WorkBuffer[0x20FFF] = 0x5A;  // left over from an earlier load
    PutText("G6PATCH.HEX", Segment(0x2000) + Record(0, 0, {0xC1, 0xC2}) + End);
    ASSERT_EQ(LoadPatchHex(), 0);
    EXPECT_EQ(Sim.FileOpens.back(), "G6PATCH.HEX");
    EXPECT_EQ(Image(0x20000, 0x20002), std::vector<uint8_t>({0xC1, 0xC2}));
    EXPECT_EQ(State.ImageBuffer[0x20FFF], 0xFF);
    EXPECT_EQ(State.ImageBuffer[0], 0x5A);  // the main image is not the patch's business
    EXPECT_EQ(Sim.Console, "\r\nG6 Patch load success.");
}

class LegacyTransferTest : public LegacyDriveTest {};

std::vector<uint8_t> WriteCdb(uint8_t buffer, uint32_t offset, uint32_t length) {
    return BufferCdb(0x3B, buffer, offset, length);
}

TEST_F(LegacyTransferTest, ChunksThenTheTailWithTheSixteenBytesBehindTheImage) {
    const struct {
        int32_t size;
        std::vector<uint32_t> chunks;
    } cases[] = {
        {0x20000, {0, 0x8000, 0x10000, 0x18000}},
        {0x19000, {0, 0x8000, 0x10000}},
        {0x19001, {0, 0x8000, 0x10000, 0x18000}},
        {0x1000, {0}},  // at least one chunk
    };
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(false, 7);
        State.ImageSize = c.size;
        for (uint32_t i = 0; i < 0x21000; ++i) State.ImageBuffer[i] = static_cast<uint8_t>(i * 3);
        ASSERT_EQ(TransferLegacyImage(), 0) << std::hex << c.size;
        const uint32_t tail = static_cast<uint32_t>(c.size) - 0x1000;
        ASSERT_EQ(Sim.Trace.size(), c.chunks.size() + 2);
        EXPECT_EQ(CdbOf(Sim.Trace[0]), WriteCdb(0x30, 0, 0));
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(CdbOf(Sim.Trace[i + 1]), WriteCdb(0xFF, c.chunks[i], 0x8000));
        }
        EXPECT_EQ(CdbOf(Sim.Trace.back()), WriteCdb(0xFF, tail, 0x1010));
        const std::vector<uint8_t>& received = drive.Legacy.Received;
        ASSERT_GE(received.size(), tail + 0x1010);
        EXPECT_EQ(0, std::memcmp(received.data(), State.ImageBuffer, tail + 0x1010));
        EXPECT_EQ(0, std::memcmp(State.ImageBuffer + c.size, "WIN ", 4));
    }
}

TEST_F(LegacyTransferTest, MarkerForEachTransportIntelDriverAndPatchDrive) {
    // Index bits: 1 ASPI, 2 the Intel driver, 4 a patch drive.
    const char* const markers[] = {"WIN ", "WIN2", "WIN2", "WIN2", "WIN ", "WIN ", "WIN2", "WIN2"};
    for (int i = 0; i < 8; ++i) {
        VirtualDrive& drive = AddDrive(i & 1, 7);
        State.IntelAtaDriver = (i & 2) != 0;
        State.NeedsG6Patch = (i & 4) != 0;
        State.ImageSize = 0x20000;
        ASSERT_EQ(TransferLegacyImage(), 0);
        EXPECT_EQ(drive.Legacy.Marker, markers[i]) << i;
    }
}

// The count-down lines from `first` down to 0, as the console shows them.
std::string Countdown(int first) {
    std::string text = "\n";
    char line[40];
    for (int s = first; s >= 0; --s) {
        std::snprintf(line, sizeof line, "\rRemaining time is %02dsec", s);
        text += line;
    }
    return text;
}

TEST_F(LegacyTransferTest, TimedFlashCountsDownAndOnlyAFinishedFlashIsSuccess) {
    const struct {
        bool aspi;
        int kind;
        uint32_t flashMs;
        bool fails;
        int result, firstLine;
        uint32_t timeoutMs;  // pass-through: the command's; ASPI: the run's CommandTimeout
    } cases[] = {
        // ASPI always counts 30 s on the clock, and its poll ends the transfer.
        {true, 7, 2000, false, 0, 29, 0},
        {true, 9, 25000, false, 0, 29, 10000},
        {true, 7, 0, true, -1, 29, 0},
        {true, 7, 45000, false, -1, 29, 0},  // never ends within the 30 s
        // Pass-through counts from before the command: 8 s of it, then 1 s of the first step.
        {false, 7, 8000, false, 0, 21, 30000},
        {false, 9, 3000, false, 0, 6, 10000},
        {false, 11, 0, false, 0, 9, 10000},
        {false, 10, 29500, false, 0, 0, 30000},
    };
    for (const auto& c : cases) {
        VirtualDrive& drive = AddDrive(c.aspi, c.kind);
        State.ImageSize = 0x20000;
        ASSERT_EQ(TransferLegacyImage(), 0);
        Sim.Trace.clear();
        Sim.Sleeps.clear();
        Sim.Console.clear();
        drive.Legacy.FlashMs = c.flashMs;
        if (c.fails) drive.Faults.push_back(CheckConditionOn(0x3B, 0x04, 0x44, 0x00));
        State.CurrentKind = c.kind;
        const uint32_t start = Sim.ClockMs;
        const std::string name = std::to_string(c.aspi) + " kind " + std::to_string(c.kind);

        EXPECT_EQ(RunTimedFlash(), c.result) << name;
        EXPECT_EQ(Sim.Console, Countdown(c.firstLine)) << name;
        EXPECT_EQ(State.TimedTransferActive, 0) << name;
        EXPECT_EQ(Sim.TimerPeriodsHeld, 0u) << name;
        ASSERT_EQ(Sim.Trace.size(), 1u) << name;
        EXPECT_EQ(CdbOf(Sim.Trace[0]), WriteCdb(0x42, 0, 0)) << name;
        if (c.aspi) {
            EXPECT_EQ(Sim.ClockMs - start, 30000u) << name;
            EXPECT_EQ(Sim.Sleeps, std::vector<uint32_t>(30, 1000)) << name;
            EXPECT_EQ(State.CommandTimeout, c.timeoutMs) << name;
            EXPECT_EQ(Sim.HungWaits, 0u) << name;
        } else {
            EXPECT_GE(Sim.ClockMs - start, c.timeoutMs) << name;
            EXPECT_LT(Sim.ClockMs - start, c.timeoutMs + 1000) << name;
            EXPECT_EQ(Sim.Trace[0].TimeoutMs, c.timeoutMs) << name;
        }
    }
}

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

// On a battery below 25 % the drive is refused before its question (or, updating every
// drive, before its first write): not updated, nothing written, nothing held.
TEST_F(LegacyUpdateTest, LowBatteryRefusesTheDriveBeforeItsQuestion) {
    for (int updateAll : {0, 1}) {
        State.UpdateAll = updateAll;
        AddDrive(false, 7);
        Package(7);
        Sim.HasPowerStatus = true;
        Sim.PowerStatus = {0, 2, 12};
        Sim.BoxAnswers = {6};
        EXPECT_EQ(UpdateLegacyGeneration(), 1) << updateAll;
        EXPECT_TRUE(Sim.Boxes.empty()) << updateAll;
        EXPECT_EQ(Writes(), 0u) << updateAll;
        EXPECT_EQ(Sim.LowBatteryPercents, std::vector<int>{12}) << updateAll;
        EXPECT_TRUE(Sim.ExecutionStates.empty()) << updateAll;
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

// The image file is read again after the memory comparison, before the question: a file
// replaced since its check is a failed load (20, the run stops) and nothing is written; the
// same text again goes through.
TEST_F(LegacyUpdateTest, ReloadMustMatchWhatWasChecked) {
    for (const bool replaced : {true, false}) {
        SCOPED_TRACE(replaced);
        VirtualDrive& drive = AddDrive(false, 7);
        const std::vector<uint8_t> image = Package(7);
        const std::string text = HexText(replaced ? MakeImage(7, "1.07", 2) : image);
        SimFile* file = SimFindFile("QX510107.HEX");
        file->ReplacedAtOpen = 2;
        file->ReplacedBytes.assign(text.begin(), text.end());
        EXPECT_EQ(UpdateLegacyGeneration(), replaced ? -1 : 0);
        EXPECT_EQ(Writes() != 0, !replaced);
        EXPECT_EQ(Sim.Console.find(Updating) == std::string::npos, replaced);
        const std::string failed = "\r\nFailed to load HEX file.";
        EXPECT_EQ(
            Sim.Console.size() >= failed.size() &&
                Sim.Console.compare(Sim.Console.size() - failed.size(), failed.size(), failed) == 0,
            replaced)
            << Sim.Console;
        EXPECT_EQ(Holds(drive, image), !replaced);
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
