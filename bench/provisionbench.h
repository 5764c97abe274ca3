#pragma once

#include <QString>

namespace korva::emu
{
class ModuleEmulator;
}

namespace korva::bench
{

// korva-cli provision with one slot per emulated line, each line's units taken
// off soon after their read-back and replaced by a fresh one at the same path.
// Units and slots count over all stations.
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

// `stations` processes at once with `slotCount` slots each; on one shared
// ledger (a --ledger SPEC) when given, else each on a file of its own.
ProvisionFigures measureProvision(int slotCount, int unitsPerSlot, int stations = 1,
                                  const QString &ledger = {});

// The largest excess of one line's pauses over their lengths, from its log:
// +++ to packet and packet to --- (200 ms), --- to read-back (500 ms), a
// request (100 ms).
double worstGapExcessMs(const emu::ModuleEmulator &emulator);

// What the protocol's own pauses allow one slot: the finding request (0.1 s)
// and Set with its read-back (0.2 + 0.2 + 0.5 + 0.1 s), nothing else.
double provisionBoundPerMinute();

} // namespace korva::bench
