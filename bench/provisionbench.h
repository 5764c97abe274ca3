#pragma once

namespace korva::bench
{

// korva-cli provision against emulated units that are taken off the line soon
// after their read-back and replaced by a fresh one at the same path.
struct ProvisionFigures {
    int units = 0;
    double unitsPerMinute = 0;
    // What the protocol's own pauses allow: the finding request (0.1 s) and Set
    // with its read-back (0.2 + 0.2 + 0.5 + 0.1 s), nothing else.
    double boundPerMinute = 0;
    bool failed = false; // the run did not exit 0 or did not print a line per unit
};

ProvisionFigures measureProvision(int units);

} // namespace korva::bench
