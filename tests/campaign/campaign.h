#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "run/run_driver.h"
#include "virtual_drive.h"

// The fault campaigns: whole runs of the program on the simulated PC, each with one fault
// injected at one command, judged against the failure tables.

// How the injected fault strikes the command it catches.
enum class CampaignFault {
    HardwareError,  // CHECK CONDITION, 04/44/00 (internal target failure)
    UnitAttention,  // CHECK CONDITION, 06/29/00 (power on or reset occurred)
    CallFails,      // the pass-through call fails before the drive sees the command
    CallFailsLate,  // the drive carries the command out, then the call fails
    PowerLoss,      // the drive loses power as the command arrives
    Interrupt,      // the program receives a signal as the command arrives (Sim.InterruptAt...)
};
const char* FaultName(CampaignFault fault);
constexpr CampaignFault AllFaults[] = {CampaignFault::HardwareError, CampaignFault::UnitAttention,
                                       CampaignFault::CallFails, CampaignFault::CallFailsLate,
                                       CampaignFault::PowerLoss};

struct CampaignTally {
    int Runs = 0;            // program runs, second runs after a power loss included
    int PowerLosses = 0;     // runs with a power loss, each followed by a second run
    int Recovered = 0;       // of those, the second run left the drive on the new firmware
    int FalseSuccesses = 0;  // message 12 or 35 without the new firmware in the drive
    int Failures = 0;        // any other broken expectation
};

// Prints one broken expectation of the run described by `where` and counts it.
void CampaignFailure(CampaignTally& tally, const std::string& where, const std::string& what);

// Answers the boxes of the runs that follow: Yes to every question but the retry offer
// (message 47), which gets `retryAnswer` at most `retriesAllowed` times and No after that;
// OK to every report box. Counts the retry offers.
void AnswerBoxes(int retryAnswer, int retriesAllowed);
int RetryOffers();

// A message as the user last saw it: its text and style (0 console only; 2, 16, 17, 18
// boxes). Empty text when nothing of the catalogue was shown last.
struct SeenMessage {
    std::string Text;
    int32_t Style;
};
SeenMessage LastMessage();

// A message by its code and the style it is shown with.
struct SeenCode {
    uint32_t Code;
    int32_t Style;
};

// The catalogue's English text for `code`, or the unknown-message text.
std::string MessageText(uint32_t code);

// True when the console shows the text of `code`.
bool ConsoleShows(uint32_t code);

// Index in Sim.Trace of the first WRITE BUFFER at or after `from`; -1 when there is none.
int WriteBufferFrom(size_t from);

// The fault as the virtual drive injects it at its `n`-th command.
VirtualDriveFault FaultAt(uint32_t n, CampaignFault fault);

// One run of the program, as from a fresh process, on the simulated PC as it stands (the
// drives and files stay); console, boxes and trace hold this run only. Counts the run. A
// signal that ends the process gives 128 + its number.
int RunOnce(CampaignTally& tally, const RunProcedures& procedures = RealProcedures);

// The run told the user that the drive was updated (message 12 or 35).
bool Updated();

// What holds for any run whatever the fault and the host, without the failure tables: a
// success only with the new firmware in the drive; exit code 1 exactly when the last
// message is 36 or 28; nothing written before message 61 ("Now updating"); and when the
// fault struck one of the checks before the first write and the drive was not updated, the
// check refused, so nothing written from the fault on.
void CheckAnyRun(CampaignTally& tally, const std::string& where, int exit, bool runsNewFirmware,
                 bool faultAtCheck, size_t faultIndex);

// After a power loss the user runs the program again on the same drive, answering Yes (to a
// retry offer `retries` times at most): the drive must end on the new firmware, the run saying
// so with message 35, or with `already` (code and style) when the drive had it before this run
// (the power failed after the commit). The drive's unit attention is left pending on every
// host: a drive may lose power without the PC restarting, and the program must find it all the
// same. Counts the power loss and the recovery.
void CheckRecovery(CampaignTally& tally, const std::string& where,
                   const std::function<bool()>& runsNew, SeenCode already, int retries,
                   const RunProcedures& procedures);

// Every command of the reference run on `host` has a role; prints how many there are.
template <typename Role>
void CheckRolesKnown(CampaignTally& tally, const std::string& host,
                     const std::vector<Role>& roles) {
    for (size_t i = 0; i < roles.size(); ++i) {
        if (roles[i] == Role::Unknown) {
            CampaignFailure(tally, host + " reference run",
                            "command " + std::to_string(i + 1) + " has no known role");
        }
    }
    std::printf("%s: %zu commands in the reference update\n", host.c_str(), roles.size());
}

// The two campaigns; each adds its runs to the tally.
void RunCurrentGenerationCampaign(CampaignTally& tally);
void RunLegacyCampaign(CampaignTally& tally);
// Ctrl-C and a hang-up at every command of a current-generation update; counts the runs that
// left the drive in its update mode in `leftInUpdateMode`.
void RunInterruptCampaign(CampaignTally& tally, int& leftInUpdateMode);
