// Discovery: the host probe (Windows family, ASPI layer, Intel and IEEE 1394 adapters, the
// Windows 95 registry scans) and the enumeration of the targets.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_device.h"
#include "platform/platform_host.h"
#include "platform/win32/win32_blocks.h"
#include "run/run_driver.h"
#include "test_support.h"
#include "virtual_drive.h"

namespace {

size_t Count(const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = Sim.Console.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
}

const std::string Message48 = "\r\nDetect the Intel's IDE driver.";
const std::string Message52 = "\r\nDetect the IEEE1394 interface.";

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

// Each case on a fresh PC with the built-in definition; with adapters given, Windows 98 with
// an ASPI layer. Every run gives back every block it took.
class DiscoveryTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();  // forgets what an earlier test left behind
        Fresh();
    }
    void TearDown() override {
        ReleaseRun();
        EXPECT_TRUE(Sim.HeldBlocks.empty());
        SimTest::TearDown();
    }
    void Fresh(const std::vector<std::string>& adapters = {}) {
        ReleaseRun();
        EXPECT_TRUE(Sim.HeldBlocks.empty()) << "every block is released";
        SimTest::SetUp();
        FillUpdateDefinition();
        if (adapters.empty()) return;
        SimUseWindows98();
        for (const std::string& name : adapters) SimAddAdapter(name);
    }
};
using HostProbeTest = DiscoveryTest;
using EnumerationTest = DiscoveryTest;

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
    SimAttachDrive('M').Place.HeldByOther = 4321;  // another copy of the program updates it
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(EnumerateTargets(), 4);
    EXPECT_EQ(Letters(), "HIJK");
    EXPECT_EQ(std::string(State.Notifications.Letters, State.Notifications.Filled), "GHL");
    EXPECT_EQ(Sim.MediaNotificationValues.size(), 3u);
    EXPECT_EQ(Sim.DevicesOpen, 3);  // only the notification handles are held
    EXPECT_EQ(State.DeviceAccessDenied, 1);
    // The busy drive is named and sent nothing; the run keeps the places it found until its
    // end, and lets the others go at once.
    EXPECT_EQ(Sim.BusyReports, "M");
    for (const SimCommandRecord& r : Sim.Trace) EXPECT_NE(r.Letter, 'M');
    EXPECT_EQ(Sim.ClaimedLetters, "GHIJKL");
    ReleaseRun();
    EXPECT_EQ(Sim.ClaimedLetters, "");
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

// A drive that answers a short vendor page, probed right after one that matches, is judged on
// its own bytes: with only the first 16 answered, neither the matching drive's interface code
// and normal edition nor its kernel edition (a drive on its kernel) may make it a target.
TEST_F(EnumerationTest, AShortVendorPageIsNotFilledFromTheDriveBefore) {
    const struct {
        const char* name;
        bool aspi;
        uint32_t answered;  // bytes of the second drive's page
        int found;
    } cases[] = {
        {"pass-through, 16 bytes", false, 16, 1},       {"pass-through, 32 bytes", false, 32, 1},
        {"pass-through, the whole page", false, 48, 2}, {"ASPI, 16 bytes", true, 16, 1},
        {"ASPI, the whole page", true, 48, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh(c.aspi ? std::vector<std::string>{"SCSI ADAPTER"} : std::vector<std::string>{});
        if (c.aspi) {
            SimAttachAspiDrive(0, 0);
        } else {
            SimAttachDrive('D');
        }
        VirtualDrive& second = c.aspi ? SimAttachAspiDrive(0, 1) : SimAttachDrive('E');
        // A model that any entry takes as a candidate; its page alone decides.
        second.Product = "DVD-RW  QXR-930 ";
        second.InfoPageAnswered = c.answered;
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(EnumerateTargets(), c.found);
    }
}

// Only Windows 95, 98 and Me take ASPI; then the layer and the blocks decide the result.
TEST_F(HostProbeTest, ProbeResults) {
    const struct {
        uint32_t platform, minor;
        bool loadable;
        uint8_t status;
        int adapters, allocationsLeft, result, aspi;
    } cases[] = {
        // clang-format off
        {1, 0, false, 1, 0, -1, 1, 1}, {1, 10, false, 1, 0, -1, 1, 1},
        {1, 90, false, 1, 0, -1, 1, 1}, {1, 11, false, 1, 0, -1, 0, 0},
        {2, 10, false, 1, 0, -1, 0, 0}, {PlatformIdOther, 0, false, 1, 0, -1, 0, 0},
        {1, 10, true, 0xE4, 2, -1, 2, 1}, {1, 10, true, 1, 0, -1, 3, 1},
        {1, 10, true, 1, 2, -1, 0, 1},
        // Pass-through takes three blocks; ASPI four and then the adapter table.
        {2, 1, false, 1, 0, 0, -1, 0}, {2, 1, false, 1, 0, 2, -1, 0},
        {1, 10, true, 1, 1, 0, -1, 1}, {1, 10, true, 1, 1, 3, -1, 1}, {1, 10, true, 1, 1, 4, -1, 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        Fresh(std::vector<std::string>(c.adapters, "SCSI ADAPTER"));
        Sim.OsPlatformId = c.platform;
        Sim.OsMinor = c.minor;
        Sim.AspiLoadable = c.loadable;
        Sim.AspiSupportStatus = c.status;
        Sim.AllocationsLeft = c.allocationsLeft;
        EXPECT_EQ(ProbeHost(), c.result);
        EXPECT_EQ(State.UsesAspi, c.aspi);
        EXPECT_EQ(State.CommandTimeout, 1000u);
        EXPECT_EQ(State.AspiAdapterCount, c.result == 0 ? c.adapters : 0);
        EXPECT_EQ(State.Ieee1394Marker, -1);
        if (c.result >= 0) {
            EXPECT_EQ(State.ImageBufferSize, c.aspi ? 0x200000u : 0x800000u);
        }
    }
}

// The accelerator alone is announced but changes nothing; keys under another root do not count.
TEST_F(HostProbeTest, IntelKeysOnPassThrough) {
    const std::string accelerator = "SOFTWARE\\INTEL\\Intel Application Accelerator";
    const std::string ultraAta = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";
    const struct {
        bool accelerator, ultraAta;
        size_t message48;
        int intelAta;
    } cases[] = {
        {true, true, 2, 1}, {true, false, 1, 0}, {false, true, 1, 1}, {false, false, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.accelerator << c.ultraAta);
        Fresh();
        if (c.accelerator) SimAddRegistryKey(HKEY_LOCAL_MACHINE, accelerator);
        if (c.ultraAta) SimAddRegistryKey(HKEY_LOCAL_MACHINE, ultraAta);
        SimAddRegistryKey(HKEY_DYN_DATA, ultraAta);
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(Count(Message48), c.message48);
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta);
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.RegistryKeysOpen, 0);
    }
}

// Each adapter's record asked for its own adapter; only the first 16 names have an entry in the
// name table, but the record still tells what the adapter is.
TEST_F(HostProbeTest, AdapterNamesMarkIntelAndIeee1394) {
    std::vector<std::string> twenty;
    for (int i = 0; i < 20; ++i)
        twenty.push_back(i == 18 ? "ntmaphlp" : "ADAPTER " + std::to_string(i));
    const struct {
        const char* what;
        std::vector<std::string> names;
        size_t message48, message52;
        int intelAta, marker;
    } cases[] = {
        {"intelata twice", {"intelata", "ESDI_506", "intelata"}, 1, 0, 1, -1},
        {"blank", {"ESDI_506", ""}, 0, 1, 0, 1},
        {"zero bytes", {std::string(16, '\0'), "ESDI_506"}, 0, 1, 0, 0},
        {"last one wins", {"NTMAPHLP", "SCSI", "ntmaphlp"}, 0, 2, 0, 2},
        {"near misses", {"NtMapHlp", "INTELATA", "intelat", "NTMAPHL"}, 0, 0, 0, -1},
        {"twenty adapters", twenty, 0, 1, 0, 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh(c.names);
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(Count(Message48), c.message48);
        EXPECT_EQ(Count(Message52), c.message52);
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta);
        EXPECT_EQ(State.Ieee1394Marker, c.marker);
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.RegistryOpens.empty(), c.marker == -1) << "the scan needs an IEEE 1394 one";
        ASSERT_EQ(State.AspiAdapterCount, static_cast<int>(c.names.size()));
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(State.HostAdapterTable[i * 60 + 2], i) << i;
            std::string padded = c.names[i];
            padded.resize(16, ' ');
            EXPECT_TRUE(i >= 16 || std::string(State.AdapterNames[i], 16) == padded) << i;
        }
    }
}

// ---- The registry scans of the Windows 95 family ------------------------------------

const std::string ScanKey = "Enum\\SCSI\\KESTREL_DVD-RW__QXR-710_1";
const std::string PresentSubkey = "SBP2&CEDR&PQXA-ZRW&LUN00&0011";
const std::string AbsentSubkey = "SBP2&CEDR&PQXA-ZRW&LUN00&0022";
const std::string ConfigKey = "Config Manager\\Enum";

// Adapter 1 is the IEEE 1394 one. The scan visits the subkeys from the last one down:
// Absent (index 2), Other (1), Present (0); only the present one counts.
TEST_F(HostProbeTest, AutoInsertScan) {
    const std::string presentPath = ScanKey + "\\" + PresentSubkey;
    const std::string absentPath = ScanKey + "\\" + AbsentSubkey;
    const struct {
        const char* what;
        SimRegistryFailure failure;
        const char* line;  // printed once per scan, or per presence check: `lines` times
        uint8_t count;
        size_t lines;
    } cases[] = {
        // clang-format off
        {"no failure", {}, "", 1, 0},
        {"scan key info", {SimRegCall::QueryInfo, ScanKey, 5},
         "\r\nRegQueryInfoKey Error : 00000005h", 0, 1},
        // The first subkey visited (index 2) stops the visit: the present one is never seen.
        {"subkey open", {SimRegCall::Open, absentPath, 5}, "\r\nRegOpenKeyEx Error : 00000005h",
         0, 1},
        {"value missing", {SimRegCall::QueryValue, presentPath, ERROR_FILE_NOT_FOUND},
         "\r\nRegQueryValueEx Error : 00000002h", 0, 1},
        // A failed name is skipped; no more items ends the visit.
        {"enum of index 2", {SimRegCall::EnumKey, ScanKey, 1117, 2}, "", 1, 0},
        {"no more items at 1", {SimRegCall::EnumKey, ScanKey, ERROR_NO_MORE_ITEMS, 1}, "", 0, 0},
        {"config manager info", {SimRegCall::QueryInfo, ConfigKey, 0x3F1},
         "\r\nRegQueryInfoKey Error : 000003f1h", 0, 2},
        // A device key that does not open is skipped; the next one still matches.
        {"config manager device open", {SimRegCall::Open, ConfigKey + "\\C0002", 5},
         "\r\nRegOpenKeyEx Error (Config Mahager): 00000005h", 1, 2},
        {"hardware key", {SimRegCall::QueryValue, ConfigKey + "\\C0002", 5},
         "\r\nRegQueryValueEx Error : 00000005h", 0, 2},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh({"ESDI_506", "NTMAPHLP"});
        SimSetRegistryValue(HKEY_LOCAL_MACHINE, presentPath, "AutoInsertNotification", {1});
        SimSetRegistryValue(HKEY_LOCAL_MACHINE, ScanKey + "\\OTHER DEVICE",
                            "AutoInsertNotification", {1});
        SimSetRegistryValue(HKEY_LOCAL_MACHINE, absentPath, "AutoInsertNotification", {1});
        // The Configuration Manager's form of the present device's key.
        SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\C0001", "HardWareKey",
                             "SBP2\\CEDR&PQXA-ZRW&LUN00\\0011");
        SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\C0002", "HardWareKey", "PCI\\VEN_8086");
        if (c.failure.Error != 0) Sim.RegistryFailures.push_back(c.failure);
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(State.AutoInsertCount, c.count);
        EXPECT_EQ(Sim.RegistryKeysOpen, 0);
        EXPECT_EQ(Count("Error"), c.lines) << Sim.Console;
        if (c.lines != 0) {
            EXPECT_EQ(Count(c.line), c.lines);
        }
        ASSERT_FALSE(Sim.RegistryOpens.empty());
        EXPECT_EQ(Sim.RegistryOpens[0].Path, ScanKey);  // adapter 1's digit at the end
        EXPECT_EQ(Sim.RegistryOpens[0].Root, HKEY_LOCAL_MACHINE);
        EXPECT_EQ(Sim.RegistryOpens[0].Access, KEY_ALL_ACCESS);
    }
}

// Only as much of the name is compared as the value holds, without its terminator.
TEST_F(HostProbeTest, DevicePresenceComparesOnlyWhatTheValueHolds) {
    const std::string name = "SBP2&CEDR&PQXA-ZRW&LUN00&0011";
    const auto text = [](const std::string& s, bool terminated = true) {
        std::vector<uint8_t> v(s.begin(), s.end());
        if (terminated) v.push_back(0);
        return v;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> value;
        int result;
    } cases[] = {
        {"Configuration Manager form", text("SBP2\\CEDR&PQXA-ZRW&LUN00\\0011"), 0},
        {"a prefix of the name", text("SBP2\\CEDR&PQXA-ZRW"), 0},
        {"longer than the name", text(name + "X"), -1},
        {"differs", text("SBP2\\CEDR&PQXA-ZRW&LUN01\\0011"), -1},
        {"only a terminator", {0}, -1},
        {"unterminated: the last byte is not compared", text(name + "Z", false), 0},
        {"too short for position 24", text("SBP2\\CEDR&PQXA-ZRW&LUN00"), 0},
        {"too large", text(std::string(1023, 'S')), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        SimSetRegistryValue(HKEY_DYN_DATA, ConfigKey + "\\X", "HardWareKey", c.value);
        EXPECT_EQ(IsDevicePresent(name.c_str()), c.result);
        EXPECT_EQ(Sim.RegistryKeysOpen, 0);
    }
    // A name shorter than the value is never read past its end.
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\X", "HardWareKey", "SBP2\\CEDR");
    EXPECT_EQ(IsDevicePresent("SBP2"), -1);
    EXPECT_EQ(IsDevicePresent("SBP2&CEDR"), 0);
}

TEST_F(HostProbeTest, LongSubkeyNamesFitTheFormattedPaths) {
    Fresh({"NTMAPHLP"});
    const std::string key = "Enum\\SCSI\\KESTREL_DVD-RW__QXR-710_0";
    // 255 characters, with the '&' at 24 that the hardware key's conversion puts there.
    const std::string longName =
        "SBP2&CEDR&PQXA-ZRW" + std::string(6, 'L') + "&" + std::string(255 - 25, 'L');
    SimSetRegistryValue(HKEY_LOCAL_MACHINE, key + "\\" + longName, "AutoInsertNotification", {1});
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\" + std::string(255, 'C'), "HardWareKey",
                         longName);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(State.AutoInsertCount, 1);
    EXPECT_EQ(Sim.Console.find("Error"), std::string::npos);
}

// ---- what the host probe prepares on Windows: the pass-through address and the blocks.

// SCSI_ADDRESS: Length (0..3), PortNumber (4), PathId (5), TargetId (6), Lun (7).
TEST_F(SimTest, PassThroughProbeClearsPathTargetAndLunOfTheAddress) {
    std::fill(std::begin(State.ScsiAddress), std::end(State.ScsiAddress), 0xA5);
    PrepareSptiHost();
    EXPECT_EQ(std::vector<uint8_t>(State.ScsiAddress, State.ScsiAddress + 8),
              (std::vector<uint8_t>{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0, 0, 0}));
    ReleaseRun();
}

// The ASPI layer writes into the request block behind the program's back: the blocks must
// be fixed in place, not merely locked, and zero-filled.
TEST(Win32Memory, BlocksAreFixedAndZeroFilled) {
    EXPECT_EQ(Win32Blocks::BlockAllocationFlags & Win32Blocks::GlobalMemMoveable, 0u);
    EXPECT_NE(Win32Blocks::BlockAllocationFlags & Win32Blocks::GlobalMemZeroInit, 0u);
}

}  // namespace
