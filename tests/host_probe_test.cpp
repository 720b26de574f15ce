#include "discovery/host_probe.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform_host.h"
#include "run/run_driver.h"
#include "test_support.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

const std::string Message48 = "\r\nDetect the Intel's IDE driver.";
const std::string Message52 = "\r\nDetect the IEEE1394 interface.";

void UseWindows98() {
    Sim.OsPlatformId = 1;
    Sim.OsMajor = 4;
    Sim.OsMinor = 10;
}

void UseAspiWith(const std::vector<std::string>& adapters) {
    UseWindows98();
    Sim.AspiLoadable = true;
    for (const std::string& name : adapters) SimAddAdapter(name);
}

using HostProbeTest = SimTest;

TEST_F(HostProbeTest, TheVersionChoosesTheTransport) {
    struct Case {
        const char* what;
        uint32_t platform, major, minor;
        int aspi;
    };
    const Case cases[] = {
        {"95", 1, 4, 0, 1},
        {"98", 1, 4, 10, 1},
        {"Me", 1, 4, 90, 1},
        {"95 family, minor 3", 1, 4, 3, 0},
        {"95 family, minor 11", 1, 4, 11, 0},
        {"NT 4", 2, 4, 0, 0},
        {"2000", 2, 5, 0, 0},
        {"XP", 2, 5, 1, 0},
        {"2003", 2, 5, 2, 0},
        {"Vista", 2, 6, 0, 0},
        {"NT with minor 10", 2, 4, 10, 0},
        {"Win32s", 0, 3, 10, 0},
        {"other", PlatformIdOther, 4, 10, 0},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        Sim.OsPlatformId = c.platform;
        Sim.OsMajor = c.major;
        Sim.OsMinor = c.minor;
        const int result = ProbeHost();
        EXPECT_EQ(State.UsesAspi, c.aspi) << c.what;
        EXPECT_EQ(State.CommandTimeout, 1000u) << c.what;
        if (c.aspi) {
            // No ASPI layer installed: the blocks are there, the library is not.
            EXPECT_EQ(result, 1) << c.what;
            EXPECT_NE(State.AspiRequestBlock, nullptr) << c.what;
            EXPECT_EQ(State.ImageBufferSize, 0x200000u) << c.what;
        } else {
            EXPECT_EQ(result, 0) << c.what;
            EXPECT_EQ(State.AspiRequestBlock, nullptr) << c.what;
            EXPECT_EQ(State.ImageBufferSize, 0x800000u) << c.what;
        }
        ReleaseRun();
        EXPECT_EQ(Sim.BlocksHeld, 0) << c.what;
    }
}

TEST_F(HostProbeTest, AFailedAllocationAnswersMinusOne) {
    // Pass-through takes three blocks; ASPI four and then the adapter table.
    for (int aspi = 0; aspi < 2; ++aspi) {
        for (int left = 0; left < (aspi ? 5 : 3); ++left) {
            ResetSim();
            ResetRunState();
            if (aspi) UseAspiWith({"SCSI ADAPTER"});
            Sim.AllocationsLeft = left;
            EXPECT_EQ(ProbeHost(), -1) << aspi << left;
            EXPECT_EQ(State.AspiAdapterCount, 0) << aspi << left;  // no table, no adapter
            ReleaseRun();
            EXPECT_EQ(Sim.BlocksHeld, 0) << aspi << left;
        }
    }
}

TEST_F(HostProbeTest, IntelKeysOnPassThrough) {
    struct Case {
        bool accelerator, ultraAta;
        size_t message48;
        int intelAta;
    };
    const Case cases[] = {
        {true, true, 2, 1}, {true, false, 1, 0}, {false, true, 1, 1}, {false, false, 0, 0}};
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        if (c.accelerator) {
            SimAddRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Application Accelerator");
        }
        if (c.ultraAta) {
            SimAddRegistryKey(HKEY_LOCAL_MACHINE,
                              "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver");
        }
        // The same keys under the other root do not count.
        SimAddRegistryKey(HKEY_DYN_DATA, "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver");
        ASSERT_EQ(ProbeHost(), 0);
        EXPECT_EQ(Count(Sim.Console, Message48), c.message48) << c.accelerator << c.ultraAta;
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta) << c.accelerator << c.ultraAta;
        EXPECT_TRUE(Sim.Boxes.empty());
        EXPECT_EQ(Sim.RegistryKeysOpen, 0);
        ASSERT_EQ(Sim.RegistryOpens.size(), 2u);
        for (const SimRegistryOpen& open : Sim.RegistryOpens) {
            EXPECT_EQ(open.Root, HKEY_LOCAL_MACHINE);
            EXPECT_EQ(open.Access, KEY_READ);
        }
    }
}

TEST_F(HostProbeTest, AspiLayerResults) {
    struct Case {
        const char* what;
        bool loadable;
        uint8_t status;
        int adapters;
        int result;
    };
    const Case cases[] = {
        {"not loadable", false, 1, 2, 1},
        {"failed to initialise", true, 0xE4, 2, 2},
        {"no adapter", true, 1, 0, 3},
        {"two adapters", true, 1, 2, 0},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        UseWindows98();
        Sim.AspiLoadable = c.loadable;
        Sim.AspiSupportStatus = c.status;
        for (int i = 0; i < c.adapters; ++i) SimAddAdapter("SCSI ADAPTER");
        EXPECT_EQ(ProbeHost(), c.result) << c.what;
        EXPECT_EQ(State.AspiAdapterCount, c.result == 0 ? c.adapters : 0) << c.what;
        EXPECT_EQ(State.Ieee1394Marker, -1) << c.what;
    }
}

TEST_F(HostProbeTest, AdapterNamesMarkIntelAndIeee1394) {
    const std::string zeros(16, '\0');
    struct Case {
        const char* what;
        std::vector<std::string> names;
        size_t message48, message52;
        int intelAta, marker;
    };
    const Case cases[] = {
        {"intelata twice", {"intelata", "ESDI_506", "intelata"}, 1, 0, 1, -1},
        {"blank", {"ESDI_506", ""}, 0, 1, 0, 1},
        {"zero bytes", {zeros, "ESDI_506"}, 0, 1, 0, 0},
        {"last one wins", {"NTMAPHLP", "SCSI", "ntmaphlp"}, 0, 2, 0, 2},
        {"near misses", {"NtMapHlp", "INTELATA", "intelat", "NTMAPHL"}, 0, 0, 0, -1},
        {"both", {"ntmaphlp", "intelata"}, 1, 1, 1, 0},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        UseAspiWith(c.names);
        ASSERT_EQ(ProbeHost(), 0) << c.what;
        EXPECT_EQ(Count(Sim.Console, Message48), c.message48) << c.what;
        EXPECT_EQ(Count(Sim.Console, Message52), c.message52) << c.what;
        EXPECT_EQ(State.IntelAtaDriver, c.intelAta) << c.what;
        EXPECT_EQ(State.Ieee1394Marker, c.marker) << c.what;
        EXPECT_TRUE(Sim.Boxes.empty()) << c.what;
        // Without an IEEE 1394 adapter the registry is not read.
        EXPECT_EQ(Sim.RegistryOpens.empty(), c.marker == -1) << c.what;
        for (size_t i = 0; i < c.names.size(); ++i) {
            std::string padded = c.names[i];
            padded.resize(16, ' ');
            EXPECT_EQ(std::string(State.AdapterNames[i], 16), padded) << c.what << " " << i;
        }
    }
}

TEST_F(HostProbeTest, AdaptersBeyondTheSixteenthHaveNoNameEntry) {
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("ADAPTER " + std::to_string(i));
    names[18] = "ntmaphlp";
    UseAspiWith(names);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(State.AspiAdapterCount, 20);
    EXPECT_EQ(std::string(State.AdapterNames[15], 16), "ADAPTER 15      ");
    // Each record asked for its own adapter.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(State.HostAdapterTable[i * 60 + 0], 0) << i;
        EXPECT_EQ(State.HostAdapterTable[i * 60 + 2], i) << i;
    }
    // The record still tells the probe what adapter 18 is.
    EXPECT_EQ(State.Ieee1394Marker, 18);
    ReleaseRun();
    EXPECT_EQ(Sim.BlocksHeld, 0);
}

// ---- The registry scans of the Windows 95 family ------------------------------------

const std::string ScanKey = "Enum\\SCSI\\KESTREL_DVD-RW__QXR-710_1";
const std::string PresentSubkey = "SBP2&CEDR&PQXA-ZRW&LUN00&0011";
const std::string AbsentSubkey = "SBP2&CEDR&PQXA-ZRW&LUN00&0022";
const std::string ConfigKey = "Config Manager\\Enum";

// Adapter 1 is the IEEE 1394 one. The scan visits the subkeys from the last one down:
// Absent (index 2), Other (1), Present (0).
void BuildAutoInsertRegistry(uint8_t presentValue) {
    SimSetRegistryValue(HKEY_LOCAL_MACHINE, ScanKey + "\\" + PresentSubkey,
                        "AutoInsertNotification", {presentValue});
    SimSetRegistryValue(HKEY_LOCAL_MACHINE, ScanKey + "\\OTHER DEVICE", "AutoInsertNotification",
                        {1});
    SimSetRegistryValue(HKEY_LOCAL_MACHINE, ScanKey + "\\" + AbsentSubkey, "AutoInsertNotification",
                        {1});
    // The Configuration Manager's form of the present device's key.
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\C0001", "HardWareKey",
                         "SBP2\\CEDR&PQXA-ZRW&LUN00\\0011");
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\C0002", "HardWareKey", "PCI\\VEN_8086");
}

TEST_F(HostProbeTest, AutoInsertScanCountsOnlyPresentDevices) {
    UseAspiWith({"ESDI_506", "NTMAPHLP"});
    BuildAutoInsertRegistry(1);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(State.AutoInsertCount, 1);
    EXPECT_EQ(Sim.RegistryKeysOpen, 0);
    ASSERT_FALSE(Sim.RegistryOpens.empty());
    EXPECT_EQ(Sim.RegistryOpens[0].Path, ScanKey);  // adapter 1's digit at the end
    EXPECT_EQ(Sim.RegistryOpens[0].Root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Sim.RegistryOpens[0].Access, KEY_ALL_ACCESS);
    EXPECT_EQ(Sim.Console.find("Error"), std::string::npos);
}

TEST_F(HostProbeTest, AutoInsertScanWithFailingRegistryCalls) {
    struct Case {
        const char* what;
        SimRegistryFailure failure;
        const char* line;  // nullptr: nothing printed
        uint8_t count;
        size_t lines;  // each IsDevicePresent call prints its own
    };
    const std::string presentPath = ScanKey + "\\" + PresentSubkey;
    const std::string absentPath = ScanKey + "\\" + AbsentSubkey;
    const Case cases[] = {
        {"scan key missing", {SimRegCall::Open, ScanKey, ERROR_FILE_NOT_FOUND}, nullptr, 0, 0},
        {"scan key info",
         {SimRegCall::QueryInfo, ScanKey, 5},
         "\r\nRegQueryInfoKey Error : 00000005h",
         0,
         1},
        // The first subkey visited (index 2) stops the visit: the present one is never seen.
        {"subkey open",
         {SimRegCall::Open, absentPath, 5},
         "\r\nRegOpenKeyEx Error : 00000005h",
         0,
         1},
        {"value missing",
         {SimRegCall::QueryValue, presentPath, ERROR_FILE_NOT_FOUND},
         "\r\nRegQueryValueEx Error : 00000002h",
         0,
         1},
        // A failed name is skipped; the visit goes on down to index 0.
        {"enum of index 2", {SimRegCall::EnumKey, ScanKey, 1117, 2}, nullptr, 1, 0},
        // No more items ends the visit before the present subkey at index 0.
        {"no more items at 1",
         {SimRegCall::EnumKey, ScanKey, ERROR_NO_MORE_ITEMS, 1},
         nullptr,
         0,
         0},
        {"config manager info",
         {SimRegCall::QueryInfo, ConfigKey, 0x3F1},
         "\r\nRegQueryInfoKey Error : 000003f1h",
         0,
         2},
        // A device key that does not open is skipped; the next one still matches.
        {"config manager device open",
         {SimRegCall::Open, ConfigKey + "\\C0002", 5},
         "\r\nRegOpenKeyEx Error (Config Mahager): 00000005h",
         1,
         2},
        {"hardware key",
         {SimRegCall::QueryValue, ConfigKey + "\\C0002", 5},
         "\r\nRegQueryValueEx Error : 00000005h",
         0,
         2},
        {"config manager missing",
         {SimRegCall::Open, ConfigKey, ERROR_FILE_NOT_FOUND},
         nullptr,
         0,
         0},
    };
    for (const Case& c : cases) {
        ResetSim();
        ResetRunState();
        UseAspiWith({"ESDI_506", "NTMAPHLP"});
        BuildAutoInsertRegistry(1);
        Sim.RegistryFailures.push_back(c.failure);
        ASSERT_EQ(ProbeHost(), 0) << c.what;
        EXPECT_EQ(State.AutoInsertCount, c.count) << c.what;
        EXPECT_EQ(Sim.RegistryKeysOpen, 0) << c.what;
        EXPECT_EQ(Count(Sim.Console, "Error"), c.lines) << c.what << Sim.Console;
        if (c.line != nullptr) {
            EXPECT_EQ(Count(Sim.Console, c.line), c.lines) << c.what;
        }
    }
}

TEST_F(HostProbeTest, DevicePresenceComparesOnlyWhatTheValueHolds) {
    const std::string name = "SBP2&CEDR&PQXA-ZRW&LUN00&0011";
    struct Case {
        const char* what;
        std::vector<uint8_t> value;
        int result;
    };
    auto text = [](const std::string& s, bool terminated) {
        std::vector<uint8_t> v(s.begin(), s.end());
        if (terminated) v.push_back(0);
        return v;
    };
    const Case cases[] = {
        {"same key", text(name, true), 0},
        {"Configuration Manager form", text("SBP2\\CEDR&PQXA-ZRW&LUN00\\0011", true), 0},
        {"a prefix of the name", text("SBP2\\CEDR&PQXA-ZRW", true), 0},
        {"longer than the name", text(name + "X", true), -1},
        {"differs", text("SBP2\\CEDR&PQXA-ZRW&LUN01\\0011", true), -1},
        {"only a terminator", {0}, -1},
        {"empty", {}, -1},
        // Without a terminator the last byte is not compared.
        {"unterminated", text("SBP2&CEDR&PQXA-ZRW&LUN00&0011Z", false), 0},
        // Position 24 is only replaced where the value has it.
        {"too short for position 24", text("SBP2\\CEDR&PQXA-ZRW&LUN00", true), 0},
        {"fills the value's room", text(std::string(1022, 'S'), true), -1},
        {"too large", text(std::string(1023, 'S'), true), -1},
    };
    for (const Case& c : cases) {
        ResetSim();
        SimSetRegistryValue(HKEY_DYN_DATA, ConfigKey + "\\X", "HardWareKey", c.value);
        EXPECT_EQ(IsDevicePresent(name.c_str()), c.result) << c.what;
        EXPECT_EQ(Sim.RegistryKeysOpen, 0) << c.what;
    }
    // A name shorter than the value is never read past its end.
    ResetSim();
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\X", "HardWareKey", "SBP2\\CEDR");
    EXPECT_EQ(IsDevicePresent("SBP2"), -1);
    EXPECT_EQ(IsDevicePresent("SBP2&CEDR"), 0);
}

TEST_F(HostProbeTest, LongSubkeyNamesFitTheFormattedPaths) {
    UseAspiWith({"NTMAPHLP"});
    const std::string key = "Enum\\SCSI\\KESTREL_DVD-RW__QXR-710_0";
    // 255 characters, with the '&' at 24 that the hardware key's conversion puts there.
    const std::string longName =
        "SBP2&CEDR&PQXA-ZRW" + std::string(6, 'L') + "&" + std::string(255 - 25, 'L');
    SimSetRegistryValue(HKEY_LOCAL_MACHINE, key + "\\" + longName, "AutoInsertNotification", {1});
    SimSetRegistryString(HKEY_DYN_DATA, ConfigKey + "\\" + std::string(255, 'C'), "HardWareKey",
                         longName);
    ASSERT_EQ(ProbeHost(), 0);
    EXPECT_EQ(State.AutoInsertCount, 1);
    bool openedLong = false;
    for (const SimRegistryOpen& open : Sim.RegistryOpens) {
        if (open.Path == key + "\\" + longName) openedLong = true;
        if (open.Path == ConfigKey + "\\" + std::string(255, 'C')) {
            EXPECT_EQ(open.Result, 0u);
        }
    }
    EXPECT_TRUE(openedLong);
}

}  // namespace
