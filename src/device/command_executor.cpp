#include "device/command_executor.h"

#include "base/run_state.h"
#include "device/transport.h"

int ExecuteCommand(const CommandRequest& request) {
    // Checked before anything is opened: an index past the list reaches no device.
    const int32_t listed =
        State.TargetCount < TargetListCapacity ? State.TargetCount : TargetListCapacity;
    if (request.Target < 0 || request.Target >= listed) return CommandFailed;
    return State.UsesAspi ? ExecuteAspiCommand(request) : ExecuteSptiCommand(request);
}

int CaptureSense() {
    // ASPI left its sense bytes in SenseBuffer already; SPTI keeps them in its block.
    if (!State.UsesAspi) CaptureSptiSense();
    State.SenseCode = static_cast<uint32_t>(State.SenseBuffer[2]) << 16 |
                      static_cast<uint32_t>(State.SenseBuffer[12]) << 8 | State.SenseBuffer[13];
    return 0;
}

int PollPendingCommand() {
    State.TimedTransferActive = 0;
    return PollPendingAspiCommand();
}
