#pragma once
#include <cstdint>

// Console, message box and language: the host calls behind the message catalogue.

// Writes the bytes to standard output unchanged (no line break, no flush of its own).
void PlatformWriteConsole(const char* text);

// Modal box with caption, text and the buttons/icon of `flags` (MessageBoxA's MB_* values).
// Returns the button pressed (1 OK, 2 Cancel, 6 Yes, 7 No), or 0 when no box could be shown.
int PlatformMessageBox(const char* text, const char* caption, uint32_t flags);

// The console's OEM code page (932 selects the Japanese texts).
uint32_t PlatformGetOemCodePage();

// Writes the text (Shift-JIS where Japanese) to standard error in the run's encoding, for
// what a log or a script should keep apart from the console text. Flushed at once.
void PlatformWriteError(const char* text);
