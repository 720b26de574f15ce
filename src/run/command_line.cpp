#include "run/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "console/message.h"
#include "discovery/drive_listing.h"
#include "discovery/host_probe.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"
#include "run/command_line_ja.h"
#include "run/dry_run.h"
#include "run/json_output.h"
#include "run/run_driver.h"
#include "update/drive_identity.h"

namespace {

const char* const ProgramName = "odd-fwupdate";
const char* const UsageEn = "Usage: odd-fwupdate [OPTION...] [DEVICE...]\n";

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

// The run's language, as the console and the boxes follow it.
bool Japanese() {
    return PlatformGetOemCodePage() == CodePageJapanese;
}

const char* In(const char* english, const char* japanese) {
    return Japanese() ? japanese : english;
}

const char* const HelpEn =
    "\nUpdates the firmware of %s drives (edition %s)\n"
    "to revision %s.\n"
    "Without an option it finds every drive the built-in package is for, asks on the\n"
    "terminal before it writes anything, and updates the drives one after the other.\n"
    "With devices named, the run, --list and --dry-run consider only those drives.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text and exit\n"
    "  --version   show the version and the built-in package and exit\n"
    "  --list      list the optical drives (letter, device, vendor, product, revision,\n"
    "              date) and, for each drive the package is for, whether the package\n"
    "              is newer, the same or older; it only identifies the drives (INQUIRY\n"
    "              and the vendor page), asks nothing and writes nothing\n"
    "  -y, --yes   consent on the command line: every Yes/No question is answered Yes\n"
    "              (the retry offer once per drive, then No), and boxes that only\n"
    "              report are printed and not waited for; works without a terminal;\n"
    "              what a check refuses stays refused\n"
    "  --dry-run   for each drive the package is for, the checks of a run up to its\n"
    "              question (the drive, both image files against it, the disc, the\n"
    "              region, the right to write and the queue's size): one line per\n"
    "              drive saying what the update would do or which check (message\n"
    "              number and text) stops it; asks nothing and sends nothing that\n"
    "              changes a drive\n"
    "  --json      with --list or --dry-run: one JSON document on standard output\n"
    "              instead of the lines (each drive's letter, device, sg node,\n"
    "              identity, how the package compares and, with --dry-run, its plan,\n"
    "              the deciding message and the reason); notes stay on standard error\n"
    "\n"
    "Devices:\n"
    "  /dev/srN, its sg node /dev/sgN, a path that resolves to one of them\n"
    "  (/dev/cdrom, /dev/disk/by-path/...), or the drive letter (D or D:). A device\n"
    "  that is not a drive the package is for is named on standard error and left\n"
    "  as it is.\n"
    "\n"
    "Files (in the current folder):\n"
    "  %s\n"
    "  A name that differs only in case is used when it is the only one.\n"
    "\n"
    "Writing the firmware needs the drive's SCSI generic node /dev/sgN opened\n"
    "read-write (root, and often the cdrom group), or, without an sg node, root with\n"
    "CAP_SYS_RAWIO (--list needs no more than access to the devices). The drives\n"
    "/dev/sr0 to /dev/sr22 are shown as the letters D to Z. Questions are asked on\n"
    "the terminal (/dev/tty); without a terminal and without --yes every question\n"
    "counts as No and nothing is written.\n"
    "\n"
    "A machine that suspends or shuts down while a drive is written leaves the drive\n"
    "unable to read discs. From a drive's first write until its update is over, a\n"
    "logind inhibitor (mode block) holds off shutdown, sleep, the idle action, the\n"
    "lid switch and the power, suspend and hibernate keys; systemd-inhibit --list\n"
    "shows it. Root can override it, and systemctl without a terminal skips it. On\n"
    "battery below 25 %% (a mouse's battery aside) a drive is not updated: plug in.\n"
    "\n"
    "Exit status:\n"
    "  0      the run ended (its summary tells which drives were updated); with\n"
    "         --yes, every target was updated or was at the package's revision\n"
    "         already; --help, --version; --list found a drive the package is for;\n"
    "         --dry-run found a drive it would update\n"
    "  1      no drive the package is for was found, an error stopped the run, or,\n"
    "         with --yes, a target was refused or failed; --dry-run would update none\n"
    "  2      the command line was not understood\n"
    "  128+n  stopped by signal n, once no drive was being written\n";

void PrintHelp() {
    const DefinitionEntry& entry = State.Definition.Entries[0];
    Print(In(UsageEn, UsageJa));
    static char text[8192];
    std::snprintf(text, sizeof text, In(HelpEn, HelpIntroJa), ModelOf(entry).c_str(),
                  TrimRight(Printable(entry.Edition, 8)).c_str(),
                  RevisionText(PackageRevision(entry)).c_str(), FilesOf(entry).c_str());
    Print(text);
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
    const std::string date =
        TrimRight(Printable(inquiry + InquiryOffset::FirmwareDateText, InquiryDateLength(inquiry)));

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
            const std::string is = PackageIs(package, inquiry);
            text += "  " + name + " is " + (is == "same" ? "the same" : is);
        }
    }
    return TrimRight(text) + "\n";
}

// The lines' columns named, aligned with them.
const char* const ListHeader = "L  DEVICE     VENDOR    PRODUCT           REV   DATE        NOTE\n";

// The list as one JSON document: a busy drive was asked nothing, so it has no identity.
std::string ListDocument(const ListedDrive* listed, int count) {
    static JsonDrive drives[ListedDriveCapacity];
    const uint16_t revision = PackageRevision(State.Definition.Entries[0]);
    for (int i = 0; i < count; ++i) {
        const ListedDrive& from = listed[i];
        JsonDrive& drive = drives[i];
        drive = JsonDrive();
        drive.Letter = from.Letter;
        char node[32] = "";
        if (PlatformDeviceName(from.Letter, node, sizeof node)) drive.Device = node;
        char generic[32] = "";
        if (PlatformGenericNodeName(from.Letter, generic, sizeof generic)) drive.Generic = generic;
        drive.Busy = from.Busy != 0;
        if (drive.Busy) continue;
        drive.Inquiry = from.Inquiry;
        drive.ForPackage = from.Entry >= 0;
        drive.UpdateMode = from.InUpdateMode != 0;
        if (drive.ForPackage && !drive.UpdateMode) {
            drive.PackageIs =
                PackageIs(PackageRevision(State.Definition.Entries[from.Entry]), from.Inquiry);
        }
    }
    return JsonDocument(revision, false, 0, drives, count);
}

// The problem on its own line, then the usage line; both in the run's language.
int Usage(const char* english, const char* japanese, const std::string& word = "") {
    char problem[320];
    std::snprintf(problem, sizeof problem, In(english, japanese), word.c_str());
    const std::string text =
        std::string(ProgramName) + ": " + problem + "\n" + In(UsageEn, UsageJa);
    PlatformWriteError(text.c_str());
    return ExitUsage;
}

void Note(const char* english, const char* japanese) {
    char text[256];
    std::snprintf(text, sizeof text, In(english, japanese), ProgramName);
    PlatformWriteError(text);
}

// What the command line asks for. A new option is one more row of OptionTable.
enum class Action { Run, Help, Version, List, DryRun };

struct CommandLine {
    Action Chosen = Action::Run;
    int Actions = 0;  // how many of --help, --version, --list were given
    bool Yes = false;
    std::vector<const char*> Devices;  // the DEVICE words, as typed
    bool Json = false;
};

struct OptionRow {
    const char* Long;
    const char* Short;  // or null
    void (*Apply)(CommandLine& line);
};

void Choose(CommandLine& line, Action action) {
    line.Chosen = action;
    ++line.Actions;
}

const OptionRow OptionTable[] = {
    {"--help", "-h", [](CommandLine& line) { Choose(line, Action::Help); }},
    {"--version", nullptr, [](CommandLine& line) { Choose(line, Action::Version); }},
    {"--list", nullptr, [](CommandLine& line) { Choose(line, Action::List); }},
    {"--dry-run", nullptr, [](CommandLine& line) { Choose(line, Action::DryRun); }},
    {"--yes", "-y", [](CommandLine& line) { line.Yes = true; }},
    {"--json", nullptr, [](CommandLine& line) { line.Json = true; }},
};

const OptionRow* FindOption(const char* word) {
    for (const OptionRow& row : OptionTable) {
        if (std::strcmp(word, row.Long) == 0) return &row;
        if (row.Short != nullptr && std::strcmp(word, row.Short) == 0) return &row;
    }
    return nullptr;
}

constexpr char FirstLetter = 'D';
constexpr char LastLetter = 'Z';

// "D" or "D:" (either case): the letter, else 0.
char LetterWord(const char* word) {
    const size_t n = std::strlen(word);
    if (n == 0 || n > 2 || (n == 2 && word[1] != ':')) return 0;
    const char letter = static_cast<char>(word[0] & ~0x20);
    return letter >= FirstLetter && letter <= LastLetter ? letter : 0;
}

// A word that names a device: a drive letter, or a path (it holds a '/').
bool DeviceForm(const char* word) {
    return LetterWord(word) != 0 || std::strchr(word, '/') != nullptr;
}

// Only the named drives are considered from now on; a path that leads to no drive is said
// on standard error and leaves nothing to consider in its place.
void NameDevices(const std::vector<const char*>& words) {
    if (words.empty()) return;
    State.LettersNamed = 1;
    State.NamedLetters = 0;
    for (const char* word : words) {
        char letter = LetterWord(word);
        if (letter == 0 && !PlatformLetterOfDevicePath(word, &letter)) {
            char line[320];
            std::snprintf(
                line, sizeof line,
                In("odd-fwupdate: %s is not an optical drive; it is left as it is.\n", NotDriveJa),
                Printable(word, std::strlen(word)).c_str());
            PlatformWriteError(line);
            continue;
        }
        State.NamedLetters |= 1u << (letter - FirstLetter);
    }
}

}  // namespace
int ListDrives(bool json) {
    FillUpdateDefinition();
    ProbeHost();
    static ListedDrive drives[ListedDriveCapacity];
    const int count = ListOpticalDrives(drives);
    int forPackage = 0;
    int busy = 0;
    if (json) {
        Print(ListDocument(drives, count));
    } else if (count > 0) {
        Print(ListHeader);
    }
    for (int i = 0; i < count; ++i) {
        if (!json) Print(ListLine(drives[i]));
        if (drives[i].Entry >= 0) ++forPackage;
        if (drives[i].Busy != 0) ++busy;
    }
    // What the lines cannot say goes to standard error, so that a script reads the lines alone.
    const bool denied = State.DeviceAccessDenied != 0;
    if (count == 0) {
        if (denied) {
            Note("%s: no optical drive could be opened; run it as root\n", NoDriveOpenedJa);
        } else {
            Note("%s: no optical drive was found\n", NoDriveFoundJa);
        }
    } else {
        if (forPackage == 0 && busy != 0) {
            // A drive in use was not asked: it may well be one the package is for.
            Note("%s: the drives in use were not asked what they are\n", InUseNotAskedJa);
        } else if (forPackage == 0) {
            Note("%s: none of these drives is one the package is for\n", NoneForPackageJa);
        }
        if (denied) Note("%s: some devices could not be opened; run it as root\n", SomeNotOpenedJa);
    }
    ReleaseRun();
    return forPackage > 0 ? 0 : 1;
}

int RunCommandLine(int argc, const char* const* argv) {
    // Every word is checked before any device is looked at.
    CommandLine line;
    bool optionsOver = false;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (!optionsOver && std::strcmp(word, "--") == 0) {
            optionsOver = true;
            continue;
        }
        const OptionRow* option = optionsOver ? nullptr : FindOption(word);
        if (option != nullptr) {
            option->Apply(line);
            continue;
        }
        const std::string shown = Printable(word, std::strlen(word));
        if (!optionsOver && word[0] == '-') {
            return Usage("unknown option \"%s\"", UnknownOptionJa, shown);
        }
        if (!DeviceForm(word)) {
            return Usage("neither an option nor a device: \"%s\"", UnknownWordJa, shown);
        }
        line.Devices.push_back(word);
    }
    if (line.Actions > 1) {
        return Usage("one of --help, --version, --list and --dry-run at a time", OneActionJa);
    }
    if (line.Yes && line.Chosen != Action::Run) {
        return Usage("--yes goes with a run only", YesOnlyRunJa);
    }
    if (line.Json && line.Chosen != Action::List && line.Chosen != Action::DryRun) {
        return Usage("--json goes with --list or --dry-run only", JsonOnlyListJa);
    }

    switch (line.Chosen) {
        case Action::Help:
            FillUpdateDefinition();
            PrintHelp();
            return 0;
        case Action::Version:
            FillUpdateDefinition();
            PrintVersion();
            return 0;
        case Action::List:
        case Action::DryRun:
        case Action::Run:
            break;
    }
    NameDevices(line.Devices);
    if (line.Chosen == Action::List) return ListDrives(line.Json);
    if (line.Chosen == Action::DryRun) return DryRunDrives(line.Json);
    State.AssumeYes = line.Yes ? 1 : 0;
    return RunProgram();
}
