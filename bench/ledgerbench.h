#pragma once

#include "benchtable.h"

namespace korva::bench
{

// The ledger's own time per unit on one connection: reserve, mark sent,
// record as passed and record the unit, each a transaction of its own.
struct LedgerFigures {
    Samples msPerUnit;
    QString failure; // why the run stopped early, or empty
};

LedgerFigures measureLedger(const QString &where, int units);

} // namespace korva::bench
