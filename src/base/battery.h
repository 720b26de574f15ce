#pragma once

#include "platform/platform_power.h"

// The battery rule: a drive is not updated on a machine that runs on a battery below this
// charge, since a battery that runs out halfway leaves the drive unable to read a disc.
constexpr int LowBatteryPercent = 25;

// What powers the machine, as far as the host tells.
struct BatteryState {
    bool OnBattery;  // no mains (or USB) supply is known to be online
    int Percent;     // the system batteries' charge; -1 unknown, or no battery
};

// From /sys/class/power_supply: on battery when no supply of type Mains or USB (USB_C,
// USB_PD, ... included) is online; the charge is the mean over the system batteries (type
// Battery, scope not Device, so that a mouse's battery is left out), each its capacity or
// else energy_now / energy_full. Unknown when a system battery's charge cannot be read.
BatteryState BatteryFromSupplies(const PowerSupply* supplies, int count);

// From GetSystemPowerStatus (`read`: the call succeeded). No system battery, or 255 in any
// field, is unknown; so is an answer of all zeros (offline, 0 %, no flag), which NT 4.0 is
// reported to give.
BatteryState BatteryFromPowerStatus(bool read, const SystemPowerStatus& status);

// On battery below LowBatteryPercent. An unknown charge is never refused.
bool BatteryTooLow(const BatteryState& state);

// Before the selected drive's update: false, and said to the user, when the machine runs
// on a battery too low to finish it.
bool PowerAllowsDriveUpdate();
