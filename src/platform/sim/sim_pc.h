#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The simulated PC: the host that the tests and the demo run on. Everything the program
// asks of its platform is answered from here, and everything it does is recorded here.

struct SimBoxRecord {
    std::string Text;
    std::string Caption;
    uint32_t Flags;
    int Answer;
};

// One command as it reached a virtual drive (or failed to), in order of submission.
struct SimCommandRecord {
    char Letter;         // SPTI: the drive letter; 0 on ASPI
    int Adapter;         // ASPI: host adapter number; -1 on SPTI
    int TargetId;        // ASPI: target id; -1 on SPTI
    uint8_t Cdb[16];
    int CdbLength;
    int Direction;       // 0 none, 1 in (drive to host), 2 out
    uint32_t Length;     // transfer length
    uint32_t TimeoutMs;  // SPTI: TimeOutValue x 1000; ASPI: 0 (the ASPI block carries none)
    uint8_t Status;      // SCSI status (0 good, 2 CHECK CONDITION); SimCallFailed when the
                         // pass-through call itself failed
    uint8_t Sense[18];   // fixed-format sense data returned with CHECK CONDITION
    uint32_t AtMs;       // virtual clock when the command was submitted
};
constexpr uint8_t SimCallFailed = 0xFF;

struct SimPc {
    // Console and language
    std::string Console;  // everything written to standard output
    uint32_t OemCodePage = 437;

    // Boxes: answers are taken in order; when none is left the box counts as not shown (0).
    std::deque<int> BoxAnswers;
    std::vector<SimBoxRecord> Boxes;
    // Console length at the moment each box was shown, so tests can check the order.
    std::vector<size_t> ConsoleAtBox;

    // Virtual clock
    uint32_t ClockMs = 0;
    uint32_t TimerPeriodsHeld = 0;     // timeBeginPeriod without its timeEndPeriod yet
    uint32_t RefusedTimerPeriods = 0;  // periods below this are refused
    std::vector<uint32_t> Waits;       // each stretch the clock was idled forward
    std::vector<uint32_t> Sleeps;      // each Sleep(ms)

    // Memory blocks
    int AllocationsLeft = -1;  // -1 no limit; 0 the next allocation fails
    int BlocksHeld = 0;

    // Drives: every command that reached the drive layer
    std::vector<SimCommandRecord> Trace;
};

extern SimPc Sim;

// A fresh PC: empty console, no answers, clock at 0.
void ResetSim();

// Advances the virtual clock by `ms` without recording a wait (time spent by a device).
void SimAdvanceClock(uint32_t ms);
