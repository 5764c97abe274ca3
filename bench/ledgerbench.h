#pragma once

#include "benchtable.h"

#include "production/ledger.h"

#include <memory>

namespace korva::bench
{

// The ledger's own time per unit on one connection: reserve, mark sent,
// record as passed and record the unit, each a transaction of its own.
struct LedgerFigures {
    Samples msPerUnit;
    QString failure; // why the run stopped early, or empty
};

LedgerFigures measureLedger(const QString &where, int units);

// A ledger opened for a benchmark, a run of the station "bench" started on it.
struct BenchRun {
    std::unique_ptr<production::Ledger> ledger;
    qint64 id = 0;
    QString failure; // why the ledger could not be opened or the run started
};

BenchRun startBenchRun(const production::LedgerLocation &where);

// A unit of that run that passed with `address`, as a slot records it.
production::UnitRecord passedUnit(qint64 runId, int sequence, quint32 address);

} // namespace korva::bench
