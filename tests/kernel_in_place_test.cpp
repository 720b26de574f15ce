// The kernel image file is checked before anything is written, and a drive that already runs
// the package's kernel gets the normal part without the kernel chunks. (A second run after a
// power loss: tests/campaign; the retry after a reboot into the new kernel: tests/e2e.)
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "console/catalogue.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

constexpr int Yes = 6;
constexpr uint32_t QuestionBox = 0x24;  // Yes/No with the question mark

VirtualDrive* Drive = nullptr;
SamplePackage Package;
std::function<void()> OnWait;

SimFile& File(const std::string& name) {
    return *std::find_if(Sim.Files.begin(), Sim.Files.end(),
                         [&](const SimFile& f) { return f.Name == name; });
}

void PutKernel(const SampleImage& kernel) {
    SimPutFile(Package.KernelName, BuildSampleImage(kernel));
}

// Where a message's text first appears on the console; npos when it does not.
size_t At(uint32_t code) {
    return Sim.Console.find(MessageTextEn[code]);
}

size_t Count(uint8_t opcode, int mode = -1, int bufferId = -1) {
    return std::count_if(Sim.Trace.begin(), Sim.Trace.end(), [&](const SimCommandRecord& r) {
        return r.Cdb[0] == opcode && (mode < 0 || (r.Cdb[1] & 0x1F) == mode) &&
               (bufferId < 0 || r.Cdb[2] == bufferId);
    });
}

class KernelInPlaceTest : public SimTest {
protected:
    // One drive at D: running 1.21 of 2008/07/01; the package for 1.22 of 2008/07/25, whose
    // kernel reports "0000" dated 08/07/25 once it runs.
    void SetUp() override {
        SimTest::SetUp();
        OnWait = nullptr;
        Sim.PassTime = [](uint32_t) {
            if (OnWait) OnWait();
        };
        Drive = &SimAttachDrive('D');
        Drive->Revision = "1.21";
        Drive->DateText = "08/07/01";
        Package = SamplePackageFor(*Drive, "1.22", "08/07/25", 0x200000);
        // A kernel carries a revision of its own: the normal image's must be back in place
        // after the kernel file was checked.
        Package.Kernel.RevisionText = "0.90 ";
        PutSamplePackage(Package);
    }
    void TearDown() override {
        OnWait = nullptr;
        ReleaseRun();
        SimTest::TearDown();
    }
};

// A bad or missing kernel file (of the wrong kind: tests/e2e, bad_kernel_file) ends the run
// before message 82 and before any command that writes or switches, whatever mode the drive
// is in: 39 (a box) for a bad file, then 72 on the console, then 36. A file that turns bad
// after the switch is caught by the second load.
TEST_F(KernelInPlaceTest, KernelFileCheckedBeforeTheDriveIsTouched) {
    const struct {
        const char* name;
        std::function<void()> setup;
        bool illegal;   // message 39 before 72
        bool onKernel;  // the drive runs its kernel from the start
        size_t writes;  // WRITE BUFFER commands: none unless the file changed later
    } cases[] = {
        {"missing", [] { File(Package.KernelName).OpenError = 2; }, false, false, 0},
        {"of another edition, drive on its kernel",
         [] {
             Drive->Mode = VirtualDriveMode::Kernel;
             Drive->NormalPartPresent = false;
             SampleImage k = Package.Kernel;
             k.KernelModelName = "BRAVO   ";
             PutKernel(k);
         },
         true, true, 0},
        {"turned bad after the switch",
         [] {
             OnWait = [] {
                 if (Drive->Mode != VirtualDriveMode::Kernel || Drive->KernelChunks != 0) return;
                 SampleImage k = Package.Kernel;
                 k.PartKind = 'P';
                 PutKernel(k);
             };
         },
         true, false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.setup();
        Sim.BoxAnswers = {Yes, Yes, Yes, Yes};
        EXPECT_EQ(RunProgram(), 1);
        const size_t shown39 = At(39), shown72 = At(72), shown36 = At(36);
        ASSERT_NE(shown72, std::string::npos) << Sim.Console;
        EXPECT_EQ(shown39 != std::string::npos, c.illegal);
        if (c.illegal) {
            EXPECT_LT(shown39, shown72);
        }
        EXPECT_LT(shown72, shown36);
        EXPECT_EQ(Count(0x3B), c.writes);
        EXPECT_EQ(Count(0x3B, 7), 0u);
        // 82 is asked only when the file was good at the time. 39 is an error box, 72 a
        // console line.
        std::vector<std::string> boxes;
        bool asked = false;
        for (const SimBoxRecord& b : Sim.Boxes) {
            boxes.push_back(b.Text);
            if (b.Flags == QuestionBox) asked = true;
        }
        EXPECT_EQ(asked, c.writes != 0);
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), MessageTextEn[39]), c.illegal ? 1 : 0);
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), MessageTextEn[72]), 0);
        EXPECT_EQ(Drive->Mode == VirtualDriveMode::Kernel, c.onKernel || c.writes != 0);
    }
}

// With the kernel current, an INQUIRY that fails at the kernel check still stops the run
// before a normal chunk is sent.
TEST_F(KernelInPlaceTest, FailedInquiryAtTheKernelCheckStillStops) {
    Drive->Mode = VirtualDriveMode::Kernel;
    Drive->NormalPartPresent = false;
    Drive->KernelDateText = "08/07/25";
    // Enumeration, selection and identity each send INQUIRY; the fourth is the kernel check.
    VirtualDriveFault fault;
    fault.Opcode = 0x12;
    fault.Times = -1;
    Drive->Faults.push_back(fault);
    OnWait = nullptr;
    Sim.AskBox = [](const char*, const char*, uint32_t flags) {
        // Once 82 is answered, INQUIRY starts failing.
        if ((flags & 0xF0) == 0x20) {
            Drive->Faults.front().NthCommand = 0;
            return Yes;
        }
        return 1;
    };
    Drive->Faults.front().NthCommand = 0xFFFFFFFF;  // dormant until then
    EXPECT_EQ(RunProgram(), 1);
    EXPECT_NE(At(9), std::string::npos);
    EXPECT_EQ(At(10), std::string::npos);
    EXPECT_EQ(Count(0x3B, 7), 0u);
    EXPECT_LT(At(9), At(36));
}

}  // namespace
