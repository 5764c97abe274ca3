#pragma once

#include "production/ledgerlocation.h"

#include <QString>
#include <QStringList>

namespace korva::production
{

class Ledger;
class LedgerClient;

// What carrying a journal's records into a ledger did.
struct JournalSyncReport {
    int files = 0;        // journal files of this ledger that held records it may lack
    int units = 0;        // unit records carried in
    int hookOutcomes = 0; // --on-unit outcomes carried in
    int runEnds = 0;      // run end records carried in
    int alreadyThere = 0; // unit records the ledger held already
    int live = 0;         // files of runs still going, left to them
    QString error;        // why carrying stopped, naming the file; empty when all went in

    int carried() const { return units + hookOutcomes + runEnds; }
    // "carried 2 unit records ... into the ledger", or empty when there was nothing to do.
    QString summary() const;
};

// Carries every record of the journal at `where` (a folder of journal files or
// one file) that belongs to the client's ledger and that the ledger may lack
// into it, marking each in its file once the ledger took it. A record the
// ledger holds already is not stored again. Stops at the first record the
// ledger does not take; what went in before stays marked.
JournalSyncReport carryJournal(const QString &where, LedgerClient &ledger);

// Records of this ledger's journal files that no run holds any more and that
// the ledger was never seen to take: what the next start or `ledger sync`
// carries in. Read from the files alone, so it never waits for the ledger.
int pendingJournalRecords(const QString &where, const LedgerLocation &location);

// Journal records of this ledger that it lacks, for `ledger check`.
struct JournalCheckReport {
    int files = 0, units = 0, live = 0;
    QStringList missing; // one text per unit record the ledger lacks
    QString error;
};
JournalCheckReport checkJournal(const QString &where, Ledger &ledger,
                                const LedgerLocation &location);

} // namespace korva::production
