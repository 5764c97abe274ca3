#pragma once

namespace korva::bench
{

// korva-cli provision with one slot per emulated line, each line's units taken
// off soon after their read-back and replaced by a fresh one at the same path.
struct ProvisionFigures {
    int slotCount = 0;
    int units = 0;
    double unitsPerMinute = 0;
    // The longest any pause of any line lasted beyond its length: +++ to packet
    // and packet to --- (200 ms), --- to read-back (500 ms), request (100 ms).
    double worstGapExcessMs = 0;
    double cpuMsPerUnit = 0; // the whole korva-cli process's CPU time per unit
    bool failed = false;     // the run did not exit 0 or did not print a line per unit
};

ProvisionFigures measureProvision(int slotCount, int unitsPerSlot);

// What the protocol's own pauses allow one slot: the finding request (0.1 s)
// and Set with its read-back (0.2 + 0.2 + 0.5 + 0.1 s), nothing else.
double provisionBoundPerMinute();

} // namespace korva::bench
