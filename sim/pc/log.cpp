#include "pc/sim_pc.h"
#include "platform/platform_log.h"

// The system log on the simulated PC: each record is kept, with how many commands had reached
// the drive layer by then.
void PlatformLogRecord(LogLevel level, char letter, const char* event, const char* details) {
    Sim.LogRecords.push_back({level, letter, event, details, Sim.Trace.size()});
}
