#include "update/legacy_generation.h"

// Placeholder until the procedure lands: nothing is written, the target is not updated.
int UpdateLegacyGeneration() {
    return 1;
}
