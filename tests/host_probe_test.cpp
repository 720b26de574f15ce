#include "discovery/host_probe.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform_host.h"
#include "run/run_driver.h"
#include "test_support.h"

namespace {

size_t Count(const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = Sim.Console.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
}

const std::string Message48 = "\r\nDetect the Intel's IDE driver.";
const std::string Message52 = "\r\nDetect the IEEE1394 interface.";

// Each case on a fresh PC; with adapters given, Windows 98 with an ASPI layer.
class HostProbeTest : public SimTest {
protected:
    void Fresh(const std::vector<std::string>& adapters = {}) {
        ReleaseRun();
        EXPECT_TRUE(Sim.HeldBlocks.empty()) << "every block is released";
        SimTest::SetUp();
        if (adapters.empty()) return;
        SimUseWindows98();
        for (const std::string& name : adapters) SimAddAdapter(name);
    }
    void TearDown() override {
        ReleaseRun();
        EXPECT_TRUE(Sim.HeldBlocks.empty());
        SimTest::TearDown();
    }
};

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

}  // namespace
