#include "run/dry_run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/run_state.h"
#include "console/message.h"
#include "discovery/drive_listing.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"
#include "run/json_output.h"
#include "run/run_driver.h"
#include "update/current_generation.h"

namespace {

constexpr int ProcedureMask = 0xF000;
constexpr int CurrentProcedure = 0x1000;
constexpr int InquiryRevisionOffset = 32;

// The words around the lines, English or (Shift-JIS) Japanese, as the console shows the run.
struct DryRunWords {
    const char* NotUpdated;
    const char* Message;
    const char* InUse;
    const char* InUseByProgram;
    const char* Narrow;
    const char* NotChecked;
};

const DryRunWords English = {
    "not updated",
    "message",
    "in use by another odd-fwupdate (process %d)",
    "in use by another program",
    "its queue takes less than a 32 KiB chunk per command",
    "not checked: the dry run covers the current drive generation only",
};

const DryRunWords Japanese = {
    "\x8dX\x90V\x82\xb5\x82\xdc\x82\xb9\x82\xf1",
    "\x83\x81\x83\x62\x83Z\x81[\x83W",
    "\x95\xca\x82\xcc odd-fwupdate (\x83v\x83\x8d\x83Z\x83X %d) \x82\xaa\x8eg\x97p\x92\x86",
    "\x95\xca\x82\xcc\x83v\x83\x8d\x83O\x83\x89\x83\x80\x82\xaa\x8eg\x97p\x92\x86",
    "\x83L\x83\x85\x81[\x82\xaa 1 \x83R\x83}\x83\x93\x83h\x82\xc5 32 KiB \x82\xf0\x93]\x91\x97"
    "\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1",
    "\x8am\x94\x46\x82\xb5\x82\xdc\x82\xb9\x82\xf1: \x83h\x83\x89\x83\x43 \x83\x89\x83\x93\x82\xcd"
    "\x8c\xbb\x8ds\x90\xa2\x91\xe3\x82\xcc\x83h\x83\x89\x83\x43\x83u\x82\xbe\x82\xaf\x82\xf0\x88"
    "\xb5\x82\xa2\x82\xdc\x82\xb7",
};

const DryRunWords& Words() {
    return State.OemCodePage == CodePageJapanese ? Japanese : English;
}

// A message's text on one line: its line breaks become blanks, the ends are trimmed.
std::string OneLine(const char* text) {
    std::string line;
    for (const char* at = text; *at != '\0'; ++at) {
        const char c = *at == '\r' || *at == '\n' ? ' ' : *at;
        if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
        line += c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string DriveName(char letter) {
    char node[32] = "?";
    PlatformDeviceName(letter, node, sizeof node);
    return std::string(1, letter) + ": " + node;
}

// The revision the drive reported ("1.21", or "0000" in its update mode).
std::string DriveRevision() {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = State.InquiryData[InquiryRevisionOffset + i];
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

void Say(const std::string& line) {
    PlatformWriteConsole((line + "\n").c_str());
}

// What the checks of one drive ended with, for its line and for the document.
struct Outcome {
    const char* Plan;  // "update", "latest", "refused", "busy"
    uint32_t Message;  // the message that decided it, or 0
    std::string Reason;
    std::string Line;  // the line in the run's language
};

constexpr uint32_t AlreadyLatest = 54;

Outcome Refused(const std::string& name, uint32_t message, const std::string& reason) {
    std::string line = name + ": " + Words().NotUpdated + ": ";
    if (message != 0) line += std::string(Words().Message) + " " + std::to_string(message) + ": ";
    return {"refused", message, reason, line + reason};
}

// The checks of one target.
Outcome CheckTarget(int target) {
    const char letter = State.TargetList[target].DriveLetter;
    const std::string name = DriveName(letter);
    if (State.RouteRefusal[target] == RouteDenied) {
        // Its text as a run shows it for this drive.
        State.SelectedTarget = target;
        State.DryRunMessage = 0;
        ShowMessage(87, StyleError);
        return Refused(name, 87, OneLine(State.DryRunText));
    }
    if (State.RouteRefusal[target] == RouteTooNarrow) return Refused(name, 0, Words().Narrow);
    // The legacy procedure writes as it checks: a dry run does not start it.
    if ((State.Definition.Entries[0].KindCode & ProcedureMask) != CurrentProcedure) {
        return {"refused", 0, Words().NotChecked, name + ": " + Words().NotChecked};
    }
    State.SelectedTarget = target;
    State.DryRunMessage = 0;
    State.DryRunText[0] = '\0';
    std::memset(State.InquiryData, 0, sizeof State.InquiryData);
    const int result = UpdateCurrentGeneration();
    const std::string revision = DriveRevision();
    if (result == 0) {
        const std::string change = revision + " -> " + OneLine(State.NewRevisionText);
        return {"update", 0, change, name + " " + change};
    }
    // A drive that could not be identified has no revision to show.
    const std::string shown = name + (revision != "????" ? " " + revision : "");
    if (State.DryRunMessage == 0) {
        return {"refused", 0, Words().NotUpdated, shown + ": " + Words().NotUpdated};
    }
    Outcome outcome = Refused(shown, State.DryRunMessage, OneLine(State.DryRunText));
    if (State.DryRunMessage == AlreadyLatest) outcome.Plan = "latest";
    return outcome;
}

// The drive as the document names it; a busy drive was asked nothing.
JsonDrive Described(char letter, int target, uint16_t packageRevision) {
    JsonDrive drive;
    drive.Letter = letter;
    char node[32] = "";
    if (PlatformDeviceName(letter, node, sizeof node)) drive.Device = node;
    char generic[32] = "";
    if (PlatformGenericNodeName(letter, generic, sizeof generic)) drive.Generic = generic;
    if (target < 0) {
        drive.Busy = true;
        return drive;
    }
    drive.ForPackage = true;
    if (target < IdentifiedTargetCapacity) {
        drive.Inquiry = State.TargetInquiry[target];
        drive.UpdateMode = State.TargetUpdateMode[target] != 0;
        if (!drive.UpdateMode) drive.PackageIs = PackageIs(packageRevision, drive.Inquiry);
    }
    return drive;
}

}  // namespace

int DryRunDrives(bool json) {
    State.DryRun = 1;
    State.UpdateAll = 0;
    // The document's reasons are English whatever the locale: scripts compare them.
    State.OemCodePage = json ? CodePageEnglish : PlatformGetOemCodePage();
    FillUpdateDefinition();
    ProbeHost();
    EnumerateTargets();
    const uint16_t packageRevision = PackageRevision(State.Definition.Entries[0]);
    State.NormalImageDate = 0;

    static JsonDrive drives[ListedDriveCapacity];
    int described = 0;
    auto note = [&](char letter, int target, const Outcome& outcome) {
        if (!json) {
            Say(outcome.Line);
            return;
        }
        if (described >= ListedDriveCapacity) return;
        JsonDrive& drive = drives[described++];
        drive = Described(letter, target, packageRevision);
        drive.Plan = outcome.Plan;
        drive.Message = outcome.Message;
        drive.Reason = outcome.Reason;
    };

    // The drives another copy of the program holds, first: nothing was asked of them.
    for (int i = 0; i < State.Busy.Count; ++i) {
        char text[160];
        std::snprintf(text, sizeof text, Words().InUse, static_cast<int>(State.Busy.Holders[i]));
        const std::string reason = State.Busy.Holders[i] > 0 ? text : Words().InUseByProgram;
        const char letter = State.Busy.Letters[i];
        note(letter, -1,
             {"busy", 0, reason, DriveName(letter) + ": " + Words().NotUpdated + ": " + reason});
    }
    CheckWriteRoutes();  // in a dry run its 87 is only kept, and said on the drive's line

    int wouldUpdate = 0;
    for (int i = 0; i < State.TargetCount && i < TargetListCapacity; ++i) {
        const Outcome outcome = CheckTarget(i);
        if (std::strcmp(outcome.Plan, "update") == 0) ++wouldUpdate;
        note(State.TargetList[i].DriveLetter, i, outcome);
    }
    if (json) {
        // In letter order, as the list shows them.
        std::stable_sort(drives, drives + described, [](const JsonDrive& a, const JsonDrive& b) {
            return a.Letter < b.Letter;
        });
        PlatformWriteConsole(
            JsonDocument(packageRevision, true, State.NormalImageDate, drives, described).c_str());
    }
    ReleaseRun();
    return wouldUpdate > 0 ? 0 : 1;
}
