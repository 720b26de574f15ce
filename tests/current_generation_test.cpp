#include "update/current_generation.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console/catalogue.h"
#include "console/message.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "run/run_driver.h"
#include "run/update_definition.h"
#include "sample_package.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

// What the test wants done while the program waits (the drive resets itself, a file goes
// bad, ...). Called with the length of each wait.
std::function<void(uint32_t)> OnWait;
void PassTimeHook(uint32_t ms) {
    if (OnWait) OnWait(ms);
}

// A box hook that answers from Sim.BoxAnswers like the simulated PC does, and lets the test
// act when a box is shown.
std::function<void(uint32_t)> OnBox;
int AskBoxHook(const char*, const char*, uint32_t flags) {
    if (OnBox) OnBox(flags);
    int answer = 0;
    if (!Sim.BoxAnswers.empty()) {
        answer = Sim.BoxAnswers.front();
        Sim.BoxAnswers.pop_front();
    }
    return answer;
}

struct BufferWrite {
    int Mode;
    int BufferId;
    uint32_t Offset;
    uint32_t Length;
    bool operator==(const BufferWrite& o) const {
        return Mode == o.Mode && BufferId == o.BufferId && Offset == o.Offset && Length == o.Length;
    }
};

std::ostream& operator<<(std::ostream& out, const BufferWrite& w) {
    char text[64];
    std::snprintf(text, sizeof text, "{mode %d, buffer %02X, offset %X, length %X}", w.Mode,
                  w.BufferId, w.Offset, w.Length);
    return out << text;
}

// Every WRITE BUFFER in the trace, in order.
std::vector<BufferWrite> Writes() {
    std::vector<BufferWrite> writes;
    for (const SimCommandRecord& r : Sim.Trace) {
        if (r.Cdb[0] != 0x3B) continue;
        writes.push_back({r.Cdb[1] & 0x1F, r.Cdb[2],
                          uint32_t{r.Cdb[3]} << 16 | uint32_t{r.Cdb[4]} << 8 | r.Cdb[5],
                          uint32_t{r.Cdb[7]} << 8 | r.Cdb[8]});
    }
    return writes;
}

size_t CountWrites(int mode, int bufferId = -1) {
    size_t n = 0;
    for (const BufferWrite& w : Writes()) {
        if (w.Mode == mode && (bufferId < 0 || w.BufferId == bufferId)) ++n;
    }
    return n;
}

std::vector<uint32_t> BoxFlags() {
    std::vector<uint32_t> flags;
    for (const SimBoxRecord& b : Sim.Boxes) flags.push_back(b.Flags);
    return flags;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The progress lines of a normal part of `size` bytes, as the console shows them.
std::string ProgressLines(int32_t size) {
    std::string lines;
    char line[32];
    for (int32_t offset = 0; offset < size; offset += 0x8000) {
        std::snprintf(line, sizeof line, "\rProcessing %d%%", offset * 100 / size);
        lines += line;
    }
    return lines;
}

std::string Formatted(const char* format, int value) {
    char text[512];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

constexpr uint32_t YesNoBox = 0x24;
constexpr uint32_t ErrorBox = 0x10;
constexpr uint32_t InformationBox = 0x40;
constexpr uint32_t WarningBox = 0x30;

const char* const Banner = "\n/// ODD Firmware Update Utility Ver2.57C\n";
const char* const NowUpdating =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.";
const char* const CurrentLine = "\nCurrent Revision>> KESTREL DVD-RW  QXR-930D 1.21  08/07/01";
const char* const NewLine = "\nNew Revision    >> KESTREL DVD-RW  QXR-930D 1.22  08/07/25";
const char* const ClosingEn =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";

// One drive at D: running 1.21 of 2008/07/01, the package for 1.22 of 2008/07/25 in the
// current directory.
class UpdateTest : public SimTest {
public:  // the cases' set-up functions reach in through a reference
    VirtualDrive* Drive = nullptr;
    SamplePackage Package;

    void SetUp() override {
        SimTest::SetUp();
        OnWait = nullptr;
        OnBox = nullptr;
        Drive = &SimAttachDrive('D');
        Drive->Revision = "1.21";
        Drive->DateText = "08/07/01";
        UsePackage(0x200000);
        Sim.PassTime = PassTimeHook;
    }

    void TearDown() override {
        ReleaseRun();
        OnWait = nullptr;
        OnBox = nullptr;
    }

    // Windows 98 with the Intel ATA driver: the drive as target 0 of the "intelata" adapter.
    void UseIntelAspiHost() {
        Sim.Drives.clear();
        Sim.OsPlatformId = 1;
        Sim.OsMajor = 4;
        Sim.OsMinor = 10;
        Sim.AspiLoadable = true;
        SimAddAdapter("intelata");
        Drive = &SimAttachAspiDrive(0, 0);
        Drive->Revision = "1.21";
        Drive->DateText = "08/07/01";
    }

    void UsePackage(uint32_t normalSize) {
        Sim.Files.clear();
        Package = SamplePackageFor(*Drive, "1.22", "08/07/25", normalSize);
        PutSamplePackage(Package);
    }

    SimFile* File(const std::string& name) {
        for (SimFile& f : Sim.Files) {
            if (f.Name == name) return &f;
        }
        return nullptr;
    }

    void RemoveFile(const std::string& name) {
        for (size_t i = 0; i < Sim.Files.size(); ++i) {
            if (Sim.Files[i].Name == name) Sim.Files.erase(Sim.Files.begin() + i);
        }
    }

    // The run as far as the target loop, for the one drive; then the procedure alone, with
    // the console, boxes and trace of the procedure only. `beforeUpdate` runs in between.
    int Update(const std::function<void()>& beforeUpdate = {}) {
        State.OemCodePage = Sim.OemCodePage;
        FillUpdateDefinition();
        ProbeHost();
        EXPECT_EQ(EnumerateTargets(), 1);
        State.UpdateAll = 0;
        State.SelectedTarget = 0;
        if (beforeUpdate) beforeUpdate();
        Sim.Console.clear();
        Sim.Boxes.clear();
        Sim.Trace.clear();
        Sim.Waits.clear();
        return UpdateCurrentGeneration();
    }

    void FailWrite(int mode, int bufferId, uint8_t key = 0x04, uint8_t asc = 0x44,
                   uint8_t ascq = 0x00) {
        VirtualDriveFault fault;
        fault.Opcode = 0x3B;
        fault.Mode = mode;
        fault.BufferId = bufferId;
        fault.SenseKey = key;
        fault.Asc = asc;
        fault.Ascq = ascq;
        Drive->Faults.push_back(fault);
    }

    void ExpectFlashHoldsPackage() {
        const std::vector<uint8_t> kernel = BuildSampleImage(Package.Kernel);
        const std::vector<uint8_t> normal = BuildSampleImage(Package.Normal);
        ASSERT_GE(Drive->KernelFlash.size(), 0x20000u);
        EXPECT_TRUE(
            std::equal(kernel.begin(), kernel.begin() + 0x20000, Drive->KernelFlash.begin()));
        EXPECT_EQ(Drive->KernelBytesEnd, 0x20000u);
        ASSERT_GE(Drive->NormalFlash.size(), normal.size());
        EXPECT_TRUE(std::equal(normal.begin(), normal.end(), Drive->NormalFlash.begin()));
        EXPECT_EQ(Drive->NormalBytesEnd, normal.size());
    }
};

// A model that wants the unlock exchange before the switch: "...QXR-730" from 1.22 on. The
// entry is made to fit it after enumeration, so the selection finds it.
void UseUnlockingDrive(UpdateTest& t) {
    t.Drive->Product = "DVD-RW  QXR-730D";
    t.Drive->Revision = "1.30";
    t.Drive->RequiresUnlock = true;
    std::memcpy(State.Definition.Entries[0].Product, "DVD-RW  QXR-730D", 16);
}

// The WRITE BUFFER commands of a complete update from normal mode.
std::vector<BufferWrite> CompleteUpdateWrites(uint32_t normalSize) {
    std::vector<BufferWrite> writes = {{2, 0xD4, 0x780, 2}, {4, 0xFF, 0, 256}};
    for (uint32_t offset = 0; offset < 0x20000; offset += 0x8000) {
        writes.push_back({7, 0xFE, offset, 0x8000});
    }
    for (uint32_t offset = 0; offset < normalSize; offset += 0x8000) {
        const uint32_t left = normalSize - offset;
        writes.push_back({7, 0xF0, offset, left < 0x8000 ? left : 0x8000});
    }
    writes.push_back({5, 0xFF, 0, 256});
    return writes;
}

TEST_F(UpdateTest, CompleteUpdateInEnglish) {
    Sim.BoxAnswers = {6, 1};  // 82, then the summary
    EXPECT_EQ(RunProgram(), 0);

    const std::string expected = std::string(Banner) + "\r\nStart updating the device No.1." +
                                 CurrentLine + NowUpdating + "\n" + ProgressLines(0x200000) +
                                 ClosingEn + NewLine + "\nSuccess to update the firmware." +
                                 "\r\nUpdate operation is completed.";
    EXPECT_EQ(Sim.Console, expected);
    EXPECT_EQ(BoxFlags(), (std::vector<uint32_t>{YesNoBox, InformationBox}));
    EXPECT_EQ(Sim.Boxes[0].Text,
              "\r\nDo you want to update the F/W\r\nFrom : KESTREL DVD-RW  QXR-930D 1.21  "
              "(2008/07/01)\r\nTo : KESTREL DVD-RW  QXR-930D 1.22  (2008/07/25)");
    // Mode switch, the pause before the confirmation, after the kernel part, after the
    // commit, after the success.
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{2000, 1000, 2000, 5000, 2000}));
    EXPECT_EQ(Writes(), CompleteUpdateWrites(0x200000));
    ExpectFlashHoldsPackage();
    EXPECT_EQ(Drive->Revision, "1.22");
    EXPECT_EQ(Drive->Mode, VirtualDriveMode::Normal);
}

TEST_F(UpdateTest, CompleteUpdateInJapanese) {
    Sim.OemCodePage = 932;
    Sim.BoxAnswers = {6, 1};
    EXPECT_EQ(RunProgram(), 0);

    // "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..." in Shift-JIS
    const char* const closingJa =
        "\rProcessing 100% --> \xcc\xa7\xb0\xd1\xb3\xaa\xb1\x93\x5d\x91\x97\x8a\xae\x97\xb9\r\n"
        "\x8c\xbb\x8d\xdd\xc4\xde\xd7\xb2\xcc\xde\x93\xe0\x95\x94\x82\xc5\xb1\xaf\xcc\xdf\xc3"
        "\xde\xb0\xc4\x92\x86\x82\xc5\x82\xb7...";
    const std::string expected = std::string(Banner) + Formatted(MessageTextJa[34], 1) +
                                 CurrentLine + MessageTextJa[61] + "\n" + ProgressLines(0x200000) +
                                 closingJa + NewLine + MessageTextJa[12] + MessageTextJa[35];
    EXPECT_EQ(Sim.Console, expected);
    EXPECT_EQ(Sim.Waits, (std::vector<uint32_t>{2000, 1000, 2000, 5000, 2000}));
    ExpectFlashHoldsPackage();
}

TEST_F(UpdateTest, ImageOfOneByteMoreEndsWithAOneByteChunk) {
    UsePackage(0x200001);
    Sim.BoxAnswers = {6};
    EXPECT_EQ(Update(), 0);
    const std::vector<BufferWrite> writes = Writes();
    EXPECT_EQ(writes, CompleteUpdateWrites(0x200001));
    EXPECT_EQ(CountWrites(7, 0xF0), 65u);
    EXPECT_NE(Sim.Console.find(ProgressLines(0x200001) + ClosingEn), std::string::npos);
    ExpectFlashHoldsPackage();
}

TEST_F(UpdateTest, ShortClosingTextBelowKind0x1005) {
    // A kind below the re-flash announcement: the short text, then message 44. The drive
    // answers to that kind's mode switch.
    Drive->Kind = 0x1004;
    Sim.BoxAnswers = {6};
    EXPECT_EQ(Update([] { State.Definition.Entries[0].KindCode = 0x1004; }), 0);
    EXPECT_NE(Sim.Console.find(ProgressLines(0x200000) +
                               "\rProcessing 100% --> Complete"
                               "\r\nNow internal rebooting with new firmware...." +
                               NewLine),
              std::string::npos);
}

TEST_F(UpdateTest, IntelDriverOnAspi) {
    struct Case {
        uint32_t size;
        bool hundredLine;
    };
    for (const Case& c : {Case{0x200000, true}, Case{0x1FC000 + 1, false}}) {
        SCOPED_TRACE(c.size);
        SetUp();
        UseIntelAspiHost();
        UsePackage(c.size);
        Sim.BoxAnswers = {6};

        EXPECT_EQ(Update(), 0);
        ASSERT_EQ(State.IntelAtaDriver, 1);
        // No closing text either way; the 100 per cent line and 44 come before the last
        // chunk, and only for a size of whole chunks.
        std::string progress = ProgressLines(static_cast<int32_t>(c.size));
        if (c.hundredLine) {
            progress = progress.substr(0, progress.rfind('\r')) + "\rProcessing 100%" +
                       "\r\nNow internal rebooting with new firmware....";
        }
        EXPECT_NE(Sim.Console.find(std::string("\n") + progress + NewLine), std::string::npos)
            << Sim.Console;
        EXPECT_EQ(Sim.Console.find("Processing 100% -->"), std::string::npos);
        EXPECT_EQ(Sim.Console.find("100%") != std::string::npos, c.hundredLine);
        ExpectFlashHoldsPackage();
        // The commit on this host is always followed by the long pause.
        ASSERT_GE(Sim.Waits.size(), 2u);
        EXPECT_EQ(Sim.Waits[Sim.Waits.size() - 1], 5000u);
        EXPECT_EQ(Sim.Waits[Sim.Waits.size() - 2], 5000u);
        ReleaseRun();
    }
}

// Each way the procedure ends early: its message, style and result; and whether the drive
// saw any WRITE BUFFER at all.
TEST_F(UpdateTest, FailureTable) {
    using Setup = std::function<void(UpdateTest&)>;
    struct Case {
        const char* name;
        Setup before;  // before the procedure, after enumeration
        std::vector<int> answers;
        int result;
        const char* tail;  // the console's last text
        std::vector<uint32_t> boxes;
        bool writes;  // any WRITE BUFFER reached the drive
    };
    const char* const inquiryFailed = "\nFailed to execute Inquiry Command.";
    const char* const kernelNew = "\nNew Revision    >> KESTREL DVD-RW  QXR-930D 0000  08/05/12";
    const Case cases[] = {
        {"drive no longer matches",
         [](UpdateTest& t) { t.Drive->Product = "DVD-RW  QXR-999D"; },
         {},
         1,
         "\r\nCurrent Firmware is not supported by this program.",
         {ErrorBox},
         false},
        {"normal image missing",
         [](UpdateTest& t) { t.RemoveFile("S0814001.122"); },
         {},
         -1,
         "\r\nFailed to load binary file.\r\n(File Name : S0814001.122)",
         {ErrorBox},
         false},
        {"INQUIRY fails before the update",
         [](UpdateTest& t) {
             // Selection sends INQUIRY and the vendor page; the third command is the identity's.
             VirtualDriveFault fault;
             fault.NthCommand = t.Drive->CommandCount + 3;
             fault.Opcode = 0x12;
             t.Drive->Faults.push_back(fault);
         },
         {},
         -1,
         inquiryFailed,
         {},
         false},
        {"already latest",
         [](UpdateTest& t) {
             t.Drive->Revision = "1.22";
             t.Drive->DateText = "08/07/25";
         },
         {},
         1,
         "\r\nFW is already latest.",
         {InformationBox},
         false},
        {"one-way warning declined",
         [](UpdateTest&) { State.Definition.Entries[0].OneWayWarning = 1; },
         {7},
         1,
         "\r\nThe update operation is canceled by user.",
         {YesNoBox, WarningBox},
         false},
        {"one-way warning not shown",
         [](UpdateTest&) { State.Definition.Entries[0].OneWayWarning = 1; },
         {},
         1,
         "\r\nThe update operation is canceled by user.",
         {YesNoBox, WarningBox},
         false},
        {"disc in the drive",
         [](UpdateTest& t) { t.Drive->Disc = VirtualDisc::Loaded; },
         {},
         1,
         "\nDisc is inserted into DVD-RW.\nPlease eject a disc.",
         {InformationBox},
         false},
        {"region scheme not 1",
         [](UpdateTest& t) { t.Drive->RpcScheme = 0; },
         {},
         -1,
         "\r\nThe firmware of target drive is not correct F/W.\r\nThis firmware is not "
         "supported by this program.",
         {ErrorBox},
         false},
        {"region query fails",
         [](UpdateTest& t) {
             VirtualDriveFault fault;
             fault.Opcode = 0xA4;
             fault.SenseKey = 0x05;
             fault.Asc = 0x20;
             t.Drive->Faults.push_back(fault);
         },
         {},
         2,
         "\r\nThe firmware of target drive is not correct F/W.\r\nThis firmware is not "
         "supported by this program.",
         {ErrorBox},
         false},
        {"82 answered No", [](UpdateTest&) {}, {7}, 7, "08/07/01", {YesNoBox}, false},
        {"82 not shown", [](UpdateTest&) {}, {}, 7, "08/07/01", {YesNoBox}, false},
        {"pre-update write fails",
         [](UpdateTest& t) { t.FailWrite(2, 0xD4); },
         {6},
         -1,
         NowUpdating,
         {YesNoBox},
         true},
        {"switch into update mode fails",
         [](UpdateTest& t) { t.FailWrite(4, 0xFF); },
         {6},
         -1,
         "\nFailed to move to the kernel mode.",
         {YesNoBox},
         true},
        {"update-mode identity not reported",
         [](UpdateTest& t) { t.Drive->KernelProduct = "DVD-ROM QXR-930D"; },
         {6},
         -1,
         NowUpdating,
         {YesNoBox},
         true},
        {"unlock exchange fails: nothing is transferred",
         [](UpdateTest& t) {
             UseUnlockingDrive(t);
             t.FailWrite(2, 0xE1, 0x05, 0x26, 0x00);
         },
         {6},
         -1,
         "\nError occurred at step 1.",
         {YesNoBox},
         true},
        {"kernel image missing",
         [](UpdateTest& t) { t.RemoveFile("S0814000.122"); },
         {6},
         -1,
         "\r\nFailed to load kernel binary file.",
         {YesNoBox},
         true},
        {"kernel already current",
         [](UpdateTest& t) { t.Drive->KernelDateText = "08/07/25"; },
         {6},
         -1,
         "\nNeed not to update the Kernel.",
         {YesNoBox},
         true},
        {"kernel chunk fails",
         [](UpdateTest& t) { t.FailWrite(7, 0xFE); },
         {6},
         -1,
         "\r\nFailed to update the kernel part.",
         {YesNoBox, ErrorBox},
         true},
        {"normal image unreadable after the kernel part",
         [](UpdateTest& t) {
             OnWait = [&t](uint32_t) {
                 if (t.Drive->KernelChunks == 4) t.File("S0814001.122")->ReadFails = true;
             };
         },
         {6},
         -1,
         "\r\nFailed to load binary file.\r\n(File Name : S0814001.122)",
         {YesNoBox},
         true},
        {"normal chunk fails, retry declined",
         [](UpdateTest& t) { t.FailWrite(7, 0xF0); },
         {6, 1, 7},
         -1,
         kernelNew,
         {YesNoBox, ErrorBox, YesNoBox},
         true},
        {"identity after the update not read",
         [](UpdateTest& t) { t.Drive->RebootMs = 60000; },
         {6},
         -1,
         inquiryFailed,
         {YesNoBox},
         true},
        {"still in update mode, retry declined",
         [](UpdateTest& t) { t.Drive->StayInKernelAfterReflash = 1; },
         {6, 7},
         -1,
         "\nNew Revision    >> KESTREL DVD-RW  QXR-930D 0000  08/07/25",
         {YesNoBox, YesNoBox},
         true},
        {"still in update mode, retry box not shown",
         [](UpdateTest& t) { t.Drive->StayInKernelAfterReflash = 1; },
         {6},
         -1,
         "\nNew Revision    >> KESTREL DVD-RW  QXR-930D 0000  08/07/25",
         {YesNoBox, YesNoBox},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Sim.BoxAnswers.assign(c.answers.begin(), c.answers.end());

        EXPECT_EQ(Update([&] { c.before(*this); }), c.result);
        EXPECT_TRUE(EndsWith(Sim.Console, c.tail)) << Sim.Console;
        EXPECT_EQ(BoxFlags(), c.boxes);
        EXPECT_EQ(!Writes().empty(), c.writes);
        EXPECT_EQ(Sim.Console.find("Success"), std::string::npos);
        // A refusal before the consent never asks for it.
        if (!c.writes && c.boxes != std::vector<uint32_t>{YesNoBox}) {
            for (const SimBoxRecord& b : Sim.Boxes) {
                EXPECT_EQ(b.Text.find("Do you want to update the F/W"), std::string::npos);
            }
        }
        TearDown();
    }
}

// A transfer that did not complete, or a drive that did not come back with the image's
// revision, is never reported as a success, whatever revision the drive shows.
TEST_F(UpdateTest, NoSuccessWithoutTheNewFirmware) {
    struct Case {
        const char* name;
        const char* revision;  // the drive's before the update
        std::function<void(UpdateTest&)> before;
        std::vector<int> answers;
        size_t commits;
    };
    // After the kernel part the drive resets into its old normal firmware: the normal chunks
    // are refused and the drive reports its old revision.
    const auto fallBackDuringTransfer = [](UpdateTest& t) {
        OnWait = [&t](uint32_t) {
            if (t.Drive->KernelChunks == 4) t.Drive->Mode = VirtualDriveMode::Normal;
        };
    };
    const Case cases[] = {
        {"drive falls back to its normal firmware during the transfer",
         "1.21",
         fallBackDuringTransfer,
         {6, 1, 7},
         0},
        // Same revision, older date: the drive even reports the image's revision, yet the
        // image never arrived whole.
        {"drive at the same revision falls back during the transfer",
         "1.22",
         fallBackDuringTransfer,
         {6, 1, 7},
         0},
        {"drive boots its old firmware after the commit",
         "1.21",
         [](UpdateTest& t) {
             OnWait = [&t](uint32_t) {
                 if (t.Drive->ReflashCount != 1) return;
                 t.Drive->Revision = "1.21";
                 t.Drive->DateText = "08/07/01";
             };
         },
         {6, 7},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Drive->Revision = c.revision;
        Sim.BoxAnswers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(Update([&] { c.before(*this); }), -1);
        EXPECT_TRUE(EndsWith(Sim.Console, std::string("\nNew Revision    >> KESTREL DVD-RW  "
                                                      "QXR-930D ") +
                                              c.revision + "  08/07/01"))
            << Sim.Console;
        EXPECT_EQ(Sim.Console.find("Success"), std::string::npos);
        EXPECT_EQ(BoxFlags().back(), YesNoBox);
        EXPECT_EQ(Sim.Boxes.back().Text,
                  "\nFailed to move to the normal mode.\r\nDo you retry to update ?");
        EXPECT_EQ(CountWrites(5), c.commits);
        TearDown();
    }
}

// With the Intel driver on ASPI a drive left in its update mode gets the commit once more
// before the retry question, but only after a complete transfer.
TEST_F(UpdateTest, RepeatedCommitOnlyForACompleteImage) {
    struct Case {
        const char* name;
        std::function<void(UpdateTest&)> before;
        std::vector<int> answers;
        size_t commits;
    };
    const Case cases[] = {
        {"complete image, drive stays in update mode",
         [](UpdateTest& t) { t.Drive->StayInKernelAfterReflash = 1; },
         {6, 7},
         2},
        {"normal chunk lost", [](UpdateTest& t) { t.FailWrite(7, 0xF0); }, {6, 1, 7}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        UseIntelAspiHost();
        Sim.BoxAnswers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(Update([&] { c.before(*this); }), -1);
        EXPECT_EQ(CountWrites(5), c.commits);
        EXPECT_EQ(Sim.Boxes.back().Text,
                  "\nFailed to move to the normal mode.\r\nDo you retry to update ?");
        TearDown();
    }
}

TEST_F(UpdateTest, ModesAndConsent) {
    struct Case {
        const char* name;
        std::function<void(UpdateTest&)> before;
        std::vector<int> answers;
        int result;
        std::vector<uint32_t> boxes;
        size_t regionQueries;
        size_t switches;  // mode-4 commands
        size_t commits;   // mode-5 commands
        size_t kernelChunks;
        size_t unlocks = 0;  // completed exchanges (their last step, buffer E2h)
    };
    const Case cases[] = {
        {"asked once, Yes", [](UpdateTest&) {}, {6}, 0, {YesNoBox}, 1, 1, 1, 4},
        {"unlock exchange, then the switch", UseUnlockingDrive, {6}, 0, {YesNoBox}, 1, 1, 1, 4, 1},
        {"all drives confirmed at the start: 82 is never asked",
         [](UpdateTest&) { State.UpdateAll = 1; },
         {},
         0,
         {},
         1,
         1,
         1,
         4},
        {"already in update mode: no region check, no switch",
         [](UpdateTest& t) {
             t.Drive->Mode = VirtualDriveMode::Kernel;
             t.Drive->NormalPartPresent = false;
         },
         {6},
         0,
         {YesNoBox},
         0,
         0,
         1,
         4},
        {"commit refused, retry Yes: 82 again, then success",
         [](UpdateTest& t) { t.FailWrite(5, 0xFF, 0x05, 0x26, 0x00); },
         {6, 6, 6},
         0,
         {YesNoBox, YesNoBox, YesNoBox},
         1,
         1,
         2,
         8},
        {"normal chunk lost, retry Yes: the whole image again",
         [](UpdateTest& t) { t.FailWrite(7, 0xF0); },
         {6, 1, 6, 6},  // 82, the error box of 42, 47, 82
         0,
         {YesNoBox, ErrorBox, YesNoBox, YesNoBox},
         1,
         1,
         1,
         8},
        {"normal image only",
         [](UpdateTest&) { State.Definition.Entries[0].PartsFlag = 1; },
         {6},
         0,
         {YesNoBox},
         1,
         1,
         1,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Sim.BoxAnswers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(Update([&] { c.before(*this); }), c.result);
        EXPECT_EQ(BoxFlags(), c.boxes);
        size_t regionQueries = 0;
        for (const SimCommandRecord& r : Sim.Trace) regionQueries += r.Cdb[0] == 0xA4 ? 1 : 0;
        EXPECT_EQ(regionQueries, c.regionQueries);
        EXPECT_EQ(CountWrites(4), c.switches);
        EXPECT_EQ(CountWrites(5), c.commits);
        EXPECT_EQ(CountWrites(7, 0xFE), c.kernelChunks);
        EXPECT_EQ(CountWrites(2, 0xE2), c.unlocks);
        EXPECT_TRUE(EndsWith(Sim.Console, "\nSuccess to update the firmware.")) << Sim.Console;
        EXPECT_EQ(Drive->Revision, "1.22");
        const std::vector<uint8_t> normal = BuildSampleImage(Package.Normal);
        EXPECT_TRUE(std::equal(normal.begin(), normal.end(), Drive->NormalFlash.begin()));
        TearDown();
    }
}

TEST_F(UpdateTest, PreUpdateWriteRefusedForLackOfPrivilege) {
    // The system refuses the write to a user without the privilege: either the device no
    // longer opens for writing, or the pass-through call itself is refused (SG_IO's EPERM
    // without CAP_SYS_RAWIO).
    for (bool refusedCall : {false, true}) {
        SCOPED_TRACE(refusedCall ? "call refused" : "open refused");
        SetUp();
        if (refusedCall) {
            VirtualDriveFault fault;
            fault.Opcode = 0x3B;
            fault.Effect = VirtualFaultEffect::CallFails;
            fault.CallError = 5;  // ERROR_ACCESS_DENIED
            fault.Times = -1;
            Drive->Faults.push_back(fault);
        } else {
            Sim.AskBox = AskBoxHook;
            OnBox = [this](uint32_t) { Drive->Place.OpenError = 5; };  // ERROR_ACCESS_DENIED
        }
        Sim.BoxAnswers = {6};
        EXPECT_EQ(Update(), -1);
        EXPECT_TRUE(EndsWith(Sim.Console, std::string(NowUpdating) + MessageTextEn[87]))
            << Sim.Console;
        EXPECT_EQ(BoxFlags(), (std::vector<uint32_t>{YesNoBox, ErrorBox}));
        EXPECT_EQ(Drive->PreUpdateWrites, 0u);
        TearDown();
    }
}

TEST_F(UpdateTest, RecoveryAfterPowerLossInTheNormalPart) {
    // Four kernel chunks and 30 normal chunks arrive; the power fails on the 31st.
    Drive->PowerLossAtChunk = 4 + 31;
    Sim.BoxAnswers = {6, 1};
    EXPECT_EQ(RunProgram(), 1);
    EXPECT_NE(Sim.Console.find("\r\nFailed to update the normal part."), std::string::npos);
    EXPECT_EQ(Drive->NormalChunks, 30u);
    EXPECT_EQ(Drive->Mode, VirtualDriveMode::Kernel);
    EXPECT_EQ(CountWrites(5), 0u) << "a partial image is never committed";

    // The user restarts the PC and the program once the drive is back; the system's own
    // start-up commands have taken the drive's unit attention.
    SimAdvanceClock(60000);
    Drive->UnitAttentionPending = false;
    ResetRunState();
    Sim.Console.clear();
    Sim.Boxes.clear();
    Sim.Trace.clear();
    Sim.BoxAnswers = {6, 1};
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_NE(Sim.Console.find("\nCurrent Revision>> KESTREL DVD-RW  QXR-930D 0000  08/05/12"),
              std::string::npos)
        << Sim.Console;
    EXPECT_TRUE(EndsWith(Sim.Console, std::string(ClosingEn) + NewLine +
                                          "\nSuccess to update the firmware." +
                                          "\r\nUpdate operation is completed."));
    // Found in its update mode: straight to the transfer.
    std::vector<BufferWrite> expected = CompleteUpdateWrites(0x200000);
    expected.erase(expected.begin() + 1);  // no switch into update mode
    EXPECT_EQ(Writes(), expected);
    ExpectFlashHoldsPackage();
    EXPECT_EQ(Drive->Revision, "1.22");
    EXPECT_EQ(Drive->Mode, VirtualDriveMode::Normal);
}

}  // namespace
