#include "base/run_state.h"

#include <cstring>

#include "base/drive_record.h"

RunState State;

void ResetRunState() {
    std::memset(&State, 0, sizeof State);
    State.Ieee1394Marker = -1;
    State.DecidingMessage = NoDecidingMessage;
}
