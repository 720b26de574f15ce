#include <gtest/gtest.h>

#include "discovery/host_probe.h"
#include "platform/platform_host.h"
#include "run/run_driver.h"
#include "base/run_state.h"

namespace {

// Linux is neither Windows family: pass-through, no registry, no ASPI.
TEST(LinuxHost, ProbeTakesPassThroughWithoutIntelDriver) {
    ResetRunState();
    State.IntelAtaDriver = 1;
    EXPECT_EQ(ProbeHost(), 0);
    EXPECT_EQ(State.UsesAspi, 0);
    EXPECT_EQ(State.IntelAtaDriver, 0);
    EXPECT_EQ(State.CommandTimeout, 1000u);
    ASSERT_NE(State.ImageBuffer, nullptr);
    EXPECT_EQ(State.ImageBufferSize, 0x800000u);
    EXPECT_EQ(State.ImageBuffer[0x7FFFFF], 0);
    ReleaseRun();
    EXPECT_EQ(State.ImageBuffer, nullptr);

    // Were ASPI ever asked for, it would not load.
    ResetRunState();
    EXPECT_EQ(PrepareAspiHost(), 1);
    EXPECT_EQ(State.AspiAdapterCount, 0);
    State.UsesAspi = 1;
    ReleaseRun();
    EXPECT_EQ(State.AspiRequestBlock, nullptr);
}

TEST(LinuxHost, VersionIsOfNeitherFamilyAndNoKeyOpens) {
    OsVersion version{};
    version.dwOSVersionInfoSize = OSVERSIONINFOA_SIZE;
    ASSERT_TRUE(PlatformGetVersionEx(&version));
    EXPECT_NE(version.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_NE(version.dwPlatformId, VER_PLATFORM_WIN32_NT);

    RegistryKey key = 1;
    EXPECT_EQ(
        PlatformRegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver",
                             KEY_READ, &key),
        ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PlatformRegOpenKeyEx(HKEY_DYN_DATA, "Config Manager\\Enum", KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
