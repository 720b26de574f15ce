#include "run/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/run_state.h"
#include "console/message.h"
#include "discovery/drive_listing.h"
#include "discovery/host_probe.h"
#include "platform/platform_device.h"
#include "run/dry_run.h"
#include "run/run_driver.h"
#include "update/drive_identity.h"

namespace {

const char* const ProgramName = "odd-fwupdate";
const char* const UsageLine = "Usage: odd-fwupdate [--help | --version | --list | --dry-run]\n";

constexpr int ProcedureMask = 0xF000;
constexpr int LegacyProcedure = 0x0000;

// Bytes from a drive or from the command line, shown only as printable ASCII.
std::string Printable(const char* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length && bytes[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

std::string Printable(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '?';
    }
    return text;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The package's revision as "d.dd": the legacy entries name theirs, the others share
// NewRevision.
uint16_t PackageRevision(const DefinitionEntry& entry) {
    if (entry.RevisionText[0] != '\0' && std::memcmp(entry.RevisionText, "0000", 4) != 0) {
        return RevisionNumber(reinterpret_cast<const uint8_t*>(entry.RevisionText));
    }
    return State.NewRevision;
}

std::string RevisionText(uint16_t revision) {
    char text[8];
    std::snprintf(text, sizeof text, "%x.%02x", (revision >> 8) & 0xF, revision & 0xFF);
    return text;
}

std::string ModelOf(const DefinitionEntry& entry) {
    return Printable(entry.Vendor, sizeof entry.Vendor) +
           Printable(entry.Product, sizeof entry.Product);
}

bool IsLegacy(const DefinitionEntry& entry) {
    return (entry.KindCode & ProcedureMask) == LegacyProcedure;
}

// The files an entry's procedure opens, as the user must provide them.
std::string FilesOf(const DefinitionEntry& entry) {
    const std::string name = Printable(entry.ImageFileName, sizeof entry.ImageFileName);
    if (IsLegacy(entry)) return name + " (Intel HEX; some drives also need G6PATCH.HEX)";
    std::string kernel = name;
    if (kernel.size() > 7) kernel[7] = '0';
    if (entry.PartsFlag != 0) return name + " (normal part)";
    return name + " (normal part), " + kernel + " (kernel part)";
}

void Print(const std::string& text) {
    ConsolePrint(text.c_str());
}

void PrintVersion() {
    char line[64];
    std::snprintf(line, sizeof line, "%s %d.%02d%c (ODD Firmware Update Utility)\n", ProgramName,
                  VersionMajor, VersionMinor, VersionLetter);
    Print(line);
    for (int e = 0; e < State.Definition.EntryCount && e < DefinitionEntryCapacity; ++e) {
        const DefinitionEntry& entry = State.Definition.Entries[e];
        Print("Package for " + ModelOf(entry) + ", edition " +
              TrimRight(Printable(entry.Edition, 8)) + ": new revision " +
              RevisionText(PackageRevision(entry)) + "\nImage files: " + FilesOf(entry) + "\n");
    }
}

void PrintHelp() {
    const DefinitionEntry& entry = State.Definition.Entries[0];
    Print(UsageLine);
    Print("\nUpdates the firmware of " + ModelOf(entry) + " drives (edition " +
          TrimRight(Printable(entry.Edition, 8)) + ")\nto revision " +
          RevisionText(PackageRevision(entry)) +
          ".\n"
          "Without an option it finds every drive the built-in package is for, asks on the\n"
          "terminal before it writes anything, and updates the drives one after the other.\n"
          "\n"
          "Options:\n"
          "  -h, --help  show this text and exit\n"
          "  --version   show the version and the built-in package and exit\n"
          "  --list      list the optical drives (letter, device, vendor, product, revision,\n"
          "              date) and, for each drive the package is for, whether the package\n"
          "              is newer, the same or older; it only identifies the drives (INQUIRY\n"
          "              and the vendor page), asks nothing and writes nothing\n"
          "  --dry-run   for each drive the package is for, the checks of a run up to its\n"
          "              question (the drive, both image files against it, the disc, the\n"
          "              region, the right to write and the queue's size): one line per\n"
          "              drive saying what the update would do or which check (message\n"
          "              number and text) stops it; asks nothing and sends nothing that\n"
          "              changes a drive\n"
          "\n"
          "Files (in the current folder):\n"
          "  " +
          FilesOf(entry) +
          "\n"
          "  A name that differs only in case is used when it is the only one.\n"
          "\n"
          "Writing the firmware needs the drive's SCSI generic node /dev/sgN opened\n"
          "read-write (root, and often the cdrom group), or, without an sg node, root with\n"
          "CAP_SYS_RAWIO (--list needs no more than access to the devices). The drives\n"
          "/dev/sr0 to /dev/sr22 are shown as the letters D to Z. Questions are asked on\n"
          "the terminal (/dev/tty); without a terminal every question counts as No and\n"
          "nothing is written.\n"
          "\n"
          "A machine that suspends or shuts down while a drive is written leaves the drive\n"
          "unable to read discs. From a drive's first write until its update is over, a\n"
          "logind inhibitor (mode block) holds off shutdown, sleep, the idle action, the\n"
          "lid switch and the power, suspend and hibernate keys; systemd-inhibit --list\n"
          "shows it. Root can override it, and systemctl without a terminal skips it. On\n"
          "battery below 25 % (a mouse's battery aside) a drive is not updated: plug in.\n"
          "\n"
          "Exit status:\n"
          "  0      the run ended (its summary tells which drives were updated); --help,\n"
          "         --version; --list found a drive the package is for; --dry-run found\n"
          "         a drive it would update\n"
          "  1      no drive the package is for was found, or an error stopped the run;\n"
          "         --dry-run would update no drive\n"
          "  2      the command line was not understood\n"
          "  128+n  stopped by signal n, once no drive was being written\n");
}

std::string ListLine(const ListedDrive& drive) {
    char device[32] = "?";
    if (!PlatformDeviceName(drive.Letter, device, sizeof device)) std::strcpy(device, "?");
    if (drive.Busy != 0) {
        // Nothing was asked: another copy of the program is updating it, or another program
        // holds it alone.
        char line[128];
        if (drive.Holder > 0) {
            std::snprintf(line, sizeof line,
                          "%c  %-10s in use by another odd-fwupdate (process %d)\n", drive.Letter,
                          device, static_cast<int>(drive.Holder));
        } else {
            std::snprintf(line, sizeof line, "%c  %-10s in use by another program\n", drive.Letter,
                          device);
        }
        return line;
    }
    const uint8_t* inquiry = drive.Inquiry;
    // The short date form YY/MM/DD has 8 characters; the others up to 10.
    const bool shortDate = inquiry[39] == '/' && inquiry[42] == '/';
    const std::string date =
        TrimRight(Printable(inquiry + InquiryOffset::FirmwareDateText,
                            shortDate ? 8 : InquiryOffset::FirmwareDateLength));

    char line[160];
    std::snprintf(line, sizeof line, "%c  %-10s %s  %s  %s  %-10s", drive.Letter, device,
                  Printable(inquiry + InquiryOffset::VendorId, 8).c_str(),
                  Printable(inquiry + InquiryOffset::ProductId, 16).c_str(),
                  Printable(inquiry + InquiryOffset::RevisionText, 4).c_str(), date.c_str());
    std::string text = line;
    if (drive.Entry >= 0) {
        const uint16_t package = PackageRevision(State.Definition.Entries[drive.Entry]);
        const std::string name = "package " + RevisionText(package);
        if (drive.InUpdateMode) {
            text += "  in update mode: " + name + " finishes the update";
        } else {
            const uint16_t current = RevisionNumber(inquiry + InquiryOffset::RevisionText);
            text += "  " + name +
                    (package > current    ? " is newer"
                     : package == current ? " is the same"
                                          : " is older");
        }
    }
    return TrimRight(text) + "\n";
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "%s: %s\n%s", ProgramName, problem.c_str(), UsageLine);
    return ExitUsage;
}

}  // namespace

int ListDrives() {
    FillUpdateDefinition();
    ProbeHost();
    static ListedDrive drives[ListedDriveCapacity];
    const int count = ListOpticalDrives(drives);
    int forPackage = 0;
    int busy = 0;
    for (int i = 0; i < count; ++i) {
        Print(ListLine(drives[i]));
        if (drives[i].Entry >= 0) ++forPackage;
        if (drives[i].Busy != 0) ++busy;
    }
    // What the lines cannot say goes to standard error, so that a script reads the lines alone.
    const bool denied = State.DeviceAccessDenied != 0;
    if (count == 0) {
        std::fprintf(stderr,
                     denied ? "%s: no optical drive could be opened; run it as root\n"
                            : "%s: no optical drive was found\n",
                     ProgramName);
    } else {
        if (forPackage == 0 && busy != 0) {
            // A drive in use was not asked: it may well be one the package is for.
            std::fprintf(stderr, "%s: the drives in use were not asked what they are\n",
                         ProgramName);
        } else if (forPackage == 0) {
            std::fprintf(stderr, "%s: none of these drives is one the package is for\n",
                         ProgramName);
        }
        if (denied) {
            std::fprintf(stderr, "%s: some devices could not be opened; run it as root\n",
                         ProgramName);
        }
    }
    ReleaseRun();
    return forPackage > 0 ? 0 : 1;
}

int RunCommandLine(int argc, const char* const* argv) {
    if (argc <= 1) return RunProgram();
    const char* argument = argv[1];
    if (argc > 2) return Usage("one option at a time");
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        FillUpdateDefinition();
        PrintHelp();
        return 0;
    }
    if (std::strcmp(argument, "--version") == 0) {
        FillUpdateDefinition();
        PrintVersion();
        return 0;
    }
    if (std::strcmp(argument, "--list") == 0) return ListDrives();
    if (std::strcmp(argument, "--dry-run") == 0) return DryRunDrives();
    return Usage("unknown argument \"" + Printable(argument, std::strlen(argument)) + "\"");
}
