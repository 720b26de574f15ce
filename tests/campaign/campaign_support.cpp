#include <cstdio>
#include <cstring>

#include "base/run_state.h"
#include "campaign.h"
#include "console/catalogue.h"
#include "pc/sim_pc.h"

namespace {

constexpr uint32_t RetryOffer = 47;
constexpr int Yes = 6;
constexpr int No = 7;
constexpr int Ok = 1;
constexpr uint32_t YesNoFlags = 0x24;

int RetryAnswer = Yes;
int RetriesLeft = 0;
int RetryOfferCount = 0;

int AskBox(const char* text, const char*, uint32_t flags) {
    if (flags != YesNoFlags) return Ok;
    if (std::strcmp(text, MessageTextEn[RetryOffer]) != 0) return Yes;
    ++RetryOfferCount;
    if (RetryAnswer == Yes && RetriesLeft > 0) {
        --RetriesLeft;
        return Yes;
    }
    return No;
}

// The style of a box by its flags: question, error, information, warning; -1 for any other.
int32_t StyleOfFlags(uint32_t flags) {
    const uint32_t styles[][2] = {{0x24, 2}, {0x10, 16}, {0x40, 17}, {0x30, 18}};
    for (const auto& [boxFlags, style] : styles) {
        if (flags == boxFlags) return static_cast<int32_t>(style);
    }
    return -1;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

const char* FaultName(CampaignFault fault) {
    static const char* const names[] = {"CHECK CONDITION 04/44/00",
                                        "CHECK CONDITION 06/29/00",
                                        "call fails",
                                        "call fails after the drive acted",
                                        "power loss",
                                        "interrupt"};
    return names[static_cast<int>(fault)];
}

void CampaignFailure(CampaignTally& tally, const std::string& where, const std::string& what) {
    ++tally.Failures;
    std::printf("FAIL %s: %s\n", where.c_str(), what.c_str());
}

void AnswerBoxes(int retryAnswer, int retriesAllowed) {
    RetryAnswer = retryAnswer;
    RetriesLeft = retriesAllowed;
    RetryOfferCount = 0;
    Sim.AskBox = AskBox;
}

int RetryOffers() {
    return RetryOfferCount;
}

std::string MessageText(uint32_t code) {
    if (code < MessageCodeCount && MessageTextEn[code] != nullptr) return MessageTextEn[code];
    return UnknownMessageText;
}

bool ConsoleShows(uint32_t code) {
    return Sim.Console.find(MessageText(code)) != std::string::npos;
}

SeenMessage LastMessage() {
    // A box shown after the last console text is the last thing the user saw.
    if (!Sim.Boxes.empty() && Sim.ConsoleAtBox.back() == Sim.Console.size()) {
        return {Sim.Boxes.back().Text, StyleOfFlags(Sim.Boxes.back().Flags)};
    }
    // Otherwise the longest catalogue text the console ends with.
    SeenMessage seen = {"", 0};
    std::vector<std::string> texts = {UnknownMessageText};
    for (uint32_t code = 0; code < MessageCodeCount; ++code) {
        if (MessageTextEn[code] != nullptr) texts.push_back(MessageTextEn[code]);
    }
    for (const std::string& text : texts) {
        if (text.size() > seen.Text.size() && EndsWith(Sim.Console, text)) seen.Text = text;
    }
    return seen;
}

int WriteBufferFrom(size_t from) {
    for (size_t i = from; i < Sim.Trace.size(); ++i) {
        if (Sim.Trace[i].Cdb[0] == 0x3B) return static_cast<int>(i);
    }
    return -1;
}

VirtualDriveFault FaultAt(uint32_t n, CampaignFault fault) {
    VirtualDriveFault f;
    f.NthCommand = n;
    const bool unitAttention = fault == CampaignFault::UnitAttention;
    switch (fault) {
        case CampaignFault::HardwareError:
        case CampaignFault::UnitAttention:
            f.Effect = VirtualFaultEffect::CheckCondition;
            f.SenseKey = unitAttention ? 0x06 : 0x04;
            f.Asc = unitAttention ? 0x29 : 0x44;
            f.Ascq = 0x00;
            break;
        case CampaignFault::CallFails:
            f.Effect = VirtualFaultEffect::CallFails;
            break;
        case CampaignFault::CallFailsLate:
            f.Effect = VirtualFaultEffect::CallFailsLate;
            break;
        case CampaignFault::PowerLoss:
            f.Effect = VirtualFaultEffect::PowerLoss;
            break;
        case CampaignFault::Interrupt:
            f.NthCommand = 0;  // not the drive's: the simulated PC delivers it
            f.Times = 0;
            break;
    }
    return f;
}

int RunOnce(CampaignTally& tally, const RunProcedures& procedures) {
    ResetRunState();
    Sim.Console.clear();
    Sim.Boxes.clear();
    Sim.ConsoleAtBox.clear();
    Sim.Trace.clear();
    Sim.CommandsArrived = 0;
    Sim.HeldInterrupt = 0;
    Sim.TerminalGone = false;
    Sim.HeldNotices.clear();
    Sim.UpdateModeReports.clear();
    ++tally.Runs;
    try {
        return RunProgram(procedures);
    } catch (const SimProcessEnded& ended) {
        ReleaseRun();  // what the system takes back from an ended process
        return 128 + ended.Signal;
    }
}

bool Updated() {
    return ConsoleShows(12) || ConsoleShows(35);
}

void CheckAnyRun(CampaignTally& tally, const std::string& where, int exit, bool runsNewFirmware,
                 bool faultAtCheck, size_t faultIndex) {
    if (Updated() && !runsNewFirmware) {
        ++tally.FalseSuccesses;
        CampaignFailure(tally, where, "success reported without the new firmware in the drive");
    }
    if (Sim.HungWaits != 0) CampaignFailure(tally, where, "a wait without limit never ended");
    const SeenMessage last = LastMessage();
    const bool stopped = (last.Text == MessageText(36) && last.Style == 18) ||
                         (last.Text == MessageText(28) && last.Style == 17);
    if (exit != 0 && exit != 1) CampaignFailure(tally, where, "exit code " + std::to_string(exit));
    if ((exit == 1) != stopped) {
        CampaignFailure(tally, where,
                        "exit code " + std::to_string(exit) + " after \"" + last.Text + "\"");
    }
    if (Updated() && (exit != 0 || last.Text != MessageText(35))) {
        CampaignFailure(tally, where, "a success that does not end with message 35");
    }
    if (!ConsoleShows(61) && WriteBufferFrom(0) >= 0) {
        CampaignFailure(tally, where, "WRITE BUFFER without message 61");
    }
    if (faultAtCheck && !Updated() && WriteBufferFrom(faultIndex) >= 0) {
        CampaignFailure(tally, where, "WRITE BUFFER after a refusal");
    }
}

void CheckRecovery(CampaignTally& tally, const std::string& where,
                   const std::function<bool()>& runsNew, SeenCode already, int retries,
                   const RunProcedures& procedures) {
    constexpr uint32_t RestartMs = 60000;  // longer than any reboot of the drive
    ++tally.PowerLosses;
    SimAdvanceClock(RestartMs);
    const SeenCode want = runsNew() ? already : SeenCode{35, 17};
    AnswerBoxes(Yes, retries);
    const int exit = RunOnce(tally, procedures);
    const std::string again = where + ", second run";
    const bool isNew = runsNew();
    if (Updated() && !isNew) {
        ++tally.FalseSuccesses;
        CampaignFailure(tally, again, "success reported without the new firmware in the drive");
    }
    const SeenMessage last = LastMessage();
    if (exit != 0 || last.Text != MessageText(want.Code) || last.Style != want.Style || !isNew) {
        CampaignFailure(tally, again,
                        "not recovered: exit " + std::to_string(exit) + ", last message \"" +
                            last.Text + "\", want message " + std::to_string(want.Code));
        return;
    }
    ++tally.Recovered;
}
