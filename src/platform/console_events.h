#pragma once
#include <cstdint>

// The Windows console events (SetConsoleCtrlHandler's numbers) and the signal number each
// one is held as while a drive is written, which the exit status reports as 128 + it: the C
// runtime's SIGINT for Ctrl-C, SIGBREAK for Ctrl-Break, and its SIGTERM for a closed console
// window, a log-off and a shut-down, which all ask the program to end. 0: an event that is not
// held. Shared by the Windows layer and the simulated PC.

constexpr uint32_t ConsoleEventCtrlC = 0;
constexpr uint32_t ConsoleEventCtrlBreak = 1;
constexpr uint32_t ConsoleEventClose = 2;
constexpr uint32_t ConsoleEventLogoff = 5;
constexpr uint32_t ConsoleEventShutdown = 6;

constexpr int HeldSignalCtrlC = 2;
constexpr int HeldSignalCtrlBreak = 21;
constexpr int HeldSignalEnd = 15;

inline int HeldSignalForConsoleEvent(uint32_t event) {
    switch (event) {
        case ConsoleEventCtrlC:
            return HeldSignalCtrlC;
        case ConsoleEventCtrlBreak:
            return HeldSignalCtrlBreak;
        case ConsoleEventClose:
        case ConsoleEventLogoff:
        case ConsoleEventShutdown:
            return HeldSignalEnd;
        default:
            return 0;
    }
}

// Ctrl-C and Ctrl-Break are only requests: the handler takes them and the program goes on.
// The others end the process once the handler returns (or its grace time runs out).
inline bool ConsoleEventEndsProcess(uint32_t event) {
    return event == ConsoleEventClose || event == ConsoleEventLogoff ||
           event == ConsoleEventShutdown;
}
