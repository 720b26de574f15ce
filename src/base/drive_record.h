#pragma once

// The record of each drive in the system log (an interface for machines: the words and keys
// stay as they are, new keys may be added at the end of a line):
//   start drive=D node=/dev/sr0 vendor="KESTREL" product="DVD-RW  QXR-930D" from=1.21 to=1.22
//   end drive=D node=/dev/sr0 result=updated revision=1.22
//   end drive=D node=/dev/sr0 result=failed message=42
//   end drive=D node=/dev/sr0 result=update-mode message=42
//   refused drive=D node=/dev/sr0 message=54     (or battery=20 when the battery rule refused)
// An end line gets " signal=N" when an interrupt held while the drive was written ends the
// run. message= is the number of the last message that the run showed about the drive (none
// when it showed none).

// No message has told the selected drive's outcome yet.
constexpr int NoDecidingMessage = -1;

// The selected drive's procedure begins: nothing written yet, no message shown about it.
void BeginDriveRecord();

// A message was shown; the last one that tells how a drive's update ended or why it was not
// started is named in its record. A question (`question`) counts only when nothing was said
// before it: "retry?" after "the normal part failed" keeps the failure.
void NoteMessageShown(int code, bool question);

// The battery rule refused the selected drive at `percent` (-1: unknown).
void NoteBatteryRefusal(int percent);

// The start line of the selected drive: written once per procedure, before the first write.
void RecordWritingStart();

// The selected drive's procedure returned with `updated` or not, `held` the signal number of
// an interrupt held meanwhile (0: none): its end line if it was written, else its refusal
// line unless `declined` (the user said No: no check refused it).
void RecordDriveOutcome(bool updated, bool declined, int held);
