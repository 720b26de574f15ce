#include "update/current_generation.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/update_definition.h"
#include "console/catalogue.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

VirtualDrive* Drive = nullptr;
SamplePackage Package;
std::function<void()> OnWait;  // acts in the middle of the procedure, at each wait

using Write = std::array<uint32_t, 4>;  // a WRITE BUFFER: mode, buffer id, offset, length

// The WRITE BUFFER commands sent.
std::vector<Write> Writes() {
    std::vector<Write> writes;
    for (const SimCommandRecord& r : Sim.Trace) {
        if (r.Cdb[0] != 0x3B) continue;
        writes.push_back({r.Cdb[1] & 0x1Fu, r.Cdb[2],
                          uint32_t{r.Cdb[3]} << 16 | uint32_t{r.Cdb[4]} << 8 | r.Cdb[5],
                          uint32_t{r.Cdb[7]} << 8 | r.Cdb[8]});
    }
    return writes;
}

// The commands of a complete update from normal mode.
std::vector<Write> CompleteUpdateWrites(uint32_t normalSize) {
    std::vector<Write> writes = {{2, 0xD4, 0x780, 2}, {4, 0xFF, 0, 256}};
    for (uint32_t at = 0; at < 0x20000; at += 0x8000) writes.push_back({7, 0xFE, at, 0x8000});
    for (uint32_t at = 0; at < normalSize; at += 0x8000) {
        writes.push_back({7, 0xF0, at, std::min(normalSize - at, 0x8000u)});
    }
    writes.push_back({5, 0xFF, 0, 256});
    return writes;
}

std::string ProgressLines(uint32_t size) {
    std::string lines;
    char line[32];
    for (uint32_t at = 0; at < size; at += 0x8000) {
        std::snprintf(line, sizeof line, "\rProcessing %u%%", at * 100 / size);
        lines += line;
    }
    return lines;
}

std::vector<uint32_t> BoxFlags() {
    std::vector<uint32_t> flags;
    for (const SimBoxRecord& b : Sim.Boxes) flags.push_back(b.Flags);
    return flags;
}

bool Shown(const std::string& text) {
    return Sim.Console.find(text) != std::string::npos;
}
bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

SimFile& File(const std::string& name) {
    return *std::find_if(Sim.Files.begin(), Sim.Files.end(),
                         [&](const SimFile& f) { return f.Name == name; });
}

VirtualDriveFault& Fail(int opcode, int mode = -1, int bufferId = -1, uint8_t key = 0x04,
                        uint8_t asc = 0x44) {
    Drive->Faults.emplace_back();
    VirtualDriveFault& fault = Drive->Faults.back();
    fault.Opcode = opcode;
    fault.Mode = mode;
    fault.BufferId = bufferId;
    fault.SenseKey = key;
    fault.Asc = asc;
    return fault;
}

// A model that wants the unlock exchange before the switch, with the entry made to fit it.
void UseUnlockingDrive() {
    Drive->Product = "DVD-RW  QXR-730D";
    Drive->Revision = "1.30";
    Drive->RequiresUnlock = true;
    std::memcpy(State.Definition.Entries[0].Product, "DVD-RW  QXR-730D", 16);
}

// A kind 0x1006 drive at `revision` without its normal part, its entry with the one-way warning.
void EarlyDrive(const char* revision) {
    Drive->Kind = 0x1006;
    Drive->Revision = revision;
    Drive->NormalEdition = "        ";
    State.Definition.Entries[0].KindCode = 0x1006;
    State.Definition.Entries[0].OneWayWarning = 1;
}

// The run as far as the target loop; then the procedure alone, with the console, boxes, waits
// and trace of the procedure only. `before` runs in between.
int Update(const std::function<void()>& before = {}, const std::vector<int>& answers = {}) {
    State.OemCodePage = Sim.OemCodePage;
    FillUpdateDefinition();
    ProbeHost();
    EXPECT_EQ(EnumerateTargets(), 1);
    State.UpdateAll = 0;
    State.SelectedTarget = 0;
    if (before) before();
    Sim.BoxAnswers.assign(answers.begin(), answers.end());
    Sim.Console.clear();
    Sim.Boxes.clear();
    Sim.Trace.clear();
    Sim.Waits.clear();
    return UpdateCurrentGeneration();
}

void ExpectFlashHoldsPackage() {
    const std::vector<uint8_t> kernel = BuildSampleImage(Package.Kernel);
    const std::vector<uint8_t> normal = BuildSampleImage(Package.Normal);
    ASSERT_GE(Drive->NormalFlash.size(), normal.size());
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + 0x20000, Drive->KernelFlash.begin()));
    EXPECT_TRUE(std::equal(normal.begin(), normal.end(), Drive->NormalFlash.begin()));
}

constexpr uint32_t Ask = 0x24, Err = 0x10, Info = 0x40, Warn = 0x30;  // box flags

const char* const NowUpdating =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.";
const char* const NewLine = "\nNew Revision    >> KESTREL DVD-RW  QXR-930D 1.22  08/07/25";
const char* const ClosingEn =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
const char* const Rebooting = "\r\nNow internal rebooting with new firmware....";
const char* const Success = "\nSuccess to update the firmware.";
const char* const RetryText = "\nFailed to move to the normal mode.\r\nDo you retry to update ?";

class UpdateTest : public SimTest {
protected:
    void SetUp() override { Start(false); }
    void TearDown() override {
        ReleaseRun();
        SimTest::TearDown();
    }
    // A fresh PC with one drive running 1.21 of 2008/07/01, at D: or, with the Intel ATA
    // driver on Windows 98, at target 0 of the "intelata" adapter; the package for 1.22 of
    // 2008/07/25 at hand.
    void Start(bool intelAspi, uint32_t normalSize = 0x200000) {
        SimTest::SetUp();
        OnWait = nullptr;
        Sim.PassTime = [](uint32_t) {
            if (OnWait) OnWait();
        };
        if (intelAspi) {
            SimUseWindows98();
            SimAddAdapter("intelata");
        }
        Drive = intelAspi ? &SimAttachAspiDrive(0, 0) : &SimAttachDrive('D');
        Drive->Revision = "1.21";
        Drive->DateText = "08/07/01";
        Package = SamplePackageFor(*Drive, "1.22", "08/07/25", normalSize);
        PutSamplePackage(Package);
    }
};

// The whole program on one drive with the Intel ATA driver on Windows 98, by image size: the
// console, the boxes, the pauses, the commands and the flash. (On pass-through, in English and
// Japanese: tests/e2e, one_drive_en and one_drive_ja.)
TEST_F(UpdateTest, CompleteUpdate) {
    // Before the confirmation, after the kernel part, the commit (twice with the Intel driver;
    // no pause after its mode switch), the success.
    const std::vector<uint32_t> intel = {1000, 2000, 5000, 5000, 2000};
    const struct {
        bool intelAspi;
        uint32_t size;
        bool hundredBeforeLastChunk;  // the Intel driver reboots the drive on the last chunk
        std::string closing;          // between the progress lines and the new revision
        std::vector<uint32_t> waits;
    } cases[] = {
        {true, 0x200000, true, Rebooting, intel},
        {true, 0x1FC001, false, "", intel},  // no line of 100 per cent, no message 44
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.intelAspi << " " << c.size);
        Start(c.intelAspi, c.size);
        Sim.BoxAnswers = {6, 1};  // 82, then the summary
        EXPECT_EQ(RunProgramExpectingSize(c.size), 0);
        const char* const* text = MessageTextEn;
        char start[128];
        std::snprintf(start, sizeof start, text[34], 1);
        std::string progress = ProgressLines(c.size);
        if (c.hundredBeforeLastChunk) {
            progress = progress.substr(0, progress.rfind('\r')) + "\rProcessing 100%";
        }
        EXPECT_EQ(Sim.Console, std::string("\n/// ODD Firmware Update Utility Ver2.57C\n") +
                                   (c.intelAspi ? text[48] : "") + start +
                                   "\nCurrent Revision>> KESTREL DVD-RW  QXR-930D 1.21  08/07/01" +
                                   text[61] + "\n" + progress + c.closing + NewLine + text[12] +
                                   text[35]);
        EXPECT_EQ(BoxFlags(), (std::vector<uint32_t>{Ask, Info}));
        EXPECT_TRUE(Sim.Boxes[0].Text ==
                    "\r\nDo you want to update the F/W\r\nFrom : KESTREL DVD-RW  QXR-930D 1.21"
                    "  (2008/07/01)\r\nTo : KESTREL DVD-RW  QXR-930D 1.22  (2008/07/25)");
        EXPECT_EQ(Sim.Waits, c.waits);
        EXPECT_EQ(Writes(), CompleteUpdateWrites(c.size));
        EXPECT_EQ(Drive->PreUpdateArea[0x780] << 8 | Drive->PreUpdateArea[0x781], 0x003F);
        ExpectFlashHoldsPackage();
        EXPECT_EQ(Drive->Revision, "1.22");
        TearDown();
    }
}

// Each way the procedure ends (a failed command at each step: tests/campaign): its result, the
// console's last text, the boxes in order, the commands sent, the time waited, and whether the
// retry question (47) came last. A transfer that did not complete, or a drive that did not come
// back with the image's revision, is never a success; with the Intel driver on ASPI the commit
// is repeated before the retry question, but only after a complete transfer.
TEST_F(UpdateTest, Outcomes) {
    const std::string noNormal = "\r\nFailed to load binary file.\r\n(File Name : S0814001.122)";
    const std::string canceled = "\r\nThe update operation is canceled by user.";
    const std::string denied = NowUpdating + std::string(MessageTextEn[87]);
    const auto oneWay = [] { State.Definition.Entries[0].OneWayWarning = 1; };
    const auto stayInKernel = [] { Drive->StayInKernelAfterReflash = 1; };
    const struct {
        const char* name;
        bool intelAspi;
        std::function<void()> before;  // after enumeration, before the procedure
        std::vector<int> answers;
        int result;
        std::string tail;
        std::vector<uint32_t> boxes;
        size_t writes;    // WRITE BUFFER commands
        uint32_t waited;  // the pauses of the procedure in all, in ms
        bool retry;
    } cases[] = {
        // clang-format off
        {"drive no longer matches", false, [] { Drive->Product = "DVD-RW  QXR-999D"; }, {}, 1,
         "\r\nCurrent Firmware is not supported by this program.", {Err}, 0, 0, false},
        {"one-way warning declined", false, oneWay, {7}, 1, canceled, {Ask, Warn}, 0, 0, false},
        {"one-way warning not shown", false, oneWay, {}, 1, canceled, {Ask, Warn}, 0, 0, false},
        {"82 not shown", false, [] {}, {}, 7, "08/07/01", {Ask}, 0, 0, false},
        {"device no longer opens for writing", false, [] {
             Sim.AskBox = [](const char*, const char*, uint32_t) {
                 Drive->Place.OpenError = 5;  // ERROR_ACCESS_DENIED, once 82 is answered
                 return 6;
             };
         }, {}, -1, denied, {Ask, Err}, 0, 0, false},
        {"unlock exchange fails", false,
         [] { UseUnlockingDrive(); Fail(0x3B, 2, 0xE1, 0x05, 0x26); }, {6}, -1,
         "\nError occurred at step 1.", {Ask}, 2, 0, false},
        // Message 10, then the normal part without the kernel chunks and their pause.
        {"kernel already current", false, [] { Drive->KernelDateText = "08/07/25"; }, {6}, 0,
         Success, {Ask}, 67, 8000, false},
        {"normal image unreadable after the kernel part", false, [] {
             OnWait = [] { File("S0814001.122").ReadFails = Drive->KernelChunks == 4; };
         }, {6}, -1, noNormal, {Ask}, 6, 5000, false},
        // Same revision, older date: after the kernel part the drive falls back to its old
        // firmware and refuses the normal chunks, yet reports the image's revision.
        {"drive at 1.22 falls back during the transfer", false, [] {
             Drive->Revision = "1.22";
             OnWait = [] { if (Drive->KernelChunks == 4) Drive->Mode = VirtualDriveMode::Normal; };
         }, {6, 1, 7}, -1, "QXR-930D 1.22  08/07/01", {Ask, Err, Ask}, 7, 5000, true},
        {"drive boots its old firmware after the commit", false, [] {
             OnWait = [] { if (Drive->ReflashCount == 1) Drive->Revision = "1.21"; };
         }, {6, 7}, -1, "QXR-930D 1.21  08/07/25", {Ask, Ask}, 71, 10000, true},
        {"Intel, drive stays in update mode", true, stayInKernel, {6, 7}, -1,
         "\nFailed to move to the normal mode.", {Ask, Ask}, 72, 18000, true},
        {"Intel, normal chunk lost", true, [] { Fail(0x3B, 7, 0xF0); }, {6, 1, 7}, -1,
         "QXR-930D 0000  08/05/12", {Ask, Err, Ask}, 7, 3000, true},
        {"kind below 0x1005: the short closing text and 44", false, [] {
             Drive->Kind = 0x1004;
             State.Definition.Entries[0].KindCode = 0x1004;
         }, {6}, 0, std::string("\rProcessing 100% --> Complete") + Rebooting + NewLine + Success,
         {Ask}, 71, 10000, false},
        // Its drives take their time to store the firmware: 20 s here.
        {"kind 0x1005: the re-flash closing text, no 44", false, [] {
             Drive->Kind = 0x1005;
             State.Definition.Entries[0].KindCode = 0x1005;
             Fail(0x3B, 5).Effect = VirtualFaultEffect::Delay;
             Drive->Faults.back().ExtraMs = 20000;
         }, {6}, 0, std::string(ClosingEn) + NewLine + Success, {Ask}, 71, 10000, false},
        {"a normal chunk that takes 15 s to write is waited for", false, [] {
             Fail(0x3B, 7, 0xF0).Effect = VirtualFaultEffect::Delay;
             Drive->Faults.back().ExtraMs = 15000;
         }, {6}, 0, Success, {Ask}, 71, 10000, false},
        {"revision 1.00 is no pre-production firmware", false, [] { Drive->Revision = "1.00"; },
         {6}, 0, Success, {Ask}, 71, 10000, false},
        // A drive without its normal part skips the revision checks and meets the one-way
        // warning; on kind 0x1006 below 0.23 the notice replaces the question.
        {"kind 0x1006 at 0.22: notice 70, then 82", false, [] { EarlyDrive("0.22"); }, {1}, 7,
         "then please turn off the power once.", {Info, Ask}, 0, 0, false},
        {"kind 0x1006 at 0.23: question 46 declined", false, [] { EarlyDrive("0.23"); }, {7}, 1,
         canceled, {Ask, Warn}, 0, 0, false},
        {"unlock exchange, then the switch", false, UseUnlockingDrive, {6}, 0, Success, {Ask}, 73,
         9200, false},
        {"all drives confirmed at the start: 82 is never asked", false,
         [] { State.UpdateAll = 1; }, {}, 0, Success, {}, 71, 10000, false},
        {"commit refused, retry Yes: 82 again, no switch", false,
         [] { Fail(0x3B, 5, 0xFF, 0x05, 0x26); }, {6, 6, 6}, 0, Success, {Ask, Ask, Ask}, 141,
         14000, false},
        {"normal image only", false, [] { State.Definition.Entries[0].PartsFlag = 1; }, {6}, 0,
         Success, {Ask}, 67, 8000, false},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.intelAspi);
        EXPECT_EQ(Update(c.before, c.answers), c.result);
        EXPECT_TRUE(EndsWith(Sim.Console, c.tail)) << Sim.Console;
        EXPECT_EQ(BoxFlags(), c.boxes);
        EXPECT_EQ(Writes().size(), c.writes);
        uint32_t waited = 0;
        for (uint32_t ms : Sim.Waits) waited += ms;
        EXPECT_EQ(waited, c.waited);
        EXPECT_EQ(!Sim.Boxes.empty() && Sim.Boxes.back().Text == RetryText, c.retry);
        EXPECT_EQ(Shown("Success"), c.result == 0);
        if (c.result == 0) {
            const std::vector<uint8_t> normal = BuildSampleImage(Package.Normal);
            EXPECT_TRUE(std::equal(normal.begin(), normal.end(), Drive->NormalFlash.begin()));
        }
        TearDown();
    }
}

// ---- the kernel file and a kernel already in place -----------------------------------------
// The kernel image file is checked before anything is written, and a drive that already runs
// the package's kernel gets the normal part without the kernel chunks. (A second run after a
// power loss: tests/campaign; the retry after a reboot into the new kernel: tests/e2e.)

constexpr int Yes = 6;
constexpr uint32_t QuestionBox = 0x24;  // Yes/No with the question mark

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

// The package's kernel carries a revision of its own ("0.90 "): the normal image's must be
// back in place after the kernel file was checked.
class KernelInPlaceTest : public UpdateTest {
protected:
    void SetUp() override {
        Start(false);
        Package.Kernel.RevisionText = "0.90 ";
        PutSamplePackage(Package);
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

// An image file replaced between its check and a reload is not written: the normal image
// after the early kernel check (open 2) or after the kernel part (open 3, the drive already
// switched, or on the new kernel already: message 10), the kernel image after the switch
// (open 2). The reload counts as a failed load (11, or 72 for the kernel file), nothing of the
// changed file reaches the drive, and the run stops. The same bytes again go through.
TEST_F(UpdateTest, ReloadMustMatchWhatWasChecked) {
    enum Change { Other, Same, Longer };
    const struct {
        const char* name;
        bool kernelFile;
        uint32_t atOpen;
        Change change;
        bool onNewKernel;
        int exit;
        size_t kernelChunks, normalChunks;
    } cases[] = {
        {"normal, after the early kernel check", false, 2, Other, false, 1, 0, 0},
        {"normal, after the kernel part", false, 3, Other, false, 1, 4, 0},
        {"normal, one byte longer after the kernel part", false, 3, Longer, false, 1, 4, 0},
        {"normal, drive on the new kernel", false, 3, Other, true, 1, 0, 0},
        {"normal, the same bytes", false, 3, Same, false, 0, 4, 64},
        {"kernel, after the switch", true, 2, Other, false, 1, 0, 0},
        {"kernel, the same bytes", true, 2, Same, false, 0, 4, 64},
    };
    const std::string failed11 = "Failed to load binary file.\r\n(File Name : S0814001.122)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(false);
        if (c.onNewKernel) {
            Drive->Mode = VirtualDriveMode::Kernel;
            Drive->NormalPartPresent = false;
            Drive->KernelDateText = "08/07/25";
        }
        // Another image: one byte of the firmware changed, halfway in.
        std::vector<uint8_t> bytes =
            BuildSampleImage(c.kernelFile ? Package.Kernel : Package.Normal);
        if (c.change == Other) bytes[bytes.size() / 2] ^= 0x01;
        if (c.change == Longer) bytes.push_back(bytes.back());
        SimFile& file = File(c.kernelFile ? Package.KernelName : Package.NormalName);
        file.ReplacedAtOpen = c.atOpen;
        file.ReplacedBytes = bytes;
        Sim.BoxAnswers = {Yes, 1, 1, 1};
        EXPECT_EQ(RunProgram(), c.exit);
        EXPECT_EQ(Count(0x3B, 7, 0xFE), c.kernelChunks);
        EXPECT_EQ(Count(0x3B, 7, 0xF0), c.normalChunks);
        EXPECT_EQ(Count(0x3B, 5), c.exit == 0 ? 1u : 0u) << "committed";
        if (c.exit == 0) {
            ExpectFlashHoldsPackage();
            continue;
        }
        // Before any write: not even the pre-update command, and no question.
        if (c.atOpen == 2 && !c.kernelFile) {
            EXPECT_EQ(Count(0x3B), 0u);
            EXPECT_EQ(Sim.Boxes.front().Flags, Err);
            EXPECT_EQ(Sim.Boxes.front().Text, "\r\n" + failed11);
        }
        const size_t failed = c.kernelFile ? At(72) : Sim.Console.find(failed11);
        ASSERT_NE(failed, std::string::npos) << Sim.Console;
        EXPECT_LT(failed, At(36));
        EXPECT_EQ(At(12), std::string::npos);
    }
}

// A retry after 47 loads and checks the normal image afresh: a file replaced while the drive
// waited for the answer is the one then written, in full, and its own reloads match it.
TEST_F(UpdateTest, RetryTakesTheImageAfresh) {
    Fail(0x3B, 7, 0xF0).NthCommand = 0;  // the first normal chunk, once
    SampleImage other = Package.Normal;
    other.Seed += 7;
    SimFile& file = File(Package.NormalName);
    file.ReplacedAtOpen = 4;  // the retry's first load
    file.ReplacedBytes = BuildSampleImage(other);
    Sim.BoxAnswers = {Yes, 1, Yes, Yes, 1};  // 82, 42, 47, 82, the summary
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_NE(At(12), std::string::npos) << Sim.Console;
    const std::vector<uint8_t> written = BuildSampleImage(other);
    ASSERT_GE(Drive->NormalFlash.size(), written.size());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), Drive->NormalFlash.begin()));
}

}  // namespace
