#include "update/drive_identity.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/update_definition.h"
#include "console/catalogue.h"
#include "discovery/host_probe.h"
#include "run/run_driver.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

const uint8_t* Bytes(const char* text) {
    return reinterpret_cast<const uint8_t*>(text);
}

class IdentityTest : public SimTest {
protected:
    VirtualDrive* Drive = nullptr;

    void SetUp() override {
        SimTest::SetUp();  // forgets what an earlier test left behind
        Start(false);
    }
    void TearDown() override {
        ReleaseRun();
        SimTest::TearDown();
    }
    // A fresh PC with the built-in definition selected for one drive: at D: on pass-through, or
    // on ASPI (Windows 98) as target 1 of adapter 0.
    void Start(bool aspi) {
        ReleaseRun();
        SimTest::SetUp();
        Sim.OsPlatformId = aspi ? 1 : 2;
        Sim.OsMajor = aspi ? 4 : 5;
        Sim.OsMinor = aspi ? 10 : 1;
        Sim.AspiLoadable = aspi;
        Drive = aspi ? &SimAttachAspiDrive(0, 1) : &SimAttachDrive('D');
        ASSERT_EQ(ProbeHost(), 0);
        FillUpdateDefinition();
        SelectDefinitionEntry(0);
        State.TargetCount = 1;
        State.TargetList[0] = {0, 1, 'D'};
    }
};

// The forms as the drive or image gives them; the common cases also run through the drive.
TEST(DateForms, FieldsAreReadAsHexadecimal) {
    struct Case {
        const char* text;
        int form;  // 0 short, 1 long, 2 partner as drives report it
        uint32_t date;
    };
    // clang-format off
    const Case cases[] = {
        {" 8/ 7/25", 0, 0x20080725},    // blanks before a field are skipped
        {"08/12/  ", 0, 0x20081200},    // a field without digits is 0
        {"2008/0725 ", 1, 0x20080700},  // reading stops at the missing '/'
        {"Dec312099", 2, 0x20991231},   // months in BCD
        {"jul252008", 2, 0x20080025},   // the month is compared with its case
    };
    // clang-format on
    for (const Case& c : cases) {
        const uint8_t* text = Bytes(c.text);
        const uint32_t date = c.form == 0   ? ShortFormDate(text)
                              : c.form == 1 ? LongFormDate(text)
                                            : PartnerFormDate(text, 5);
        EXPECT_EQ(date, c.date) << c.text;
    }
}

// The model table's conditions, at the bounds of its rows. Flags: K KernelTooOld, U NeedsUnlock,
// T UtilityTooOld, G NeedsG6Patch.
TEST_F(IdentityTest, ModelTableBounds) {
    struct Case {
        const char *vendor, *product, *revision, *kernelEdition;
        int32_t partsFlag;
        std::string flags;
        int message;  // 55 or 56 ends the call with -1
    };
    const char* K = "KESTREL ";
    // clang-format off
    const Case cases[] = {
        {K, "DVD-RW  QXR-710A", "1.28", "GENERAL ", 0, "K", 0},
        {K, "DVD-RW  QXR-710A", "1.28", "GENERAL ", 1, "K", 56},
        {K, "DVD-RW  QXR-710A", "1-28", "GENERAL ", 1, "", 0},  // no point
        {K, "DVD-RW  QXR-710A", "1.29", "GENERAL ", 1, "", 0},
        {K, "DVD-RW  QXR-710A", "1.79", "GENERAL ", 0, "", 0},
        {K, "DVD-RW  QXR-710A", "1.80", "GENERAL ", 0, "U", 0},
        {K, "DVD-RW  QXR-710A", "2.01", "GENERAL ", 0, "UT", 55},
        {K, "DVD-RW  QXR-720A", "1.42", "GENERAL ", 0, "UT", 55},
        {K, "DVD-RW  QXR-720A", "4.20", "CEDR    ", 0, "U", 0},
        {K, "DVD-RW  QXR-720A", "4.21", "GENERAL ", 0, "U", 0},
        {K, "DVD-RW  QXR-720A", "4.21", "CEDRX   ", 0, "UT", 55},
        {"MIRA    ", "RZ-K77E         ", "1.09", "GENERAL ", 0, "K", 0},
        {"MIRA    ", "RZ-K77EX        ", "1.09", "GENERAL ", 0, "", 0},
        {K, "DVD-ROM QXD-416 ", "1.06", "GENERAL ", 0, "G", 0},
        {K, "DVD-ROM QXD-416 ", "1.07", "GENERAL ", 0, "", 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product) + " " + c.revision + " " + c.kernelEdition);
        Start(false);
        Drive->Vendor = c.vendor;
        Drive->Product = c.product;
        Drive->Revision = c.revision;
        std::memcpy(State.FirmwareInfoPage + InfoPageOffset::KernelModelName, c.kernelEdition, 8);
        State.Selection.PartsFlag = c.partsFlag;
        EXPECT_EQ(ReadDriveIdentity(IdentityPhaseBefore), c.message != 0 ? -1 : 0);
        std::string flags;
        if (State.KernelTooOld) flags += "K";
        if (State.NeedsUnlock) flags += "U";
        if (State.UtilityTooOld) flags += "T";
        if (State.NeedsG6Patch) flags += "G";
        EXPECT_EQ(flags, c.flags);
        const std::string line = std::string("\nCurrent Revision>> ") + c.vendor + c.product + " " +
                                 c.revision + "  08/07/25";
        EXPECT_EQ(Sim.Console, line + (c.message != 0 ? MessageTextEn[c.message] : ""));
        EXPECT_TRUE(Sim.Boxes.empty());
    }
}

// The date's width on the revision line and the date derived follow the phase, the vendor and
// the date's form; phase 1 derives nothing and refuses nothing.
TEST_F(IdentityTest, RevisionLinesAndDates) {
    const char *K = "KESTREL ", *RW = "DVD-RW  QXR-930D", *ROM = "DVD-ROM QXD-416 ";
    const struct {
        int phase;
        const char *vendor, *product, *revision, *dateText, *shown;
        uint32_t date;
        int32_t inUpdateMode;
    } cases[] = {
        // clang-format off
        {0, K, RW, "1.21", "08/07/25", "08/07/25", 0x20080725, 0},
        {0, K, RW, "1.21", "2008/07/25", "2008/07/25", 0x20080725, 0},
        {0, K, RW, "1.21", "200807/25", "200807/25 ", 0x20080000, 0},
        // On its kernel the drive reports the kernel's date: no firmware date is derived.
        {0, K, RW, "0000", "08/05/12", "08/05/12", 0, 1},
        {0, K, ROM, "0000", "08/05/12", "08/05/12", 0, 0},
        {0, "Vantrel ", "DVD-RW  VR-100  ", "1.05", "Jul252008", "Jul252008 ", 0x20080725, 0},
        {1, K, "DVD-RW  QXR-710A", "2.01", "2008/07/25", "2008/07/", 0, 0},
        {1, K, ROM, "1.22", "08/07/25", "08/07/25  ", 0, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        Start(false);
        Drive->Vendor = c.vendor;
        Drive->Product = c.product;
        Drive->Revision = c.revision;
        Drive->DateText = c.dateText;
        State.DriveRevisionNumber = 0x121;
        State.DriveFirmwareDate = 0x20080701;
        EXPECT_EQ(ReadDriveIdentity(c.phase), 0);
        EXPECT_EQ(Sim.Console,
                  std::string(c.phase == 0 ? "\nCurrent Revision>> " : "\nNew Revision    >> ") +
                      c.vendor + c.product + " " + c.revision + "  " + c.shown);
        EXPECT_EQ(State.DriveFirmwareDate, c.date);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
        EXPECT_EQ(State.DriveRevisionNumber,
                  c.phase == 0 ? RevisionNumber(Bytes(c.revision)) : 0x121);
        EXPECT_EQ(State.NeedsUnlock + State.UtilityTooOld + State.KernelTooOld, 0);
    }
}

TEST_F(IdentityTest, InquiryRetriesAfterTheRestart) {
    struct Case {
        const char* name;
        bool aspi;
        int32_t intel, kind;
        int phase;
        int failures;   // INQUIRY commands refused before one succeeds; -1 all
        size_t pauses;  // of 3000 ms, each before an INQUIRY
        bool fails;
    };
    // clang-format off
    const Case cases[] = {
        {"phase 0 never retries", true, 1, 0x100D, 0, 1, 0, true},
        {"pass-through never retries", false, 1, 0x100D, 1, 1, 0, true},
        {"ASPI without the Intel driver", true, 0, 0x100D, 1, 1, 0, true},
        {"ASPI with the Intel driver", true, 1, 0x100D, 1, 3, 3, false},
        {"ASPI, six retries at most", true, 1, 0x100D, 1, -1, 6, true},
        {"slow kind asks twice", false, 0, 0x1003, 1, 0, 1, false},
        {"slow kind on ASPI", true, 0, 0x1003, 1, -1, 7, true},
        {"slow kind, phase 0", false, 0, 0x1003, 0, 0, 0, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.aspi);
        State.IntelAtaDriver = c.intel;
        State.CurrentKind = c.kind;
        if (c.failures != 0) {
            VirtualDriveFault fault;
            fault.Opcode = 0x12;
            fault.Times = c.failures;
            fault.SenseKey = 0x06;  // a restarted drive's UNIT ATTENTION
            fault.Asc = 0x29;
            Drive->Faults.push_back(fault);
        }
        const int result = ReadDriveIdentity(c.phase);
        EXPECT_EQ(result != 0, c.fails);
        size_t inquiries = 0;
        for (const SimCommandRecord& r : Sim.Trace) inquiries += r.Cdb[0] == 0x12;
        EXPECT_EQ(inquiries, c.pauses + 1);
        EXPECT_EQ(Sim.Waits, std::vector<uint32_t>(c.pauses, 3000));
        // A failed read shows message 9 and no revision line.
        EXPECT_EQ(Sim.Console == MessageTextEn[9], c.fails) << Sim.Console;
    }
}

}  // namespace
