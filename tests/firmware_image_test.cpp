#include "update/firmware_image.h"

#include <string>
#include <vector>

#include "console/catalogue.h"
#include "run/update_definition.h"
#include "sample_package.h"
#include "test_support.h"
#include "update/drive_identity.h"
#include "virtual_drive.h"

namespace {

constexpr uint32_t ErrorBox = 0x10;
constexpr uint32_t InformationBox = 0x40;

// The built-in definition selected for one drive at D: on pass-through, an 8 MiB image buffer
// and the drive's sample package in the current directory.
class ImageTest : public SimTest {
protected:
    VirtualDrive* Drive = nullptr;
    std::vector<uint8_t> Buffer;
    SamplePackage Package;

    void SetUp() override {
        SimTest::SetUp();
        Drive = &SimAttachDrive('D');
        Attach();
    }
    void Attach() {
        FillUpdateDefinition();
        SelectDefinitionEntry(0);
        State.TargetCount = 1;
        State.TargetList[0].DriveLetter = 'D';
        State.CommandTimeout = 1000;
        State.UpdateAll = 1;
        if (State.ImageBuffer == nullptr) {  // the host probe has not allocated one
            Buffer.assign(0x800000, 0xAA);
            State.ImageBuffer = Buffer.data();
            State.ImageBufferSize = static_cast<uint32_t>(Buffer.size());
        }
        Package = SamplePackageFor(*Drive);
    }
    std::vector<uint32_t> BoxFlags() const {
        std::vector<uint32_t> flags;
        for (const SimBoxRecord& box : Sim.Boxes) flags.push_back(box.Flags);
        return flags;
    }
};

std::string MessageText(int code) {
    switch (code) {
        case 39:
            return "\r\nSelected file is illegal kernel file.";
        case 40:
            return "\r\nSelected file is illegal fw file.";
        case 69:
            return "\r\nSelected file is too old fw file.";
        default:
            return "";
    }
}

TEST_F(ImageTest, LoadChecksTheFileByItself) {
    struct Case {
        ImagePart part;
        const char *model, *date;  // nullptr: as the package has it
        char kind;                 // 0: as the package has it
        const char* kernelEdition;
        int64_t size;  // -1: as the package has it
        int message;   // refused with this error; 0 loaded
        uint32_t imageDate;
    };
    const ImagePart N = ImagePartNormal, K = ImagePartKernel;
    const char* P = "Vantrel DVD-RW  VR-100  ";
    // clang-format off
    const Case cases[] = {
        {N, nullptr, nullptr, 0, nullptr, -1, 0, 0x20080725},
        {N, nullptr, "08/07/24", 0, nullptr, -1, 69, 0x20080724},
        {N, nullptr, nullptr, 'P', nullptr, -1, 0, 0x20080725},
        {N, nullptr, nullptr, 'K', nullptr, -1, 40, 0x20080725},
        {N, nullptr, nullptr, 0, "COMPO   ", -1, 40, 0x20080725},
        {N, nullptr, nullptr, 0, nullptr, 340, 0, 0x20080725},  // the header and nothing more
        {N, nullptr, nullptr, 0, nullptr, 339, 40, 0},
        {N, nullptr, nullptr, 0, nullptr, 0, 40, 0},
        {N, P, "Jul25 2008", 0, nullptr, -1, 0, 0x20080725},
        {K, nullptr, "01/01/01", 0, nullptr, -1, 0, 0},  // the maker's kernels are not dated
        {K, nullptr, nullptr, 'N', nullptr, -1, 39, 0},
        {K, nullptr, nullptr, 0, "BRAVO   ", -1, 39, 0},
        {K, nullptr, nullptr, 0, nullptr, 0x1FFFF, 39, 0},
        {K, P, "Jul24 2008", 0, nullptr, -1, 69, 0x20080724},
        {K, P, "Jul25 2008", 0, nullptr, -1, 0, 0x20080725},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        State.ImageSize = 0x200000;
        SampleImage& image = c.part == ImagePartNormal ? Package.Normal : Package.Kernel;
        if (c.model != nullptr) image.ModelIdentity = c.model;
        if (c.date != nullptr) image.DateText = c.date;
        if (c.kind != 0) image.PartKind = c.kind;
        if (c.kernelEdition != nullptr) image.KernelModelName = c.kernelEdition;
        if (c.size >= 0) image.Size = static_cast<uint32_t>(c.size);
        PutSamplePackage(Package);
        EXPECT_EQ(LoadFirmwareImage(c.part), c.message != 0 ? -1 : 0);
        EXPECT_EQ(Sim.Console, MessageText(c.message));
        EXPECT_EQ(BoxFlags(), std::vector<uint32_t>(c.message != 0 ? 1 : 0, ErrorBox));
        EXPECT_EQ(State.ImageDate, c.imageDate);
        const char* name = c.part == ImagePartNormal ? "S0814001.122" : "S0814000.122";
        EXPECT_EQ(Sim.FileOpens, std::vector<std::string>{name});
        EXPECT_EQ(Sim.FilesOpen, 0);
        if (c.message != 0) continue;
        std::vector<uint8_t> expected = BuildSampleImage(image);
        expected.resize(Buffer.size(), 0xAA);
        EXPECT_TRUE(Buffer == expected);
        EXPECT_EQ(State.NewRevision, 0x122);
        // Only the normal part sets the size to transfer and the revision the messages show.
        const bool normal = c.part == ImagePartNormal;
        EXPECT_EQ(State.ImageSize, normal ? int32_t(image.Size) : 0x200000);
        EXPECT_EQ(std::string(State.NewRevisionText, 5), normal ? "1.22 " : std::string(5, '\0'));
    }
}

// Refused without a message of its own (the caller shows 11 or 72), and a file larger than the
// buffer is not read at all.
TEST_F(ImageTest, UnreadableFilesLoadNothing) {
    struct Case {
        uint32_t bufferSize, fileSize, openError;
        bool readFails, present;
        int result;
    };
    const Case cases[] = {
        {0x200000, 0x200000, 0, false, true, 0},  {0x200000, 0x200001, 0, false, true, -1},
        {0x800000, 0x800001, 0, false, true, -1}, {0x800000, 0x200000, 0, false, false, -1},
        {0x800000, 0x200000, 5, false, true, -1}, {0x800000, 0x200000, 0, true, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        State.ImageBufferSize = c.bufferSize;
        if (c.present) {
            Package.Normal.Size = c.fileSize;
            SimFile& file = SimPutFile(Package.NormalName, BuildSampleImage(Package.Normal));
            file.OpenError = c.openError;
            file.ReadFails = c.readFails;
        }
        EXPECT_EQ(LoadFirmwareImage(ImagePartNormal), c.result);
        EXPECT_EQ(Sim.Console, "");
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.FilesOpen, 0);
        if (c.result != 0 && !c.readFails) {
            EXPECT_EQ(Buffer[0], 0xAA);
            EXPECT_EQ(Buffer[c.bufferSize - 1], 0xAA);
        }
    }
}

// The drive's hardware (the image's is "SAT 0001"), editions, revision and date against the
// package's 1.22 of 08/07/25.
TEST_F(ImageTest, ValidationTestsInTheirOrder) {
    struct Case {
        const char *hardware, *kernelEdition, *normalEdition, *imageNormalEdition, *revision, *date;
        int32_t kind, partsFlag, updateAll;
        int result;
        int message;
        uint32_t box;          // 0: console only
        int32_t editionClass;  // 0x55: left as it was
    };
    const char *S = "SAT 0001", *G = "GENERAL ", *B = "BRAVO   ";
    // clang-format off
    const Case cases[] = {
        {S, G, G, G, "1.20", "08/07/25", 0x100D, 0, 1, 0, 0, 0, 0x100},
        {S, "COMPO   ", G, G, "1.20", "08/07/25", 0x100D, 0, 1, 0, 0, 0, -1},
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x100D, 0, 1, -1, 1, ErrorBox, 0x55},
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x1040, 0, 1, 0, 0, 0, 0x100},  // kernel part brings it
        {"SAT 0002", G, G, G, "1.20", "08/07/25", 0x104F, 1, 1, -1, 1, 0, 0x55},
        {"SCSI0001", G, G, G, "1.20", "08/07/25", 0x1040, 0, 1, 0, 0, 0, 0x300},
        {S, B, G, G, "1.20", "08/07/25", 0x100D, 0, 1, -1, 37, ErrorBox, 0x55},
        {S, G, B, G, "1.20", "08/07/25", 0x100D, 0, 1, -1, 3, ErrorBox, 0x55},
        {S, G, B, B, "1.20", "08/07/25", 0x100D, 0, 1, 0, 0, 0, 0x100},
        {S, G, " RAVO   ", G, "0.99", "09/01/01", 0x100D, 0, 1, 0, 0, 0, 0x55},  // no normal part
        {S, G, G, G, "1.22", "08/07/25", 0x100D, 0, 1, 1, 54, 0, 0x55},
        {S, G, G, G, "1.22", "08/07/25", 0x100D, 0, 0, 1, 54, InformationBox, 0x55},
        {S, G, G, G, "1.22", "08/07/24", 0x100D, 0, 1, 0, 0, 0, 0x100},
        {S, G, G, G, "1.21", "08/08/01", 0x100D, 0, 1, 0, 0, 0, 0x100},
        {S, G, G, G, "1.23", "08/07/24", 0x100D, 0, 1, 0, 0, 0, 0x100},
        {S, G, G, G, "0.99", "08/07/01", 0x100D, 0, 1, -1, 73, ErrorBox, 0x55},
        {S, G, G, G, "0000", "08/07/01", 0x100D, 0, 1, 0, 0, 0, 0x100},
    };
    // clang-format on
    for (const Case& c : cases) {
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
        State.UpdateAll = c.updateAll;
        State.EditionClass = 0x55;
        ASSERT_EQ(LoadFirmwareImage(ImagePartNormal), 0);
        ASSERT_EQ(ReadDriveIdentity(IdentityPhaseBefore), 0);
        const size_t before = Sim.Console.size();
        EXPECT_EQ(ValidateFirmwareImage(), c.result);
        const std::string shown = Sim.Console.substr(before);
        if (c.message == 0) {
            EXPECT_EQ(shown, "");
        } else {
            EXPECT_EQ(shown, std::string(MessageTextEn[c.message]));
        }
        EXPECT_EQ(BoxFlags(), std::vector<uint32_t>(c.box != 0 ? 1 : 0, c.box));
        EXPECT_EQ(State.EditionClass, c.editionClass);
    }
}

TEST_F(ImageTest, ValidationRefusesWithoutTheVendorPage) {
    PutSamplePackage(Package);
    ASSERT_EQ(LoadFirmwareImage(ImagePartNormal), 0);
    VirtualDriveFault fault;
    fault.Opcode = 0x3C;
    Drive->Faults.push_back(fault);
    EXPECT_EQ(ValidateFirmwareImage(), 2);
    EXPECT_EQ(Sim.Console, "\nFailed to get a drive information.");
    EXPECT_EQ(BoxFlags(), std::vector<uint32_t>{ErrorBox});
}

// With the package's kernel image ("0000", 08/07/25) loaded and the drive on its kernel.
TEST_F(ImageTest, KernelNeedsWritingUnlessTheDriveRunsIt) {
    struct Case {
        const char *revision, *date;
        int32_t kind;
        bool inquiryFails;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {"0000", "08/07/25", 0x100D, false, 1, "\nNeed not to update the Kernel."},
        {"0000", "08/07/26", 0x100D, false, 0, ""},
        {"0001", "08/07/25", 0x100D, false, 0, ""},
        {"0000", "08/07/25", 0x1003, false, 0, ""},  // that kind always writes it
        {"0000", "08/07/25", 0x100D, true, -1, "\nFailed to execute Inquiry Command."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        SetUp();
        Drive->Mode = VirtualDriveMode::Kernel;
        Drive->KernelRevision = c.revision;
        Drive->KernelDateText = c.date;
        Package.Kernel.KernelModeRevision = "0000";
        PutSamplePackage(Package);
        State.CurrentKind = c.kind;
        ASSERT_EQ(LoadFirmwareImage(ImagePartKernel), 0);
        if (c.inquiryFails) {
            VirtualDriveFault fault;
            fault.Opcode = 0x12;
            Drive->Faults.push_back(fault);
        }
        EXPECT_EQ(CheckKernelNeedsUpdate(), c.result);
        EXPECT_EQ(Sim.Console, c.message);
        EXPECT_TRUE(Sim.Boxes.empty());
    }
}

}  // namespace
