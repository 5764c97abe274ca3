#pragma once

#include <QString>

namespace korva::bench
{

// korva-station as a process under the X server, its slots on emulated lines
// whose units are taken off soon after their read-back, its job run to a
// target of passed units and then ended with SIGTERM.
struct StationFigures {
    int slotCount = 0;
    int units = 0;
    double unitsPerMinute = 0;   // from the process's start to the last read-back
    double worstGapExcessMs = 0; // as for korva-cli provision
    double cpuMsPerUnit = 0;     // the whole process's CPU time, start-up included
    QString failure;             // why nothing was measured, if so
};

StationFigures measureStation(int slotCount, int unitsPerSlot);

} // namespace korva::bench
