#pragma once

#include "benchtable.h"

namespace korva::bench
{

// The ledger side of a line of stations on one PostgreSQL server: each station
// one ledger connection on a thread of its own (as korva-cli provision runs
// it), each slot a thread that makes a slot's calls for each unit (look up the
// unit's address, take an address, mark it sent, record the unit, look for the
// next free address) at a unit's real pace, or back to back when paceMs is 0.
// The serial side is not run: 256 emulated lines do not fit a 2-core machine.
struct LineFigures {
    int slotCount = 0;
    int units = 0;         // unit records the ledger took
    int unitsInWindow = 0; // of them, while every slot was running
    double seconds = 0;    // how long every slot was running
    Samples takeMs, recordMs;
    int connections = 0; // the most the line held open on the server at once
    int failedCalls = 0;
    int faults = -1; // what ledger check found afterwards (-1: not checked)
    QString failure; // why it could not run, or empty

    double unitsPerSecond() const { return seconds > 0 ? unitsInWindow / seconds : 0; }
};

LineFigures measureLine(const QString &url, int stations, int slotsPerStation, int unitsPerSlot,
                        int paceMs);

} // namespace korva::bench
