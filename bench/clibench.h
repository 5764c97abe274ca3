#pragma once

#include "benchtable.h"

#include <QStringList>

namespace korva::bench
{

// korva-cli as a script runs it: a fresh process per run, against an emulated
// module on a pseudo-terminal.
struct CliFigures {
    Samples wallMs;      // process start to exit
    Samples floorMs;     // process start to the last answer byte + 100 ms
    Samples excessMs;    // wall time over the floor
    Samples toCommandMs; // process start to the first "+++"
    Samples cpuMs;       // user + system time of the whole process
    int failures = 0;    // runs that did not exit 0
};

// Runs `korva-cli <arguments> --port <emulator>` `runs` times; each second run
// of a write sets the other of two values, so every run changes the module.
CliFigures measureCli(const QStringList &arguments, const QStringList &alternate, int runs);

} // namespace korva::bench
