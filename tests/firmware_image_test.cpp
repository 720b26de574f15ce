#include "update/firmware_image.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/update_definition.h"
#include "console/catalogue.h"
#include "sample_package.h"
#include "test_support.h"
#include "update/drive_identity.h"
#include "virtual_drive.h"

namespace {

constexpr uint32_t Err = 0x10;

// The built-in definition selected for one drive at D: on pass-through, an 8 MiB image buffer
// and the drive's sample package (1.22 of 08/07/25, as old as the entry allows).
class ImageTest : public SimTest {
protected:
    VirtualDrive* Drive = nullptr;
    std::vector<uint8_t> Buffer;
    SamplePackage Package;

    void SetUp() override {
        SimTest::SetUp();
        Drive = &SimAttachDrive('D');
        FillUpdateDefinition();
        SelectDefinitionEntry(0);
        State.TargetCount = 1;
        State.TargetList[0].DriveLetter = 'D';
        State.CommandTimeout = 1000;
        State.UpdateAll = 1;
        Buffer.assign(0x800000, 0xAA);
        State.ImageBuffer = Buffer.data();
        State.ImageBufferSize = static_cast<uint32_t>(Buffer.size());
        Package = SamplePackageFor(*Drive);
    }
    // The text and box of the message shown since `from`, or "" and none.
    static void ExpectMessage(int code, uint32_t box, size_t from = 0) {
        EXPECT_EQ(Sim.Console.substr(from), code != 0 ? MessageTextEn[code] : "");
        std::vector<uint32_t> boxes;
        for (const SimBoxRecord& b : Sim.Boxes) boxes.push_back(b.Flags);
        EXPECT_EQ(boxes, std::vector<uint32_t>(box != 0 ? 1 : 0, box));
    }
};

TEST_F(ImageTest, LoadChecksTheFileByItself) {
    const ImagePart N = ImagePartNormal, K = ImagePartKernel;
    const char* P = "Vantrel DVD-RW  VR-100  ";
    const struct {
        ImagePart part;
        const char *model, *date;  // nullptr: as the package has it
        char kind;                 // 0: as the package has it
        const char* kernelEdition;
        int64_t size;  // -1: as the package has it
        int message;   // refused with this error; 0 loaded
        uint32_t imageDate;
    } cases[] = {
        // clang-format off
        {N, nullptr, "08/07/24", 0, nullptr, -1, 69, 0x20080724},
        {N, nullptr, nullptr, 'P', nullptr, -1, 0, 0x20080725},
        {N, nullptr, nullptr, 'K', nullptr, -1, 40, 0x20080725},
        {N, nullptr, nullptr, 0, "COMPO   ", -1, 40, 0x20080725},
        {N, nullptr, nullptr, 0, nullptr, 340, 0, 0x20080725},  // the header and nothing more
        {N, nullptr, nullptr, 0, nullptr, 339, 40, 0},
        {N, P, "Jul25 2008", 0, nullptr, -1, 0, 0x20080725},
        {K, nullptr, "01/01/01", 0, nullptr, -1, 0, 0},  // the maker's kernels are not dated
        {K, nullptr, nullptr, 'N', nullptr, -1, 39, 0},
        {K, nullptr, nullptr, 0, "BRAVO   ", -1, 39, 0},
        {K, nullptr, nullptr, 0, nullptr, 0x1FFFF, 39, 0},
        {K, P, "Jul24 2008", 0, nullptr, -1, 69, 0x20080724},  // the partner's are
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        State.ImageSize = 0x200000;
        State.Selection.Size = 0;  // an entry that names no size: the file's own checks alone
        SampleImage& image = c.part == N ? Package.Normal : Package.Kernel;
        if (c.model != nullptr) image.ModelIdentity = c.model;
        if (c.date != nullptr) image.DateText = c.date;
        if (c.kind != 0) image.PartKind = c.kind;
        if (c.kernelEdition != nullptr) image.KernelModelName = c.kernelEdition;
        if (c.size >= 0) image.Size = static_cast<uint32_t>(c.size);
        PutSamplePackage(Package);
        EXPECT_EQ(LoadFirmwareImage(c.part), c.message != 0 ? -1 : 0);
        ExpectMessage(c.message, c.message != 0 ? Err : 0);
        EXPECT_EQ(State.ImageDate, c.imageDate);
        EXPECT_EQ(Sim.FilesOpen, 0);
    }
}

// A normal image shorter than the entry's size is cut short: refused with 40 and both counts on
// standard error; the exact size and a longer one are taken, and the kernel image keeps its
// own minimum only.
TEST_F(ImageTest, NormalImageNotShorterThanTheEntrySays) {
    const ImagePart N = ImagePartNormal, K = ImagePartKernel;
    const struct {
        ImagePart part;
        uint32_t size;
        bool refused;
    } cases[] = {
        {N, 0x1FFFFF, true},  {N, 0x100000, true},  {N, 339, true},
        {N, 0x200000, false}, {N, 0x200001, false}, {K, 0x20000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.part << " " << c.size);
        SetUp();
        (c.part == N ? Package.Normal : Package.Kernel).Size = c.size;
        PutSamplePackage(Package);
        EXPECT_EQ(LoadFirmwareImage(c.part), c.refused ? -1 : 0);
        ExpectMessage(c.refused ? 40 : 0, c.refused ? Err : 0);
        char line[160];
        std::snprintf(line, sizeof line,
                      "odd-fwupdate: S0814001.122 is cut short: %u bytes read, 2097152 expected "
                      "by the package.\n",
                      static_cast<unsigned>(c.size));
        EXPECT_EQ(Sim.Errors, c.refused ? line : "");
        if (!c.refused) {
            EXPECT_EQ(State.LoadedImage.Bytes, c.size);
        }
    }
}

// A file larger than the buffer is refused without a message of its own (the caller shows 11 or
// 72), and not read at all.
TEST_F(ImageTest, AFileLargerThanTheBufferIsNotRead) {
    for (const uint32_t size : {0x200000u, 0x200001u}) {
        SCOPED_TRACE(size);
        SetUp();
        State.ImageBufferSize = 0x200000;
        Package.Normal.Size = size;
        PutSamplePackage(Package);
        EXPECT_EQ(LoadFirmwareImage(ImagePartNormal), size == 0x200000 ? 0 : -1);
        ExpectMessage(0, 0);
        EXPECT_EQ(Sim.FilesOpen, 0);
        EXPECT_EQ(Buffer[0] == 0xAA, size != 0x200000) << "nothing is read";
    }
}

// The drive's hardware (the image's is "SAT 0001"), editions, revision and date against the
// package's 1.22 of 08/07/25, in the order of the checks.
TEST_F(ImageTest, Validation) {
    const char *S = "SAT 0001", *G = "GENERAL ", *B = "BRAVO   ";
    const struct {
        const char *hardware, *kernelEdition, *normalEdition, *imageNormalEdition, *revision, *date;
        int32_t kind, partsFlag;
        int result, message;
        uint32_t box;          // 0: console only
        int32_t editionClass;  // 0x55: left as it was
    } cases[] = {
        // clang-format off
        {S, "COMPO   ", G, G, "1.20", "08/07/25", 0x100D, 0, 0, 0, 0, -1},
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x100D, 0, -1, 1, Err, 0x55},
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x1040, 0, 0, 0, 0, 0x100},  // the kernel part
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x104F, 1, -1, 1, 0, 0x55},
        {"SCSI0001", G, G, G, "1.20", "08/07/25", 0x1040, 0, 0, 0, 0, 0x300},
        {S, B, G, G, "1.20", "08/07/25", 0x100D, 0, -1, 37, Err, 0x55},
        {S, G, B, G, "1.20", "08/07/25", 0x100D, 0, -1, 3, Err, 0x55},
        {S, G, B, B, "1.20", "08/07/25", 0x100D, 0, 0, 0, 0, 0x100},
        {S, G, " RAVO   ", G, "0.99", "09/01/01", 0x100D, 0, 0, 0, 0, 0x55},  // no normal part
        {S, G, G, G, "1.22", "08/07/25", 0x100D, 0, 1, 54, 0, 0x55},
        {S, G, G, G, "1.22", "08/07/24", 0x100D, 0, 0, 0, 0, 0x100},
        {S, G, G, G, "1.21", "08/08/01", 0x100D, 0, 0, 0, 0, 0x100},
        {S, G, G, G, "0.99", "08/07/01", 0x100D, 0, -1, 73, Err, 0x55},
        {S, G, G, G, "0000", "08/07/01", 0x100D, 0, 0, 0, 0, 0x100},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        Drive->HardwareRevision = c.hardware;
        Drive->KernelEdition = c.kernelEdition;
        Drive->NormalEdition = c.normalEdition;
        Drive->Revision = c.revision;
        Drive->DateText = c.date;
        Package.Normal.NormalModelName = c.imageNormalEdition;
        PutSamplePackage(Package);
        State.CurrentKind = c.kind;
        State.Selection.PartsFlag = c.partsFlag;
        State.EditionClass = 0x55;
        ASSERT_EQ(LoadFirmwareImage(ImagePartNormal), 0);
        ASSERT_EQ(ReadDriveIdentity(IdentityPhaseBefore), 0);
        const size_t before = Sim.Console.size();
        EXPECT_EQ(ValidateFirmwareImage(), c.result);
        ExpectMessage(c.message, c.box, before);
        EXPECT_EQ(State.EditionClass, c.editionClass);
    }
    // Without the vendor page nothing is compared.
    SetUp();
    PutSamplePackage(Package);
    ASSERT_EQ(LoadFirmwareImage(ImagePartNormal), 0);
    VirtualDriveFault fault;
    fault.Opcode = 0x3C;
    Drive->Faults.push_back(fault);
    EXPECT_EQ(ValidateFirmwareImage(), 2);
    EXPECT_EQ(Sim.Console, MessageTextEn[0]);
    EXPECT_EQ(Sim.Boxes.at(0).Flags, Err);
}

}  // namespace
