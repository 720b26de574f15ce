#include "pc/sim_pc.h"
#include "platform/platform_power.h"

// The machine's power on the simulated PC: the execution states asked for are recorded, the
// power status and the supplies are the test's.

void PlatformSetThreadExecutionState(uint32_t flags, char letter) {
    Sim.ExecutionStates.push_back({flags, letter, Sim.Trace.size()});
}

bool PlatformGetSystemPowerStatus(SystemPowerStatus* status) {
    if (!Sim.HasPowerStatus) return false;
    *status = Sim.PowerStatus;
    return true;
}

int PlatformReadPowerSupplies(PowerSupply* supplies, int capacity) {
    int count = 0;
    for (const PowerSupply& supply : Sim.PowerSupplies) {
        if (count == capacity) break;
        supplies[count++] = supply;
    }
    return count;
}

void PlatformReportLowBattery(char letter, int percent, int) {
    Sim.LowBatteryReports.push_back(letter);
    Sim.LowBatteryPercents.push_back(percent);
}
