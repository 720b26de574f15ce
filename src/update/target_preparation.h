#pragma once
#include <cstdint>

// The checks around an update of the selected target: which definition entry applies to it,
// its vendor page, no disc in the drive, and the update-mode identity after the switch.

// Reads the target's INQUIRY data and vendor page afresh and selects the definition entry
// that matches it. 0 selected; else the failed command's code after message 9 or 0, or -1
// after message 49 when the drive matches no entry any more (the selection is left as it
// was, and the caller must not go on under it).
int SelectDefinitionForTarget();

// READ BUFFER of the F1h page into FirmwareInfoPage; sets NormalPartAbsent and InUpdateMode
// from its normal edition. 0, or the command's code (no message; NormalPartAbsent stays -1).
int ReadFirmwareInfo();

// Stops the disc and makes sure none is loaded. 0 no disc (or a state that counts as such);
// -1 after message 5, 6 or 7.
int EnsureNoDisc();

// After the switch into update mode: 0 when the target reports its kernel identity
// (InUpdateMode set), -1 otherwise (message 62 when INQUIRY failed).
int ConfirmUpdateMode();

// The kernel-mode identity: a revision beginning "000" and the family's 20-character prefix.
bool ReportsKernelIdentity(const uint8_t* inquiry);
