#pragma once

#include "cli/commandline.h"

namespace korva::cli
{

// Runs one verb against the module and returns its exit code. Output goes to
// stdout, messages to stderr.
int runCli(const CliOptions &options);

} // namespace korva::cli
