#include "campaign.h"

void RunLegacyCampaign(CampaignTally&) {}
