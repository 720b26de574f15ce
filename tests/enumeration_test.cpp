#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "console/catalogue.h"
#include "console/message.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_device.h"
#include "run/run_driver.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

using Places = std::vector<std::pair<int, int>>;  // ASPI adapter and target id

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

VirtualDriveFault Refuse(int opcode) {
    VirtualDriveFault fault;
    fault.Opcode = opcode;
    fault.Times = -1;
    return fault;
}

class EnumerationTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();  // forgets what an earlier test left behind
        Fresh();
    }
    void TearDown() override {
        ReleaseRun();
        SimTest::TearDown();
    }
    // A fresh PC with the built-in definition; with adapters given, Windows 98 with ASPI.
    void Fresh(const std::vector<std::string>& adapters = {}) {
        ReleaseRun();
        SimTest::SetUp();
        FillUpdateDefinition();
        if (adapters.empty()) return;
        SimUseWindows98();
        for (const std::string& name : adapters) SimAddAdapter(name);
    }
};

// Every letter in turn: places that cannot be probed are skipped, every CD or DVD drive (device
// type 4 or 5, the whole byte) gets a notification slot, and an unreadable vendor page counts as
// an empty one, not as the page of the drive before.
TEST_F(EnumerationTest, PassThroughScan) {
    SimAttachDrive('D').Place.OpenError = ERROR_ACCESS_DENIED;
    SimAttachDrive('E').Place.CapabilitiesError = ERROR_GEN_FAILURE;
    SimAttachDrive('F').Faults.push_back(Refuse(0x12));
    AttachDvdRom(SimAttachDrive('G'));
    SimAttachDrive('H').DeviceType = 4;
    SimAttachDrive('I').DeviceType = 0;
    SimAttachDrive('J').DeviceType = 7;
    SimAttachDrive('K').DeviceType = 0x25;
    SimAttachDrive('L').Faults.push_back(Refuse(0x3C));
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 4);
    EXPECT_EQ(Letters(), "HIJK");
    EXPECT_EQ(std::string(State.Notifications.Letters, State.Notifications.Filled), "GHL");
    EXPECT_EQ(Sim.MediaNotificationValues.size(), 3u);
    EXPECT_EQ(Sim.DevicesOpen, 3);  // only the notification handles are held
    EXPECT_EQ(State.DeviceAccessDenied, 1);
}

TEST_F(EnumerationTest, AMissingWorkBufferFindsNothing) {
    SimAttachDrive('D');
    Sim.AllocationsLeft = 0;
    EXPECT_EQ(ProbeHost(), -1);
    EXPECT_EQ(EnumerateTargets(), 0);
    EXPECT_EQ(State.TargetCount, 0);
    EXPECT_TRUE(Sim.Trace.empty());
}

// With a drive of another model at every id 0..7 of every adapter.
TEST_F(EnumerationTest, AdapterNamesSetTheTargetIdsProbed) {
    const struct {
        std::vector<std::string> adapters;
        Places inquired;
        int intelAta;
    } cases[] = {
        // clang-format off
        {{"ESDI_506", "SCSI ADAPTER"},
         {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}}, 0},
        {{"intelata", "SCSI ADAPTER"}, {{0, 0}, {0, 1}}, 1},
        {{"SCSI ADAPTER", "intelata"}, {{1, 0}, {1, 1}}, 1},
        {{"ESDI_506", "NTMAPHLP", "intelata"}, {{0, 0}, {0, 1}, {2, 0}, {2, 1}}, 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.adapters[0] + ", " + c.adapters[1]);
        Fresh(c.adapters);
        for (size_t a = 0; a < c.adapters.size(); ++a) {
            for (int t = 0; t < 8; ++t) AttachDvdRom(SimAttachAspiDrive(static_cast<int>(a), t));
        }
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(EnumerateTargets(), 0);
        Places inquired;
        for (const SimCommandRecord& r : Sim.Trace) {
            if (r.Cdb[0] == 0x12) inquired.emplace_back(r.Adapter, r.TargetId);
        }
        EXPECT_EQ(inquired, c.inquired);
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta);
    }
}

TEST_F(EnumerationTest, TheTargetListStopsAtItsCapacity) {
    // 40 SCSI adapters with a target at every id: 280 matching drives.
    Fresh(std::vector<std::string>(40, "SCSI ADAPTER"));
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

TEST_F(EnumerationTest, MatchingRules) {
    const char *Q = "KESTREL DVD-RW  QXR-930D", *G = "GENERAL ", *C = "COMPO   ", *B = "        ";
    const struct {
        const char* what;
        const char* identity;  // INQUIRY bytes 8..31
        const char *interfaceCode, *kernel, *normal;
        int32_t kind;
        int expected, inUpdateMode;
    } cases[] = {
        // clang-format off
        {"the package's drive", Q, "SAT ", G, G, 0x100D, 0, 0},
        {"not SAT", Q, "SCSI", G, G, 0x100D, -1, 0},
        {"other edition", Q, "SAT ", G, C, 0x100D, -1, 0},
        {"kernel only", Q, "SCSI", G, B, 0x100D, 0, 1},
        {"kernel only, other edition", Q, "SAT ", C, B, 0x100D, -1, 0},
        {"kernel edition with a normal part", Q, "SCSI", G, C, 0x100D, -1, 0},
        {"QXR-830 for any entry", "KESTREL DVD-RW  QXR-830 ", "SAT ", G, G, 0x100D, 0, 0},
        {"QXR-830 needs its edition", "KESTREL DVD-RW  QXR-830 ", "SAT ", G, C, 0x100D, -1, 0},
        {"QXR-830D is no such model", "KESTREL DVD-RW  QXR-830D", "SAT ", G, G, 0x100D, -1, 0},
        {"case counts", "kestrel DVD-RW  QXR-930D", "SAT ", G, G, 0x100D, -1, 0},
        {"blanks count", "KESTREL DVD-RW QXR-930D ", "SAT ", G, G, 0x100D, -1, 0},
        {"kind 0x40xx looks at the edition", Q, "SCSI", G, G, 0x4001, -1, 0},
        {"kind 0x11xx does not", Q, "SCSI", G, C, 0x110D, 0, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        State.Definition.Entries[0].KindCode = c.kind;
        uint8_t inquiry[96] = {};
        std::memcpy(inquiry + 8, c.identity, 24);
        std::memcpy(State.FirmwareInfoPage + 16, c.interfaceCode, 4);
        std::memcpy(State.FirmwareInfoPage + 20, "0001", 4);
        std::memcpy(State.FirmwareInfoPage + 24, c.kernel, 8);
        std::memcpy(State.FirmwareInfoPage + 32, c.normal, 8);
        EXPECT_EQ(MatchDefinition(inquiry), c.expected);
        EXPECT_EQ(State.InUpdateMode, c.inUpdateMode);
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

// A drive reset or powered on since it was last asked answers the vendor page with UNIT
// ATTENTION: asked once more, never more. The pass-through probe tells that by the sense
// bytes, so no other refusal is repeated; the ASPI probe asks for none, so any failure is.
TEST_F(EnumerationTest, TheVendorPageIsAskedOnceMoreAfterAReset) {
    using Effect = VirtualFaultEffect;
    const struct {
        const char* name;
        bool aspi, pending;  // the drive's own state after a power loss
        Effect effect;
        uint8_t key;  // of a refusal (0: none), times refused, found, page probes
        int times, found;
        size_t probes;
    } cases[] = {
        // clang-format off
        {"power-on attention pending", false, true, Effect::CheckCondition, 0, 0, 1, 2},
        {"reset reported once", false, false, Effect::CheckCondition, 0x06, 1, 1, 2},
        {"attention reported twice", false, false, Effect::CheckCondition, 0x06, 2, 0, 2},
        {"invalid field", false, false, Effect::CheckCondition, 0x05, 1, 0, 1},
        {"not ready", false, false, Effect::CheckCondition, 0x02, 1, 0, 1},
        {"86h is no plain unit attention", false, false, Effect::CheckCondition, 0x86, 1, 0, 1},
        {"ASPI, back from a power loss", true, true, Effect::CheckCondition, 0, 0, 1, 2},
        {"ASPI, answered at once", true, false, Effect::CheckCondition, 0, 0, 1, 1},
        {"ASPI, page refused once", true, false, Effect::CheckCondition, 0x05, 1, 1, 2},
        {"ASPI, call failed once", true, false, Effect::CallFails, 0x05, 1, 1, 2},
        {"ASPI, page refused twice", true, false, Effect::CheckCondition, 0x05, 2, 0, 2},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh(c.aspi ? std::vector<std::string>{"SCSI ADAPTER"} : std::vector<std::string>{});
        VirtualDrive& drive = c.aspi ? SimAttachAspiDrive(0, 0) : SimAttachDrive('E');
        drive.UnitAttentionPending = c.pending;
        if (c.key != 0) {
            drive.Faults.push_back(Refuse(0x3C));
            drive.Faults.back().Effect = c.effect;
            drive.Faults.back().SenseKey = c.key;
            drive.Faults.back().Asc = 0x29;
            drive.Faults.back().Times = c.times;
        }
        ProbeHost();
        EXPECT_EQ(EnumerateTargets(), c.found);
        EXPECT_EQ(std::count_if(Sim.Trace.begin(), Sim.Trace.end(),
                                [](const SimCommandRecord& r) { return r.Cdb[0] == 0x3C; }),
                  static_cast<long>(c.probes));
    }
}

std::vector<std::string> Visits;

int RecordVisit() {
    const TargetEntry& t = State.TargetList[State.SelectedTarget];
    Visits.push_back(std::to_string(State.SelectedTarget) + ":" +
                     (t.DriveLetter ? std::string(1, t.DriveLetter) : std::string()) + ":" +
                     std::to_string(t.HostAdapter) + "/" + std::to_string(t.TargetId));
    return 1;
}

const RunProcedures WithRecordedUpdates = {ProbeHost, EnumerateTargets, RecordVisit, RecordVisit};

// Two matching drives and a DVD-ROM drive.
TEST_F(EnumerationTest, TheRunVisitsEveryTargetFound) {
    for (const bool aspi : {false, true}) {
        SCOPED_TRACE(aspi ? "ASPI on Windows 98" : "pass-through");
        Visits.clear();
        if (aspi) {
            Fresh({"ESDI_506", "SCSI ADAPTER"});
            SimAttachAspiDrive(1, 4);
            AttachDvdRom(SimAttachAspiDrive(0, 0));
            SimAttachAspiDrive(0, 1);
        } else {
            Fresh();
            SimAttachDrive('G');
            AttachDvdRom(SimAttachDrive('E'));
            SimAttachDrive('D');
        }
        Sim.BoxAnswers = {AnswerYes};
        EXPECT_EQ(RunProgram(WithRecordedUpdates), 0);
        const std::vector<std::string> visits = {aspi ? "0::0/1" : "0:D:0/0",
                                                 aspi ? "1::1/4" : "1:G:0/0"};
        EXPECT_EQ(Visits, visits);
        EXPECT_EQ(State.Notifications.Filled, aspi ? 0 : 3);
        EXPECT_EQ(State.UpdateAll, 1);  // the one question for all targets was answered Yes
    }
}

// Message 87 (error) before 28 (information) only when a drive was refused and none found.
TEST_F(EnumerationTest, AccessDeniedIsExplainedBeforeNoTarget) {
    const std::string message28 = "\r\nAvailable target is not found.";
    const struct {
        uint32_t openError;  // of the drive at D
        bool otherTarget;    // a drive at E that opens
        int exitCode;
        std::vector<std::string> boxes;
    } cases[] = {
        {ERROR_ACCESS_DENIED, false, 1, {MessageTextEn[87], message28}},
        {ERROR_FILE_NOT_FOUND, false, 1, {message28}},
        {ERROR_ACCESS_DENIED, true, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.openError << c.otherTarget);
        Fresh();
        SimAttachDrive('D').Place.OpenError = c.openError;
        if (c.otherTarget) SimAttachDrive('E');
        EXPECT_EQ(RunProgram(WithRecordedUpdates), c.exitCode);
        std::vector<std::string> boxes;
        for (const SimBoxRecord& b : Sim.Boxes) boxes.push_back(b.Text);
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_TRUE(c.boxes.size() != 2 ||
                    (Sim.Boxes[0].Flags == 0x10 && Sim.Boxes[1].Flags == 0x40));
    }
}

}  // namespace
