#include "pc/sim_pc.h"
#include "platform/console_events.h"
#include "platform/platform_signals.h"

// Interrupts on the simulated PC: the scripted signal is held inside the critical section
// and recorded; outside it the program ends as a process would.

void SimCommandArrives() {
    ++Sim.CommandsArrived;
    if (Sim.InterruptAtCommand != 0 && Sim.CommandsArrived == Sim.InterruptAtCommand) {
        if (Sim.InterruptConsoleEvent >= 0) {
            SimDeliverConsoleEvent(static_cast<uint32_t>(Sim.InterruptConsoleEvent));
        } else {
            SimDeliverInterrupt(Sim.InterruptSignal);
        }
    }
}

// As the Windows layer's handler takes it: outside the critical section the default ends the
// process; inside, an event held is held as its signal, and one that is not held changes
// nothing for the run (Windows would end the process some time later).
void SimDeliverConsoleEvent(uint32_t event) {
    const int signal = HeldSignalForConsoleEvent(event);
    if (!Sim.InCriticalSection) throw SimProcessEnded{signal};
    if (signal == 0 || Sim.HeldInterrupt != 0) return;
    Sim.HeldInterrupt = signal;
    Sim.HeldNotices.push_back(Sim.CriticalLetter);
}

void SimDeliverInterrupt(int signal) {
    if (signal == 0) return;
    if (!Sim.InCriticalSection) throw SimProcessEnded{signal};
    if (signal == InterruptSignalHangUp) Sim.TerminalGone = true;
    if (Sim.HeldInterrupt != 0) return;
    Sim.HeldInterrupt = signal;
    Sim.HeldNotices.push_back(Sim.CriticalLetter);
}

void PlatformBeginCriticalSection(char letter) {
    if (Sim.InCriticalSection) return;
    Sim.InCriticalSection = true;
    Sim.CriticalLetter = letter;
}

void PlatformEndCriticalSection() {
    Sim.InCriticalSection = false;
}

int PlatformHeldInterrupt() {
    return Sim.HeldInterrupt;
}

void PlatformReportUpdateModeLeft(char letter) {
    Sim.UpdateModeReports.push_back(letter);
}

void PlatformReportNotStarted(char letter) {
    Sim.NotStartedReports += letter;
}

// The simulated process does not end by a signal: its exit status tells.
void PlatformEndByHeldSignal() {}
