#pragma once

#include "cli/commandline.h"

#include <QString>

namespace korva::production
{
class Ledger;
struct LedgerLocation;
} // namespace korva::production

namespace korva::cli
{

// korva-cli ledger sync: carries the journal's records that the ledger lacks
// into it and says how many. 0 when every record went in (or none was
// missing), 2 when a journal named is not there, 6 when the ledger did not take
// one or the output could not be written.
int runLedgerSync(const CliOptions &options);

// For ledger check: the journal's unit records this ledger lacks, each added to
// `faults`, and a line on what was read added to `text`; the reason the ledger
// could not be read, or empty.
QString checkJournalRecords(production::Ledger &ledger, const production::LedgerLocation &where,
                            const QString &journal, QString &text, QStringList &faults);

} // namespace korva::cli
