#pragma once

#include "cli/commandline.h"

namespace korva::cli
{

// korva-cli ledger status|export|check: reads the ledger, never creates one.
// Returns 0, 1 when check found a fault, or 6 when the ledger could not be
// opened or read (or the output not written).
int runLedgerVerb(const CliOptions &options);

} // namespace korva::cli
