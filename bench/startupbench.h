#pragma once

#include "benchtable.h"

#include <QString>

namespace korva::bench
{

struct StartupFigures {
    Samples mappedMs;      // process start until its window is mapped
    Samples bareMappedMs;  // the same for a bare Qt window started just before or after
    Samples overBareMs;    // the tool's time less the bare window's, pair by pair
    Samples residentMiB;   // resident memory once idle
    QString skipped;       // why nothing was measured, if so
    int failedRuns = 0;    // starts that ended or never mapped a window
    QString failure;       // the last such start's last line of output
    int refusedStarts = 0; // starts the X server refused a connection, retried
};

// Starts the real program (korva-setup, or `program` beside the benchmark)
// `runs` times under the X server named by DISPLAY (plus one uncounted warm-up
// start), each with a settings store of its own, and as often a bare Qt window
// right beside it, in turns first and second, so that both meet the machine in
// the same state.
StartupFigures measureStartup(int runs, const QString &program = QStringLiteral("korva-setup"));

} // namespace korva::bench
