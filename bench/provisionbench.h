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
    // The shortest quiet on any line between a "---" and the next "+++".
    double shortestQuietMs = 0;
    double cpuMsPerUnit = 0; // the whole korva-cli process's CPU time per unit
    bool failed = false;     // the run did not exit 0 or did not print a line per unit
};

// `stations` processes at once with `slotCount` slots each; on one shared
// ledger (a --ledger SPEC) when given, else each on a file of its own.
ProvisionFigures measureProvision(int slotCount, int unitsPerSlot, int stations = 1,
                                  const QString &ledger = {});

// One line's pauses, from its log: the largest excess of a pause over its
// length (+++ to packet and packet to --- 200 ms, --- to read-back 500 ms, a
// request 100 ms), and the shortest quiet between a "---" and the next "+++".
struct LineGaps {
    double worstExcessMs = 0;
    double shortestQuietMs = 1e9;
};
LineGaps lineGaps(const emu::ModuleEmulator &emulator);
double worstGapExcessMs(const emu::ModuleEmulator &emulator);

// What the protocol allows one slot: Set with its read-back (0.2 + 0.2 + 0.5 +
// 0.1 s) and the 0.1 s of quiet a module needs after "---" before the next
// unit's "+++"; nothing for the bytes on the line, the ledger, or taking a unit
// off and attaching the next.
double provisionBoundPerMinute();
// The bound for `units` in a row on one slot with this benchmark's swap of
// units added: a unit is taken off 100 ms after its read-back and the next
// attached 100 ms later; the first is there at the start.
double provisionBenchCeilingPerMinute(int units);

} // namespace korva::bench
