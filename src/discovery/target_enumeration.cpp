#include "discovery/target_enumeration.h"

#include "run/run_state.h"

// Placeholder until enumeration lands: no drive is ever found.
int EnumerateTargets() {
    State.TargetCount = 0;
    return 0;
}
