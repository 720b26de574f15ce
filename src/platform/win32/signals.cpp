// Ctrl-C, Ctrl-Break and the close, log-off and shut-down events held while a drive is
// written, through SetConsoleCtrlHandler. The handler runs on a thread of its own that
// Windows starts for each console event.
#include <cstdio>

#include "platform/console_events.h"
#include "platform/platform_signals.h"
#include "platform/win32/win32_api.h"

namespace {

constexpr DWORD GraceStepMs = 50;

volatile LONG Inside = 0;
volatile LONG Held = 0;
bool HandlerInstalled = false;
char HeldLine[160];

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (Inside == 0) return FALSE;  // the default: the program ends at once
    const LONG number = HeldSignalForConsoleEvent(event);
    if (number == 0) return FALSE;
    // Held as Ctrl-C is: the run ends once this drive's procedure is over, and no next drive
    // is started.
    if (InterlockedCompareExchange(&Held, number, 0) == 0) {
        std::fputs(HeldLine, stderr);
        std::fflush(stderr);
    }
    if (!ConsoleEventEndsProcess(event)) return TRUE;
    // Close, log-off, shut-down: Windows ends the process when this returns or when its grace
    // time runs out, whichever comes first. Not returning lets the drive and then the run's
    // own end have all of that time; they cannot have more.
    for (;;) Sleep(GraceStepMs);
}

void DriveName(char letter, char* name, size_t size) {
    if (letter != 0) {
        std::snprintf(name, size, "%c:", letter);
    } else {
        std::snprintf(name, size, "on the ASPI layer");
    }
}

}  // namespace

void PlatformBeginCriticalSection(char letter) {
    if (Inside != 0) return;
    char name[24];
    DriveName(letter, name, sizeof name);
    std::snprintf(HeldLine, sizeof HeldLine,
                  "odd-fwupdate: drive %s is being written; the program will stop as soon as "
                  "that is safe.\n",
                  name);
    if (!HandlerInstalled) HandlerInstalled = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
    InterlockedExchange(&Inside, 1);
}

void PlatformEndCriticalSection() {
    InterlockedExchange(&Inside, 0);
}

int PlatformHeldInterrupt() {
    return static_cast<int>(Held);
}

void PlatformReportUpdateModeLeft(char letter) {
    char name[24];
    DriveName(letter, name, sizeof name);
    char line[240];
    std::snprintf(line, sizeof line,
                  "odd-fwupdate: drive %s is still in its update mode and cannot read discs; "
                  "run odd-fwupdate again in the same folder with a good package to finish the "
                  "update.\n",
                  name);
    std::fputs(line, stderr);
    std::fflush(stderr);
}

void PlatformReportNotStarted(char letter) {
    char name[24];
    DriveName(letter, name, sizeof name);
    // Formatted apart and written whole: fprintf would bring in the C runtime's stream locks,
    // which the import list does not allow.
    char line[64];
    std::snprintf(line, sizeof line, "odd-fwupdate: drive %s was not started.\n", name);
    std::fputs(line, stderr);
    std::fflush(stderr);
}

// A console program cannot end itself by a console event: the exit status tells.
void PlatformEndByHeldSignal() {}
