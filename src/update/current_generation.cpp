#include "update/current_generation.h"

// Placeholder until the procedure lands: nothing is written, the target is not updated.
int UpdateCurrentGeneration() {
    return 1;
}
