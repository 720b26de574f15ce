#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "console/message.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_device.h"
#include "run/run_driver.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

// A drive of another model, which the built-in definition does not take.
VirtualDrive& AttachDvdRom(VirtualDrive& drive) {
    drive.Product = "DVD-ROM QXD-416 ";
    return drive;
}

std::string Letters() {
    std::string letters;
    for (int i = 0; i < State.TargetCount; ++i) letters += State.TargetList[i].DriveLetter;
    return letters;
}

std::vector<std::pair<int, int>> Places() {
    std::vector<std::pair<int, int>> places;
    for (int i = 0; i < State.TargetCount; ++i) {
        places.emplace_back(State.TargetList[i].HostAdapter, State.TargetList[i].TargetId);
    }
    return places;
}

// The ASPI places that were asked for their INQUIRY data, in order.
std::vector<std::pair<int, int>> InquiredPlaces() {
    std::vector<std::pair<int, int>> places;
    for (const SimCommandRecord& r : Sim.Trace) {
        if (r.Cdb[0] == 0x12) places.emplace_back(r.Adapter, r.TargetId);
    }
    return places;
}

class EnumerationTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        FillUpdateDefinition();
    }
    void UseAspi(const std::vector<std::string>& adapters) {
        Sim.OsPlatformId = 1;
        Sim.OsMajor = 4;
        Sim.OsMinor = 10;
        Sim.AspiLoadable = true;
        for (const std::string& name : adapters) SimAddAdapter(name);
    }
    void TearDown() override { EXPECT_EQ(Sim.HungWaits, 0u); }
};

// ---- Pass-through -------------------------------------------------------------------

TEST_F(EnumerationTest, EveryCdOrDvdDriveGetsANotificationSlot) {
    struct Case {
        uint8_t type;
        bool slot;
    };
    const Case cases[] = {{5, true}, {4, true}, {0, false}, {7, false}, {0x25, false}};
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        FillUpdateDefinition();
        AttachDvdRom(SimAttachDrive('D'));
        SimAttachDrive('E').DeviceType = c.type;
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(EnumerateTargets(), 1) << int{c.type};
        EXPECT_EQ(Letters(), "E");
        ASSERT_EQ(State.Notifications.Filled, c.slot ? 2 : 1) << int{c.type};
        EXPECT_EQ(State.Notifications.Letters[0], 'D');
        if (c.slot) {
            EXPECT_EQ(State.Notifications.Letters[1], 'E');
        }
        EXPECT_EQ(Sim.MediaNotificationValues.size(), c.slot ? 2u : 1u);

        // The release acts once more on every slot and leaves the handles open.
        const int open = Sim.DevicesOpen;
        ReleaseRun();
        EXPECT_EQ(Sim.MediaNotificationValues.size(), c.slot ? 4u : 2u);
        EXPECT_EQ(Sim.DevicesOpen, open);
        EXPECT_EQ(Sim.BlocksHeld, 0);
    }
}

TEST_F(EnumerationTest, PlacesThatCannotBeProbedAreSkipped) {
    SimAttachDrive('D').Place.OpenError = ERROR_ACCESS_DENIED;
    SimAttachDrive('E').Place.CapabilitiesError = ERROR_GEN_FAILURE;
    VirtualDriveFault inquiryFails;
    inquiryFails.Opcode = 0x12;
    inquiryFails.Times = -1;
    SimAttachDrive('F').Faults.push_back(inquiryFails);
    SimAttachDrive('G');
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 1);
    EXPECT_EQ(Letters(), "G");
    // A drive that does not answer INQUIRY is not known to be a CD or DVD drive.
    EXPECT_EQ(State.Notifications.Filled, 1);
    EXPECT_EQ(State.Notifications.Letters[0], 'G');
    EXPECT_EQ(State.DeviceAccessDenied, 1);
    EXPECT_EQ(Sim.DevicesOpen, 1);
}

TEST_F(EnumerationTest, AnUnreadableVendorPageIsAnEmptyOne) {
    VirtualDriveFault pageFails;
    pageFails.Opcode = 0x3C;
    pageFails.Times = -1;
    SimAttachDrive('D');
    SimAttachDrive('E').Faults.push_back(pageFails);
    ASSERT_EQ(ProbeHost(), 0);
    // The page of D must not stand in for E's.
    EXPECT_EQ(EnumerateTargets(), 1);
    EXPECT_EQ(Letters(), "D");
    for (uint8_t b : State.FirmwareInfoPage) ASSERT_EQ(b, 0);

    // An entry whose kind does not look at the edition takes it all the same.
    ResetRunState();
    ResetSim();
    FillUpdateDefinition();
    State.Definition.Entries[0].KindCode = 0x0001;
    SimAttachDrive('E').Faults.push_back(pageFails);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 1);
}

TEST_F(EnumerationTest, AMissingWorkBufferFindsNothing) {
    SimAttachDrive('D');
    Sim.AllocationsLeft = 0;
    EXPECT_EQ(ProbeHost(), -1);
    EXPECT_EQ(EnumerateTargets(), 0);
    EXPECT_EQ(State.TargetCount, 0);
    EXPECT_TRUE(Sim.Trace.empty());
}

// ---- ASPI -----------------------------------------------------------------------------

TEST_F(EnumerationTest, AdapterNamesSetTheTargetIdsProbed) {
    using Places = std::vector<std::pair<int, int>>;
    struct Case {
        const char* what;
        std::vector<std::string> adapters;
        Places inquired;
        int intelAta;
    };
    const Case cases[] = {
        {"IDE and SCSI",
         {"ESDI_506", "SCSI ADAPTER"},
         {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}},
         0},
        {"Intel ATA skips SCSI", {"intelata", "SCSI ADAPTER"}, {{0, 0}, {0, 1}}, 1},
        {"Intel ATA after SCSI", {"SCSI ADAPTER", "intelata"}, {{1, 0}, {1, 1}}, 1},
        {"Intel ATA and IDE",
         {"ESDI_506", "NTMAPHLP", "intelata"},
         {{0, 0}, {0, 1}, {2, 0}, {2, 1}},
         1},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        FillUpdateDefinition();
        UseAspi(c.adapters);
        // A drive at every id 0..7 of every adapter, none of them a target.
        for (size_t a = 0; a < c.adapters.size(); ++a) {
            for (int t = 0; t < 8; ++t) AttachDvdRom(SimAttachAspiDrive(static_cast<int>(a), t));
        }
        ASSERT_EQ(ProbeHost(), 0) << c.what;
        EXPECT_EQ(EnumerateTargets(), 0) << c.what;
        EXPECT_EQ(InquiredPlaces(), c.inquired) << c.what;
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta) << c.what;
    }
}

TEST_F(EnumerationTest, AdaptersBeyondTheNameTableAreProbedAsScsi) {
    std::vector<std::string> names(18, "ESDI_506");
    UseAspi(names);
    SimAttachAspiDrive(15, 5);  // an IDE adapter: id 5 is never asked
    SimAttachAspiDrive(17, 5);  // no name entry: ids 0..6
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 1);
    EXPECT_EQ(Places(), (std::vector<std::pair<int, int>>{{17, 5}}));

    // With the Intel ATA driver such an adapter is skipped like any SCSI adapter.
    ResetSim();
    ResetRunState();
    FillUpdateDefinition();
    names[0] = "intelata";
    UseAspi(names);
    SimAttachAspiDrive(17, 0);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 0);
}

TEST_F(EnumerationTest, TheTargetListStopsAtItsCapacity) {
    // 40 SCSI adapters with a target at every id: 280 matching drives.
    UseAspi(std::vector<std::string>(40, "SCSI ADAPTER"));
    for (int a = 0; a < 40; ++a) {
        for (int t = 0; t < 7; ++t) SimAttachAspiDrive(a, t);
    }
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 256);
    EXPECT_EQ(State.TargetCount, 256);
    EXPECT_EQ(State.TargetList[255].HostAdapter, 36);  // 255 = 36 * 7 + 3
    EXPECT_EQ(State.TargetList[255].TargetId, 3);
    // Nothing was written behind the list.
    EXPECT_EQ(State.Notifications.Filled, 0);
    for (char letter : State.Notifications.Letters) EXPECT_EQ(letter, 0);
}

// ---- Matching -------------------------------------------------------------------------

struct MatchCase {
    const char* what;
    const char* identity;  // INQUIRY bytes 8..31
    const char* interfaceCode;
    const char* kernel;
    const char* normal;
    int32_t kind;
    int expected;
    int inUpdateMode;
};

TEST_F(EnumerationTest, MatchingRules) {
    const MatchCase cases[] = {
        {"the package's drive", "KESTREL DVD-RW  QXR-930D", "SAT ", "GENERAL ", "GENERAL ", 0x100D,
         0, 0},
        {"not SAT", "KESTREL DVD-RW  QXR-930D", "SCSI", "GENERAL ", "GENERAL ", 0x100D, -1, 0},
        {"other edition", "KESTREL DVD-RW  QXR-930D", "SAT ", "GENERAL ", "COMPO   ", 0x100D, -1,
         0},
        {"kernel only", "KESTREL DVD-RW  QXR-930D", "SCSI", "GENERAL ", "        ", 0x100D, 0, 1},
        {"kernel only, other edition", "KESTREL DVD-RW  QXR-930D", "SAT ", "COMPO   ", "        ",
         0x100D, -1, 0},
        {"kernel edition with a normal part", "KESTREL DVD-RW  QXR-930D", "SCSI", "GENERAL ",
         "COMPO   ", 0x100D, -1, 0},
        {"QXR-830 for any entry", "KESTREL DVD-RW  QXR-830 ", "SAT ", "GENERAL ", "GENERAL ",
         0x100D, 0, 0},
        {"QXR-930 for any entry", "KESTREL DVD-RW  QXR-930 ", "SAT ", "GENERAL ", "GENERAL ",
         0x100D, 0, 0},
        {"QXR-830 still needs its edition", "KESTREL DVD-RW  QXR-830 ", "SAT ", "GENERAL ",
         "COMPO   ", 0x100D, -1, 0},
        {"QXR-830D is no such model", "KESTREL DVD-RW  QXR-830D", "SAT ", "GENERAL ", "GENERAL ",
         0x100D, -1, 0},
        {"case counts", "kestrel DVD-RW  QXR-930D", "SAT ", "GENERAL ", "GENERAL ", 0x100D, -1, 0},
        {"blanks count", "KESTREL DVD-RW QXR-930D ", "SAT ", "GENERAL ", "GENERAL ", 0x100D, -1, 0},
        {"kind 0x40xx looks at the edition", "KESTREL DVD-RW  QXR-930D", "SCSI", "GENERAL ",
         "GENERAL ", 0x4001, -1, 0},
        {"kind 0x11xx does not", "KESTREL DVD-RW  QXR-930D", "SCSI", "GENERAL ", "COMPO   ", 0x110D,
         0, 0},
        {"legacy kind does not", "KESTREL DVD-RW  QXR-930D", "SCSI", "COMPO   ", "COMPO   ", 0x0003,
         0, 0},
    };
    for (const MatchCase& c : cases) {
        ResetRunState();
        FillUpdateDefinition();
        State.Definition.Entries[0].KindCode = c.kind;
        uint8_t inquiry[96] = {};
        std::memcpy(inquiry + 8, c.identity, 24);
        std::memcpy(State.FirmwareInfoPage + 16, c.interfaceCode, 4);
        std::memcpy(State.FirmwareInfoPage + 20, "0001", 4);
        std::memcpy(State.FirmwareInfoPage + 24, c.kernel, 8);
        std::memcpy(State.FirmwareInfoPage + 32, c.normal, 8);
        EXPECT_EQ(MatchDefinition(inquiry), c.expected) << c.what;
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode) << c.what;
    }
}

TEST_F(EnumerationTest, TheFirstMatchingEntryWins) {
    uint8_t inquiry[96] = {};
    std::memcpy(inquiry + 8, "KESTREL DVD-RW  QXR-930D", 24);
    std::memcpy(State.FirmwareInfoPage + 16, "SAT 0001GENERAL GENERAL ", 24);

    DefinitionEntry& first = State.Definition.Entries[0];
    State.Definition.Entries[1] = first;
    State.Definition.Entries[2] = first;
    std::memcpy(first.Product, "DVD-RW  QXR-720 ", 16);
    std::memcpy(State.Definition.Entries[1].Edition, "COMPO   ", 8);
    State.Definition.EntryCount = 3;
    EXPECT_EQ(MatchDefinition(inquiry), 2);

    // Entries past EntryCount are never looked at, and none at all when it is 0.
    State.Definition.EntryCount = 2;
    EXPECT_EQ(MatchDefinition(inquiry), -1);
    State.Definition.EntryCount = 0;
    std::memcpy(first.Product, "DVD-RW  QXR-930D", 16);
    EXPECT_EQ(MatchDefinition(inquiry), -1);
}

// ---- The run over real targets --------------------------------------------------------

std::vector<std::string> Visits;

int RecordVisit() {
    const TargetEntry& t = State.TargetList[State.SelectedTarget];
    Visits.push_back(std::to_string(State.SelectedTarget) + ":" +
                     (t.DriveLetter ? std::string(1, t.DriveLetter) : std::string()) + ":" +
                     std::to_string(t.HostAdapter) + "/" + std::to_string(t.TargetId));
    return 1;
}

const RunProcedures WithRecordedUpdates = {ProbeHost, EnumerateTargets, RecordVisit, RecordVisit};

TEST_F(EnumerationTest, TheRunVisitsEveryTargetFound) {
    struct Case {
        const char* what;
        bool aspi;
        std::vector<std::string> visits;
    };
    const Case cases[] = {
        {"pass-through", false, {"0:D:0/0", "1:G:0/0"}},
        {"ASPI on Windows 98", true, {"0::0/1", "1::1/4"}},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        Visits.clear();
        if (c.aspi) {
            UseAspi({"ESDI_506", "SCSI ADAPTER"});
            SimAttachAspiDrive(1, 4);
            AttachDvdRom(SimAttachAspiDrive(0, 0));
            SimAttachAspiDrive(0, 1);
        } else {
            SimAttachDrive('G');
            AttachDvdRom(SimAttachDrive('E'));
            SimAttachDrive('D');
        }
        Sim.BoxAnswers = {AnswerYes};
        EXPECT_EQ(RunProgram(WithRecordedUpdates), 0) << c.what;
        EXPECT_EQ(Visits, c.visits) << c.what;
        EXPECT_EQ(State.Notifications.Filled, c.aspi ? 0 : 3) << c.what;
        ASSERT_EQ(Sim.Boxes.size(), 1u) << c.what;
        EXPECT_NE(Sim.Boxes[0].Text.find("2 target device(s) is found."), std::string::npos);
        EXPECT_EQ(State.UpdateAll, 1) << c.what;
        EXPECT_NE(Sim.Console.find("\r\nStart updating the device No.1."), std::string::npos);
        EXPECT_NE(Sim.Console.find("\r\nStart updating the device No.2."), std::string::npos);
        EXPECT_EQ(Sim.BlocksHeld, 0) << c.what;
    }
}

TEST_F(EnumerationTest, AccessDeniedIsExplainedBeforeNoTarget) {
    const std::string message87 =
        "\r\nYou denyed to access to logical drive.\r\nIf you will update the firmware, then you "
        "need to login with the administrative privilege.";
    const std::string message28 = "\r\nAvailable target is not found.";
    struct Case {
        const char* what;
        uint32_t openError;  // of the drive at D
        bool otherTarget;    // a drive at E that opens
        bool shows87;
        int exitCode;
    };
    const Case cases[] = {
        {"refused", ERROR_ACCESS_DENIED, false, true, 1},
        {"not there", ERROR_FILE_NOT_FOUND, false, false, 1},
        {"refused, but another found", ERROR_ACCESS_DENIED, true, false, 0},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        SimAttachDrive('D').Place.OpenError = c.openError;
        if (c.otherTarget) SimAttachDrive('E');
        EXPECT_EQ(RunProgram(WithRecordedUpdates), c.exitCode) << c.what;
        if (c.shows87) {
            ASSERT_EQ(Sim.Boxes.size(), 2u) << c.what;
            EXPECT_EQ(Sim.Boxes[0].Text, message87);
            EXPECT_EQ(Sim.Boxes[0].Flags, 0x10u);  // error
            EXPECT_EQ(Sim.Boxes[1].Text, message28);
            EXPECT_EQ(Sim.Boxes[1].Flags, 0x40u);  // information
            EXPECT_LT(Sim.Console.find(message87), Sim.Console.find(message28));
        } else {
            EXPECT_EQ(Sim.Console.find("You denyed"), std::string::npos) << c.what;
        }
        EXPECT_EQ(Sim.BlocksHeld, 0) << c.what;
    }
}

}  // namespace
