#include "run/run_driver.h"

#include <cstdio>

#include "base/drive_record.h"
#include "base/drive_writing.h"
#include "base/run_state.h"
#include "base/timing.h"
#include "console/message.h"
#include "device/command_executor.h"
#include "device/drive_commands.h"
#include "discovery/host_probe.h"
#include "discovery/target_enumeration.h"
#include "platform/platform_console.h"
#include "platform/platform_memory.h"
#include "platform/platform_signals.h"
#include "update/current_generation.h"
#include "update/legacy_generation.h"

const RunProcedures RealProcedures = {ProbeHost, EnumerateTargets, UpdateCurrentGeneration,
                                      UpdateLegacyGeneration};

namespace {

constexpr int ProcedureMask = 0xF000;
constexpr int LegacyProcedure = 0x0000;
constexpr int CurrentProcedure = 0x1000;

constexpr int ResultStopRun = -1;
constexpr int ResultDeclined = 7;  // the user said No to the drive's question
constexpr uint32_t PauseAfterSuccessMs = 2000;
constexpr int ExitAfterSignal = 128;  // + the signal number, as a shell reports it

void FreeBlock(uint8_t*& block, uint32_t& size) {
    if (block != nullptr) PlatformFreeBlock(block);
    block = nullptr;
    size = 0;
}

// Under --yes the exit status tells a script whether every target ended at the package's
// revision: updated now, or found there already (a drive that was not updated and reports that
// revision in its normal mode).
bool EndsAtPackageRevision(int result) {
    if (result == 0) return true;
    return State.InUpdateMode == 0 && State.DriveRevisionNumber != 0 &&
           State.DriveRevisionNumber == State.NewRevision;
}

// After a held interrupt: the targets after `current` were never started.
void ReportNotStarted(int current) {
    for (int i = current + 1; i < State.TargetCount; ++i) {
        PlatformReportNotStarted(State.TargetList[i].DriveLetter);
    }
}

// Every way out of a run once targets were found: the drives left in their update mode are
// named, then what the run holds is released.
int EndRun(int exitCode) {
    ReportDrivesLeftInUpdateMode();
    ReleaseRun();
    return exitCode;
}

}  // namespace

void ReleaseRun() {
    if (State.UsesAspi == 1) {
        if (State.HostAdapterTable != nullptr) PlatformFreeBlock(State.HostAdapterTable);
        State.HostAdapterTable = nullptr;
        // A command the ASPI layer has not ended (a flash that outlasted the count-down), or
        // one in a slot retired after a failed abort, may still be written by the layer: into
        // the request block and into the command's data. Those blocks are kept, deliberately
        // leaked, so that it never writes into freed memory; the process ends right after.
        if (AspiLayerMayStillWrite()) return;
        uint32_t requestBlockSize = 0;
        FreeBlock(State.CommandData, State.CommandDataSize);
        FreeBlock(State.ImageBuffer, State.ImageBufferSize);
        FreeBlock(State.AspiRequestBlock, requestBlockSize);
        FreeBlock(State.WorkBuffer, State.WorkBufferSize);
        return;
    }
    // The notification handles stay open until the process ends; only the hold is released.
    for (int slot = 0; slot < State.Notifications.Filled; ++slot) {
        State.Notifications.Current = slot;
        EndMediaNotificationControl();
    }
    CloseDriveDevice();  // the slot must not keep a descriptor that the release closes
    for (char letter = 'D'; letter <= 'Z'; ++letter) ReleaseDriveLetter(letter);
    FreeBlock(State.CommandData, State.CommandDataSize);
    FreeBlock(State.ImageBuffer, State.ImageBufferSize);
    FreeBlock(State.WorkBuffer, State.WorkBufferSize);
}

int RunProgram(const RunProcedures& procedures) {
    State.UpdateAll = 1;
    State.TimedTransferActive = 0;
    State.AutoInsertCount = 0;

    std::snprintf(State.Text, sizeof State.Text,
                  "\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n", VersionMajor, VersionMinor,
                  VersionLetter);
    ConsolePrint(State.Text);

    State.OemCodePage = PlatformGetOemCodePage();
    FillUpdateDefinition();
    procedures.ProbeHost();

    if (procedures.EnumerateTargets() == 0) {
        // A drive that the OS kept from a user without the needed rights is not "no drive".
        if (State.DeviceAccessDenied) ShowMessage(87, StyleError);
        ShowMessage(28, StyleInformation);
        ReleaseRun();
        return 1;
    }

    // A drive whose writes the host cannot carry is told now, before any question, and left
    // untouched; with none left the run ends as when none was found.
    const int writable = CheckWriteRoutes();
    if (writable == 0) {
        ShowMessage(28, StyleInformation);
        return EndRun(1);
    }

    // Only an explicit Yes lets the drives be updated without asking for each one.
    if (writable > 1) {
        if (ShowMessage(31, StyleYesNo) != AnswerYes) State.UpdateAll = 0;
    } else {
        State.UpdateAll = 0;
    }

    State.SuccessCount = 0;
    bool allAtRevision = true;
    for (int i = 0; i < State.TargetCount; ++i) {
        if (State.RouteRefusal[i] != RouteWritable) continue;
        State.SelectedTarget = i;
        State.DriveRevisionNumber = 0;  // this drive's own, once its identity is read
        BeginDriveRecord();
        ShowMessage(34, StyleReport);

        int result = 1;  // a kind that selects no procedure leaves the target not updated
        switch (State.Definition.Entries[0].KindCode & ProcedureMask) {
            case LegacyProcedure:
                result = procedures.UpdateLegacyGeneration();
                break;
            case CurrentProcedure:
                result = procedures.UpdateCurrentGeneration();
                break;
            default:
                break;
        }

        // An interrupt held while the drive was written ends the run now that its procedure
        // is over: no further target is started.
        EndDriveWriting();
        const int held = HeldInterrupt();
        RecordDriveOutcome(result == 0, result == ResultDeclined, held);

        if (!EndsAtPackageRevision(result)) allAtRevision = false;
        if (held != 0) ReportNotStarted(i);
        if (result == 0) {
            ++State.SuccessCount;
            if (held == 0) WaitMilliseconds(PauseAfterSuccessMs);
        } else if (result == ResultStopRun) {
            ShowMessage(36, StyleWarning);
            return EndRun(held != 0 ? ExitAfterSignal + held : 1);
        }
        if (held != 0) return EndRun(ExitAfterSignal + held);
    }

    if (State.SuccessCount == State.TargetCount) {
        ShowMessage(35, StyleInformation);
    } else if (State.SuccessCount != 0) {
        ShowMessage(58, StyleInformation);
    }
    // The plain run reports through its boxes; --yes also through the exit status.
    return EndRun(State.AssumeYes != 0 && !allAtRevision ? 1 : 0);
}
