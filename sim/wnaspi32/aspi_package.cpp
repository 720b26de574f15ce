// Writes the firmware package for the test ASPI layer's drive into a folder (the wine test's
// working folder): odd-fwupdate.exe updates the drive with it, and the DLL's report of the
// drive's flash is compared with these files.
#include <cstdio>

#include "aspi_drive.h"
#include "sample_package.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: win32_aspi_package FOLDER\n", stderr);
        return 2;
    }
    VirtualDrive drive;
    SetUpAspiDrive(drive);
    const SamplePackage package = SamplePackageFor(drive, AspiNewRevision, AspiNewDate);
    if (!WriteSamplePackage(package, argv[1])) {
        std::fprintf(stderr, "win32_aspi_package: cannot write into %s\n", argv[1]);
        return 1;
    }
    std::printf("%s %s\n", package.NormalName.c_str(), package.KernelName.c_str());
    return 0;
}
