#include "base/battery.h"

#include <cstring>

#include "base/drive_record.h"
#include "base/run_state.h"

namespace {

constexpr uint8_t PowerStatusUnknown = 255;
constexpr uint8_t BatteryFlagNoSystemBattery = 128;
constexpr uint8_t ACLineOffline = 0;

// The whole text, terminator included (`text` is shorter than the field).
bool TextIs(const char* field, const char* text) {
    return std::memcmp(field, text, std::strlen(text) + 1) == 0;
}

bool TypeIs(const PowerSupply& supply, const char* type) {
    return TextIs(supply.Type, type);
}

// Mains, or a USB port that charges: "USB" and the older kernels' "USB_C", "USB_PD", ...
bool IsExternalSupply(const PowerSupply& supply) {
    return TypeIs(supply, "Mains") || std::strncmp(supply.Type, "USB", 3) == 0;
}

bool IsSystemBattery(const PowerSupply& supply) {
    return TypeIs(supply, "Battery") && !TextIs(supply.Scope, "Device");
}

// Percent, or -1 when the battery tells neither its capacity nor both energies.
int ChargeOf(const PowerSupply& supply) {
    if (supply.Capacity >= 0) return supply.Capacity > 100 ? 100 : supply.Capacity;
    if (supply.EnergyNow >= 0 && supply.EnergyFull > 0) {
        const int64_t percent = supply.EnergyNow * 100 / supply.EnergyFull;
        return static_cast<int>(percent > 100 ? 100 : percent);
    }
    return -1;
}

}  // namespace

BatteryState BatteryFromSupplies(const PowerSupply* supplies, int count) {
    BatteryState state = {true, -1};
    int batteries = 0;
    int sum = 0;
    bool unreadable = false;
    for (int i = 0; i < count; ++i) {
        const PowerSupply& supply = supplies[i];
        if (IsExternalSupply(supply) && supply.Online == 1) state.OnBattery = false;
        if (!IsSystemBattery(supply)) continue;
        const int charge = ChargeOf(supply);
        if (charge < 0) {
            unreadable = true;
            continue;
        }
        sum += charge;
        ++batteries;
    }
    if (batteries > 0 && !unreadable) state.Percent = sum / batteries;
    return state;
}

BatteryState BatteryFromPowerStatus(bool read, const SystemPowerStatus& status) {
    BatteryState state = {false, -1};
    if (!read) return state;
    if (status.BatteryFlag == BatteryFlagNoSystemBattery ||
        status.BatteryFlag == PowerStatusUnknown || status.ACLineStatus == PowerStatusUnknown ||
        status.BatteryLifePercent == PowerStatusUnknown) {
        return state;
    }
    if (status.ACLineStatus == ACLineOffline && status.BatteryLifePercent == 0 &&
        status.BatteryFlag == 0) {
        return state;
    }
    state.OnBattery = status.ACLineStatus == ACLineOffline;
    state.Percent = status.BatteryLifePercent > 100 ? 100 : status.BatteryLifePercent;
    return state;
}

bool BatteryTooLow(const BatteryState& state) {
    return state.OnBattery && state.Percent >= 0 && state.Percent < LowBatteryPercent;
}

bool PowerAllowsDriveUpdate() {
    SystemPowerStatus status = {};
    BatteryState state;
    if (PlatformGetSystemPowerStatus(&status)) {
        state = BatteryFromPowerStatus(true, status);
    } else {
        PowerSupply supplies[PowerSupplyCapacity];
        const int count = PlatformReadPowerSupplies(supplies, PowerSupplyCapacity);
        state = BatteryFromSupplies(supplies, count);
    }
    if (!BatteryTooLow(state)) return true;
    const int target = State.SelectedTarget;
    const char letter =
        target >= 0 && target < TargetListCapacity ? State.TargetList[target].DriveLetter : 0;
    NoteBatteryRefusal(state.Percent);
    PlatformReportLowBattery(letter, state.Percent, LowBatteryPercent);
    return false;
}
