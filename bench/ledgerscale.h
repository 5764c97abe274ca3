#pragma once

#include "benchtable.h"

#include <QList>

namespace korva::bench
{

// The ledger as it grows: the time of one take (reserve(), its whole
// transaction) with 0, 10^5, 10^6 and 10^7 addresses issued in its range, each
// with its unit record, the ledger filled by bulk inserts between the sizes;
// then `korva-cli ledger check` and `ledger status` on the largest, each one's
// time and peak memory.
struct LedgerScaleFigures {
    QList<QPair<qint64, Samples>> takeMs; // addresses issued, take times
    double checkSeconds = 0, checkPeakMiB = 0;
    QString checkOutcome; // the check's last line, or why it failed
    double statusSeconds = 0, statusPeakMiB = 0;
    QString failure; // why the series or the status stopped early, or empty
};

LedgerScaleFigures measureLedgerScale(const QString &where, const QList<qint64> &sizes,
                                      int takesPerSize);

} // namespace korva::bench
