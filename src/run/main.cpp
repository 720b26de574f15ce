#include "run/run_driver.h"

// The Windows program: the arguments are ignored, the package is described by the built-in
// definition.
int main() {
    return RunProgram();
}
