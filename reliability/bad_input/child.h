// The bad input campaign's child process: draws the records, runs them in batches through the
// plug-in's export and checks every result against what the records allow.
#pragma once

#include "support/campaign.h"

namespace qelmo::reliability::bad_input {

// Runs the campaign's records (--work, --records, --real, --slow, --seed, --timing) and prints
// its lines for the parent; the exit code is non-zero when an invariant broke.
int RunChildCampaign(const Options& options);

}  // namespace qelmo::reliability::bad_input
