// The fault campaigns as one program for CTest: prints every broken expectation and the
// summary line, and fails on any false success or broken expectation.
#include <cstdio>

#include "campaign.h"

int main() {
    CampaignTally current;
    RunCurrentGenerationCampaign(current);
    CampaignTally legacy;
    RunLegacyCampaign(legacy);
    CampaignTally interrupts;
    int leftInUpdateMode = 0;
    RunInterruptCampaign(interrupts, leftInUpdateMode);

    CampaignTally all;
    for (const CampaignTally* t : {&current, &legacy, &interrupts}) {
        all.Runs += t->Runs;
        all.PowerLosses += t->PowerLosses;
        all.Recovered += t->Recovered;
        all.FalseSuccesses += t->FalseSuccesses;
        all.Failures += t->Failures;
    }
    std::printf("current generation: %d runs, %d power losses, %d recovered, %d failures\n",
                current.Runs, current.PowerLosses, current.Recovered, current.Failures);
    std::printf("legacy: %d runs, %d power losses, %d recovered, %d failures\n", legacy.Runs,
                legacy.PowerLosses, legacy.Recovered, legacy.Failures);
    std::printf(
        "interrupt at every command: %d runs, %d left a drive in its update mode, "
        "%d failures\n",
        interrupts.Runs, leftInUpdateMode, interrupts.Failures);
    std::printf("fault campaign: %d runs, %d recovered, %d false successes\n", all.Runs,
                all.Recovered, all.FalseSuccesses);
    return all.FalseSuccesses == 0 && all.Failures == 0 ? 0 : 1;
}
