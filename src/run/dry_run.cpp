#include "run/dry_run.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/run_state.h"
#include "console/message.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_console.h"
#include "platform/platform_device.h"
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

// What the checks of one target ended with: the line, and whether the drive would be updated.
bool CheckTarget(int target) {
    const char letter = State.TargetList[target].DriveLetter;
    const std::string name = DriveName(letter);
    if (State.RouteRefusal[target] == RouteDenied) {
        // Its text as a run shows it for this drive.
        State.SelectedTarget = target;
        State.DryRunMessage = 0;
        ShowMessage(87, StyleError);
        Say(name + ": " + Words().NotUpdated + ": " + Words().Message +
            " 87: " + OneLine(State.DryRunText));
        return false;
    }
    if (State.RouteRefusal[target] == RouteTooNarrow) {
        Say(name + ": " + Words().NotUpdated + ": " + Words().Narrow);
        return false;
    }
    // The legacy procedure writes as it checks: a dry run does not start it.
    if ((State.Definition.Entries[0].KindCode & ProcedureMask) != CurrentProcedure) {
        Say(name + ": " + Words().NotChecked);
        return false;
    }
    State.SelectedTarget = target;
    State.DryRunMessage = 0;
    State.DryRunText[0] = '\0';
    std::memset(State.InquiryData, 0, sizeof State.InquiryData);
    const int result = UpdateCurrentGeneration();
    const std::string revision = DriveRevision();
    if (result == 0) {
        Say(name + " " + revision + " -> " + OneLine(State.NewRevisionText));
        return true;
    }
    // A drive that could not be identified has no revision to show.
    std::string line = name + (revision != "????" ? " " + revision : "");
    line += std::string(": ") + Words().NotUpdated;
    if (State.DryRunMessage != 0) {
        line += ": " + std::string(Words().Message) + " " + std::to_string(State.DryRunMessage) +
                ": " + OneLine(State.DryRunText);
    }
    Say(line);
    return false;
}

}  // namespace

int DryRunDrives() {
    State.DryRun = 1;
    State.UpdateAll = 0;
    State.OemCodePage = PlatformGetOemCodePage();
    FillUpdateDefinition();
    ProbeHost();
    EnumerateTargets();

    // The drives another copy of the program holds, first: nothing was asked of them.
    for (int i = 0; i < State.Busy.Count; ++i) {
        char text[160];
        std::snprintf(text, sizeof text, Words().InUse, static_cast<int>(State.Busy.Holders[i]));
        Say(DriveName(State.Busy.Letters[i]) + ": " + Words().NotUpdated + ": " +
            (State.Busy.Holders[i] > 0 ? text : Words().InUseByProgram));
    }
    CheckWriteRoutes();  // in a dry run its 87 is only kept, and said on the drive's line

    int wouldUpdate = 0;
    for (int i = 0; i < State.TargetCount && i < TargetListCapacity; ++i) {
        if (CheckTarget(i)) ++wouldUpdate;
    }
    ReleaseRun();
    return wouldUpdate > 0 ? 0 : 1;
}
