#pragma once
#include "base/run_state.h"
#include "base/update_definition.h"
#include "discovery/host_probe.h"
#include "pc/sim_pc.h"
#include "virtual_drive.h"

// A fresh simulated PC with one drive of the family listed as target 0, on the pass-through
// transport (drive letter D:) or on ASPI (adapter 0, target id 0), the built-in entry
// selected. The caller gives the drive whatever identity the input says.
//
// The host probe allocates megabytes; it runs once per transport, and every case starts from
// the run state it left (the blocks stay allocated for the whole process).
inline void FuzzHostPc(bool aspi) {
    ResetSim();
    if (aspi) {
        Sim.OsPlatformId = 1;  // Windows 98
        Sim.OsMajor = 4;
        Sim.OsMinor = 10;
        Sim.AspiLoadable = true;
        SimAttachAspiDrive(0, 0);
    } else {
        SimAttachDrive('D');
    }
}

inline VirtualDrive& StartFuzzHost(bool aspi) {
    static RunState probed[2];
    static bool ready[2] = {false, false};
    const int t = aspi ? 1 : 0;
    FuzzHostPc(aspi);
    if (!ready[t]) {
        ResetRunState();
        FillUpdateDefinition();
        ProbeHost();
        State.TargetCount = 1;
        State.TargetList[0].DriveLetter = aspi ? 0 : 'D';
        State.TargetList[0].HostAdapter = 0;
        State.TargetList[0].TargetId = 0;
        State.SelectedTarget = 0;
        SelectDefinitionEntry(0);
        probed[t] = State;
        ready[t] = true;
        FuzzHostPc(aspi);
    }
    State = probed[t];
    return Sim.Drives.front();
}
