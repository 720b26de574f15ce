// The update program on the simulated PC: one virtual drive at D: running 1.21, the package
// for 1.22 written into a fresh temporary folder that becomes the current directory, the
// boxes asked on the terminal, and every wait taken at a tenth of its length, so that the
// progress and the pauses can be watched. With the argument "legacy" the drive and the
// package are of the older generation instead: a drive running 1.05 and the HEX image of 1.07.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "legacy_scenario.h"
#include "pc/sim_pc.h"
#include "platform/linux/linux_console.h"
#include "run/run_driver.h"
#include "sample_package.h"
#include "virtual_drive.h"

namespace {

namespace fs = std::filesystem;

// The language and the encoding follow the locale as in the real program.
bool TerminalNeedsUtf8() {
    static const bool needs =
        LocaleNeedsUtf8(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    return needs;
}

std::string InTerminalEncoding(const char* text) {
    return TerminalNeedsUtf8() ? Cp932ToUtf8(text) : std::string(text);
}

void ShowOnTerminal(const char* text) {
    std::fputs(InTerminalEncoding(text).c_str(), stdout);
    std::fflush(stdout);  // progress lines carry no line break
}

// As the Linux box does: on the controlling terminal; without one, on standard input and
// output, so that answers can also be piped in.
int AskOnTerminal(const char* text, const char* caption, uint32_t flags) {
    std::fflush(stdout);
    const std::string shown = InTerminalEncoding(text);
    const std::string hint = InTerminalEncoding(BoxHint(flags, Sim.OemCodePage == 932));
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr) {
        return RunTerminalBox(stdin, stdout, shown.c_str(), caption, flags, hint.c_str());
    }
    const int answer = RunTerminalBox(tty, tty, shown.c_str(), caption, flags, hint.c_str());
    std::fclose(tty);
    return answer;
}

void PassTenthOfTime(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / 10));
}

// A folder that did not exist before, below the system's temporary folder.
bool MakeFreshFolder(fs::path& folder) {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) return false;
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, "odd-fwupdate-demo-%08x", static_cast<unsigned>(random()));
        folder = base / name;
        if (fs::create_directory(folder, error)) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const bool legacy = argc > 1 && std::string(argv[1]) == "legacy";
    ResetSim();
    VirtualDrive& drive = SimAttachDrive('D');
    drive.Vendor = "KESTREL ";
    drive.Product = "DVD-RW  QXR-930D";
    drive.Revision = "1.21";
    drive.DateText = "08/07/01";
    drive.HardwareRevision = "SAT 0001";
    drive.KernelEdition = "GENERAL ";
    drive.NormalEdition = "GENERAL ";
    if (legacy) SetUpLegacyDrive(drive);

    fs::path folder;
    if (!MakeFreshFolder(folder)) {
        std::fputs("odd-fwupdate-demo: no temporary folder could be made\n", stderr);
        return 2;
    }
    const SamplePackage package = SamplePackageFor(drive, "1.22", "08/07/25");
    std::error_code error;
    const fs::path started = fs::current_path(error);
    const bool written =
        legacy ? WriteLegacyPackage(folder.string()) : WriteSamplePackage(package, folder.string());
    if (!written || (fs::current_path(folder, error), error)) {
        std::fputs("odd-fwupdate-demo: the sample package could not be written\n", stderr);
        fs::remove_all(folder, error);
        return 2;
    }
    if (legacy) {
        std::printf("Simulated PC: %s%s %s at D:, HEX image %s in %s\n", drive.Vendor.c_str(),
                    drive.Product.c_str(), drive.Revision.c_str(), LegacyImageName,
                    folder.string().c_str());
    } else {
        std::printf("Simulated PC: %s%s %s at D:, package %s and %s in %s\n", drive.Vendor.c_str(),
                    drive.Product.c_str(), drive.Revision.c_str(), package.NormalName.c_str(),
                    package.KernelName.c_str(), folder.string().c_str());
    }

    Sim.OemCodePage =
        CodePageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    Sim.FilesFromHost = true;
    Sim.ShowConsole = ShowOnTerminal;
    Sim.AskBox = AskOnTerminal;
    Sim.PassTime = PassTenthOfTime;

    const int exitCode = RunProgram(legacy ? LegacyProcedures : RealProcedures);

    std::printf("\n\nThe virtual drive now reports %s dated %s; exit code %d.\n",
                drive.Revision.c_str(), drive.DateText.c_str(), exitCode);
    if (!started.empty()) fs::current_path(started, error);
    fs::remove_all(folder, error);
    return exitCode;
}
