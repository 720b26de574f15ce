#pragma once

// Interrupts while a drive is being written. A drive left half-written in its update mode
// cannot read a disc, so from the first write to a drive until its procedure returns, the
// requests that would end the program (Ctrl-C, Ctrl-Break, hang-up, termination, quit) are
// held, and a stop from the terminal is ignored. Outside that stretch they act at once.

// Signal numbers as the exit status reports them (128 + the number).
constexpr int InterruptSignalHangUp = 1;
constexpr int InterruptSignalInt = 2;

// The drive at `letter` is about to be written: hold interrupts from now on. The first one
// held says so on standard error, naming the drive. A second call before the end does
// nothing.
void PlatformBeginCriticalSection(char letter);

// The drive's procedure has returned: interrupts act at once again (a held one is kept).
void PlatformEndCriticalSection();

// The signal number of the first interrupt held in this run, or 0.
int PlatformHeldInterrupt();

// One line on standard error: the drive at `letter` is still in its update mode, and running
// the program again in the same folder with a good package finishes the update.
void PlatformReportUpdateModeLeft(char letter);

// After a run that a held interrupt ended: ends the process by that signal, so that a calling
// shell sees an interrupted child. Returns only where that is not possible (no held signal,
// or a host without signals); the caller then exits with 128 + the number.
void PlatformEndByHeldSignal();

// One line on standard error after a held interrupt ended the run: the drive at `letter` was
// not started.
void PlatformReportNotStarted(char letter);
