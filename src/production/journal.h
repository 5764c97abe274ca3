#pragma once

#include "production/ledgerlocation.h"
#include "production/recordfile.h"
#include "production/unitrecord.h"

#include <QJsonObject>
#include <QMutex>
#include <QString>

namespace korva::production
{

// The local journal: every record of a run, on the local disk before the ledger
// is asked to take it, so a unit whose packet may have left is on a record
// whatever the ledger does. One JSON Lines file per run, in
// $XDG_DATA_HOME/KORVA/journal/, each line synced to disk before the call
// returns:
//
//   {"type":"journal","ledger":"SQLite /...","ledger-file":"DEV:INODE","run-start":{...}}
//   {"type":"unit",...the unit's record...,"ledger":"pending"}
//   {"type":"on-unit","run":R,"sequence":S,"status":...,"stderr":...,"ledger":"pending"}
//   {"type":"run-end",...the run's end record...,"ledger":"pending"}
//   {"type":"ledger-took","record":"unit","run":R,"sequence":S}
//   {"type":"ledger-refused","record":"unit","run":R,"sequence":S,"error":...}
//   {"type":"settled"}                           the ledger holds every record above
//
// A record is in the ledger for sure only once a "ledger-took" line names it; a
// pending one may or may not be (the program may have been killed while the
// ledger took it), and carrying it in again is harmless. The file stays locked
// (flock) while its run goes on, so nobody else carries its records meanwhile.
class Journal
{
public:
    enum class Record { Unit, HookOutcome, RunEnd };

    // $XDG_DATA_HOME/KORVA/journal, normally ~/.local/share/KORVA/journal.
    static QString defaultFolder();
    static QString recordName(Record record); // "unit", "on-unit", "run-end"

    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Creates the run's file in `folder` (made when missing), holds it and writes
    // its first line: the ledger the records belong to and the run's start
    // record. The reason it could not, naming the file, or empty.
    QString open(const QString &folder, const LedgerLocation &ledger, const RunStart &start,
                 qint64 runId);
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }

    QString appendUnit(const UnitRecord &unit);
    QString appendHookOutcome(qint64 runId, int sequence, const QString &status,
                              const QString &stderrTail);
    QString appendRunEnd(qint64 runId, const RunEnd &end);
    QString appendTook(Record record, qint64 runId, int sequence = 0);
    QString appendRefused(Record record, qint64 runId, int sequence, const QString &error);
    // Ends the file with "settled" when the ledger took every record in it.
    QString settle();
    // Records appended and not yet taken by the ledger.
    int pending() const;

private:
    QString append(const QJsonObject &record);
    // A record the ledger is to take, marked pending.
    QString appendPending(QJsonObject record);

    RecordFile m_file;
    QString m_path;
    int m_lockFd = -1;
    mutable QMutex m_mutex;
    int m_pending = 0;
};

// Which ledger file a journal's records belong to, beyond its path: an SQLite
// ledger made anew at the same path is another ledger, whose runs are not the
// journal's. Empty for a PostgreSQL ledger (its URL names it) or when unknown.
QString ledgerFileIdentity(const LedgerLocation &ledger);

// Whether a journal whose first line is `header` belongs to this ledger.
bool journalBelongsTo(const QJsonObject &header, const LedgerLocation &ledger);

// The record that says the ledger took (or refused) one record of a journal.
QJsonObject journalTookRecord(Journal::Record record, qint64 runId, int sequence);

// A unit record as the journal (and --log) holds it; nullopt when it is none.
std::optional<UnitRecord> unitFromJson(const QJsonObject &object);
std::optional<RunEnd> runEndFromJson(const QJsonObject &object);

} // namespace korva::production
