// Console, language and message box: the C runtime's stdout in text mode, GetOEMCP and
// MessageBoxA.
#include <cstdio>

#include "platform/win32/win32_api.h"

// Text mode, as a console program's printf writes: each "\n" reaches the console as CR LF.
void PlatformWriteConsole(const char* text) {
    std::fputs(text, stdout);
}

void PlatformWriteError(const char* text) {
    std::fflush(stdout);  // what the console showed first stays first
    std::fputs(text, stderr);
    std::fflush(stderr);
}

uint32_t PlatformGetOemCodePage() {
    return GetOEMCP();
}

// No owner window: the box belongs to no window of the program, which has none.
int PlatformMessageBox(const char* text, const char* caption, uint32_t flags) {
    // The console text that goes with the box is out before the box blocks the run.
    std::fflush(stdout);
    return MessageBoxA(nullptr, text, caption, flags);
}
