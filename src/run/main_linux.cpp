#include "base/drive_writing.h"
#include "platform/platform_signals.h"
#include "run/command_line.h"

// The Linux program: the run as before, or --help, --version or --list. A run that a held
// interrupt ended ends by that signal, so that a calling shell script stops too.
int main(int argc, char** argv) {
    const int status = RunCommandLine(argc, argv);
    if (HeldInterrupt() != 0) PlatformEndByHeldSignal();
    return status;
}
