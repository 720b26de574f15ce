#pragma once
#include <string>

#include "run/run_driver.h"
#include "virtual_drive.h"

// The older drive generation on the simulated PC: a drive that runs 1.05 and keeps its model
// in its memory, the Intel HEX image of 1.07, and a definition entry of kind 7 that serves it.
// The built-in definition never selects the legacy procedure, so the run gets this entry in
// place of the built-in one before its probe.

extern const char* const LegacyImageName;

// Makes `drive` a "KESTREL DVD-ROM QXD-310 " of the older generation running 1.05.
void SetUpLegacyDrive(VirtualDrive& drive);

// Writes the HEX image of 1.07 into the folder; false when it could not be written.
bool WriteLegacyPackage(const std::string& folder);

// The real procedures, with a probe that first puts the legacy entry into the definition.
extern const RunProcedures LegacyProcedures;
