#include "discovery/host_probe.h"

#include "run/run_state.h"

// Placeholder until the host probe lands: the default time-out only, no transport.
int ProbeHost() {
    State.CommandTimeout = 1000;
    return 0;
}
