#pragma once
#include <cstdint>

// The stretch of a run in which a drive is written. From the first command that writes to
// the selected drive or changes its mode until its procedure returns, interrupts are held
// and the machine is kept from sleeping, hibernating and shutting down: a drive cut off
// halfway stays in its update mode and cannot read a disc. The run also
// keeps, per target, whether it wrote to the drive and whether the drive was last seen in
// (or sent into) its update mode, so that the user can be told at the end.

// The selected drive is about to be written or switched. Later calls for the same procedure
// change nothing.
void BeginDriveWriting();

// The procedure of the selected drive has returned: interrupts act at once again and the
// machine may sleep again.
void EndDriveWriting();

// The signal number of an interrupt held in this run, or 0.
int HeldInterrupt();

// A switch into update mode was sent to `target` and not refused by the drive.
void NoteUpdateModeEntered(int target);

// `target` answered INQUIRY with this data: its revision tells the mode it runs in.
void NoteDriveIdentity(int target, const uint8_t* inquiry);

// One line on standard error for each drive that the run wrote to and that is still in its
// update mode. Called on every way out of a run.
void ReportDrivesLeftInUpdateMode();
