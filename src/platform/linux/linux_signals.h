#pragma once

// The terminal as the interrupt handling sees it, shared with the console and its boxes.

// True once the terminal has hung up (SIGHUP while a drive was being written) or answered a
// box with an error: every box from then on counts as not shown (0).
bool TerminalGone();

// A box found the terminal unusable.
void MarkTerminalGone();
