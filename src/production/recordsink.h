#pragma once

#include "production/journal.h"
#include "production/recordfile.h"

#include <QJsonObject>
#include <QMutex>
#include <QString>

#include <functional>

namespace korva::production
{

class LedgerClient;
struct UnitRecord;

// Where the records of a run go, in this order: the local journal, the ledger,
// the log file when there is one, and the output. Every slot of a run writes
// through one sink. The journal comes first so that a unit is on a record
// whatever the ledger does; the ledger is asked outside the sink's lock, so a
// ledger that is slow to answer holds up no other slot's journal.
class RecordSink
{
public:
    // Where each unit's line goes after the log: it hands the line on and
    // returns the reason it could not, or an empty text.
    using Output = std::function<QString(const QByteArray &line)>;

    // outputFd: where each unit's line goes after the log (standard output).
    explicit RecordSink(int outputFd);
    // Sends the lines elsewhere instead; set before the first record.
    void setOutput(Output output) { m_output = std::move(output); }

    // Opens the log the records are appended to; the reason it could not, or empty.
    QString openLog(const QString &path);
    // Opens the run's journal (see Journal::open); before the first unit.
    QString openJournal(const QString &folder, const LedgerLocation &ledger, const RunStart &start,
                        qint64 runId);
    QString journalPath() const { return m_journal.path(); }

    // What became of one record on its way.
    struct Written {
        QString journal; // why the journal could not take it, or empty
        QString ledger;  // why the ledger did not take it, or empty
        QString output;  // why the log or the output could not take it, or empty
        bool ledgerTook() const { return ledger.isEmpty(); }
        // The first of the three reasons, or empty when all took it.
        QString failure() const;
    };

    // Gives the unit the run's next sequence number, unless it has one.
    void number(UnitRecord &unit);
    // Numbers the unit and records it: in the journal (synced to disk), then in
    // the ledger through the caller's client when one is given, then in the log,
    // synced to disk, then on the output. A record the ledger did not take still
    // goes to the log and the output, marked with "ledger-error".
    Written append(UnitRecord &unit, LedgerClient *ledger);
    // What the command run after a unit came to: the journal, the ledger (with
    // the unit's record) and the log. Without a ledger it stays pending in the
    // journal, for a unit whose own record the ledger did not take.
    Written appendHookOutcome(qint64 runId, int sequence, const QJsonObject &logRecord,
                              const QString &status, const QString &stderrTail,
                              LedgerClient *ledger);
    // The run's end: the journal, the ledger, the log; the journal is settled
    // when the ledger holds every record in it.
    Written appendRunEnd(qint64 runId, const RunEnd &end, LedgerClient *ledger);
    // A run's start record, to the log only.
    QString appendToLog(const QJsonObject &record);

private:
    QString toLogAndOutput(const QByteArray &line, bool toOutput);
    // Marks the record in the journal as taken or refused by the ledger; a
    // record the ledger was not asked about stays pending there.
    void ledgerStep(Journal::Record record, qint64 runId, int sequence, bool asked,
                    const QString &ledgerFailure, Written &written);

    QMutex m_mutex;
    Journal m_journal;
    RecordFile m_log;
    Output m_output;
    int m_sequence = 0;
    bool m_ended = false; // the run's end is recorded: the journal is settled whenever it can be
};

} // namespace korva::production
