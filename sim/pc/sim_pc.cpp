#include "pc/sim_pc.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/platform_clock.h"
#include "platform/platform_console.h"
#include "platform/platform_memory.h"

SimPc Sim;

void ResetSim() {
    std::vector<uint8_t*> held = std::move(Sim.HeldBlocks);
    Sim = SimPc();
    Sim.HeldBlocks = std::move(held);
}

void SimEndProcess() {
    for (uint8_t* block : Sim.HeldBlocks) std::free(block);
    Sim.HeldBlocks.clear();
}

void SimUseWindows98() {
    Sim.OsPlatformId = 1;
    Sim.OsMajor = 4;
    Sim.OsMinor = 10;
    Sim.AspiLoadable = true;
}

void SimAdvanceClock(uint32_t ms) {
    Sim.ClockMs += ms;
    SimCompletePendingCommands();
}

void PlatformWriteConsole(const char* text) {
    Sim.Console += text;
    if (Sim.ShowConsole != nullptr) Sim.ShowConsole(text);
}

void PlatformWriteError(const char* text) {
    Sim.Errors += text;
}

int PlatformMessageBox(const char* text, const char* caption, uint32_t flags) {
    if (Sim.InterruptAtBox != 0 && Sim.Boxes.size() + 1 == Sim.InterruptAtBox) {
        SimDeliverInterrupt(Sim.InterruptSignal);
    }
    int answer = 0;
    if (Sim.TerminalGone) {
        // No box can be shown on a terminal that hung up.
    } else if (Sim.AskBox != nullptr) {
        answer = Sim.AskBox(text, caption, flags);
    } else if (!Sim.BoxAnswers.empty()) {
        answer = Sim.BoxAnswers.front();
        Sim.BoxAnswers.pop_front();
    }
    Sim.Boxes.push_back({text, caption, flags, answer});
    Sim.ConsoleAtBox.push_back(Sim.Console.size());
    return answer;
}

uint32_t PlatformGetOemCodePage() {
    return Sim.OemCodePage;
}

uint32_t PlatformTimeBeginPeriod(uint32_t periodMs) {
    if (periodMs < Sim.RefusedTimerPeriods) return 97;  // TIMERR_NOCANDO
    ++Sim.TimerPeriodsHeld;
    return 0;
}

void PlatformTimeEndPeriod(uint32_t) {
    if (Sim.TimerPeriodsHeld > 0) --Sim.TimerPeriodsHeld;
}

uint32_t PlatformTimeGetTime() {
    return Sim.ClockMs;
}

void PlatformIdleUntil(uint32_t deadlineMs) {
    const int32_t remaining = static_cast<int32_t>(deadlineMs - Sim.ClockMs);
    if (remaining <= 0) return;
    Sim.Waits.push_back(static_cast<uint32_t>(remaining));
    Sim.ClockMs = deadlineMs;
    if (Sim.PassTime != nullptr) Sim.PassTime(static_cast<uint32_t>(remaining));
    SimCompletePendingCommands();
}

void PlatformSleep(uint32_t ms) {
    Sim.Sleeps.push_back(ms);
    Sim.ClockMs += ms;
    if (Sim.PassTime != nullptr) Sim.PassTime(ms);
    SimCompletePendingCommands();
}

uint8_t* PlatformAllocateBlock(uint32_t size) {
    if (Sim.AllocationsLeft == 0) return nullptr;
    if (Sim.AllocationsLeft > 0) --Sim.AllocationsLeft;
    auto* block = static_cast<uint8_t*>(std::calloc(size, 1));
    if (block != nullptr) Sim.HeldBlocks.push_back(block);
    return block;
}

void PlatformFreeBlock(uint8_t* block) {
    if (block == nullptr) return;
    const auto held = std::find(Sim.HeldBlocks.begin(), Sim.HeldBlocks.end(), block);
    if (held != Sim.HeldBlocks.end()) Sim.HeldBlocks.erase(held);
    std::free(block);
}
