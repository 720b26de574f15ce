#pragma once

// The terminal as the interrupt handling sees it, shared with the console and its boxes.

// True once the terminal has hung up (SIGHUP while a drive was being written) or answered a
// box with an error: every box from then on counts as not shown (0).
bool TerminalGone();

// A box found the terminal unusable.
void MarkTerminalGone();

// The console's last text left its line open (no line end), as a progress line does: a held
// interrupt's line then starts on a line of its own where both outputs share a terminal or
// file. Async-signal-safe to read.
void NoteConsoleLineOpen(bool open);

// From now on a signal that ends the program outside the stretch of a drive being written
// first calls `lastWords` (async-signal-safe calls only), then ends the program by that
// signal. A signal the program was started to ignore stays ignored.
void ArmEndingSignals(void (*lastWords)());
