#pragma once
// The one drive of the test ASPI layer (WNASPI32.DLL), and the package that updates it. The
// DLL and the host tool that writes the package both take them from here, so the package
// always suits the drive.
#include "virtual_drive.h"

constexpr int AspiDriveTargetId = 1;  // on host adapter 0
constexpr const char* AspiAdapterName = "VIRTUAL ADAPTER ";
constexpr const char* AspiNewRevision = "1.22";
constexpr const char* AspiNewDate = "08/07/25";

inline void SetUpAspiDrive(VirtualDrive& drive) {
    drive.Place.Adapter = 0;
    drive.Place.TargetId = AspiDriveTargetId;
    drive.Vendor = "KESTREL ";
    drive.Product = "DVD-RW  QXR-930D";
    drive.Revision = "1.21";
    drive.DateText = "08/07/01";
    drive.HardwareRevision = "SAT 0001";
    drive.KernelEdition = "GENERAL ";
    drive.NormalEdition = "GENERAL ";
    drive.CommandMs = 2;
}
