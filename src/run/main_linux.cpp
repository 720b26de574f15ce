#include "run/command_line.h"

// The Linux program: the run as before, or --help, --version or --list.
int main(int argc, char** argv) {
    return RunCommandLine(argc, argv);
}
