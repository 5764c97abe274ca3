#pragma once

#include "cli/commandline.h"

namespace korva::cli
{

// Programs modules attached one after another with one profile, one slot per
// --port, all at once: reads the options into a run, shows what each slot does
// on stderr and returns the run's exit code (0 when every unit was ok, 1 when
// any failed, otherwise korva-cli's exit codes).
int runProvision(const CliOptions &options);

} // namespace korva::cli
