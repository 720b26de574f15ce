#pragma once
#include <cstdint>

// The machine around the drive. A laptop that suspends (lid closed, idle time-out) or a
// desktop that shuts down cuts the drive's power in the middle of a chunk, which leaves it
// unable to read a disc; so does a battery that runs out. The machine is held up while a
// drive is written, and the run reads what powers it before a drive's update.

// ---- SetThreadExecutionState ------------------------------------------------------------
constexpr uint32_t ES_SYSTEM_REQUIRED = 0x00000001;
constexpr uint32_t ES_CONTINUOUS = 0x80000000;

// SetThreadExecutionState on behalf of the drive at `letter` (0: the drive on the ASPI
// layer): ES_CONTINUOUS | ES_SYSTEM_REQUIRED holds sleep, hibernation and shut-down off until
// ES_CONTINUOUS alone lets them go again. On Linux the hold is a logind "block" inhibitor
// whose reason names the drive. A host that cannot hold the machine goes on without it.
void PlatformSetThreadExecutionState(uint32_t flags, char letter);

// ---- GetSystemPowerStatus ---------------------------------------------------------------
// The fields of SYSTEM_POWER_STATUS that the battery rule reads.
struct SystemPowerStatus {
    uint8_t ACLineStatus;        // 0 offline, 1 online, 255 unknown
    uint8_t BatteryFlag;         // 128 no system battery, 255 unknown
    uint8_t BatteryLifePercent;  // 0..100, 255 unknown
};

// GetSystemPowerStatus: false when the call failed or the host has none (Linux, Windows 95
// before OSR2 and NT 4.0 without it); `status` is then left as it was.
bool PlatformGetSystemPowerStatus(SystemPowerStatus* status);

// ---- /sys/class/power_supply ------------------------------------------------------------
constexpr int PowerSupplyTextCapacity = 24;
constexpr int PowerSupplyCapacity = 32;

// One entry of /sys/class/power_supply, its attributes as the kernel wrote them. A number
// that is missing or unreadable is -1; a text that is missing is empty.
struct PowerSupply {
    char Type[PowerSupplyTextCapacity];   // "Mains", "Battery", "USB", "UPS", ...
    char Scope[PowerSupplyTextCapacity];  // "System", "Device" or empty
    int32_t Online;                       // 1 supplying, 0 not
    int32_t Capacity;                     // percent
    int64_t EnergyNow;                    // µWh
    int64_t EnergyFull;                   // µWh
};

// The supplies the host lists, up to `capacity` of them; how many were filled in. Windows
// lists none.
int PlatformReadPowerSupplies(PowerSupply* supplies, int capacity);

// The drive at `letter` is not updated: the machine runs on battery at `percent` %, below
// `threshold` %. Said in the run's language: on Linux one line on standard error, on Windows
// an error box and the console.
void PlatformReportLowBattery(char letter, int percent, int threshold);
