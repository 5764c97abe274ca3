#pragma once

#include "cli/commandline.h"

namespace korva::cli
{

// Programs modules attached one after another with one profile: waits for a
// module, writes and verifies it (writing once more on a difference), prints a
// JSON line for it and waits until it is removed before the next. Returns 0
// when every unit was ok, 1 when any failed, otherwise korva-cli's exit codes.
int runProvision(const CliOptions &options);

} // namespace korva::cli
