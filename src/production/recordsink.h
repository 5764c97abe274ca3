#pragma once

#include "production/recordfile.h"

#include <QJsonObject>
#include <QMutex>
#include <QString>

#include <functional>

namespace korva::production
{

class Ledger;
struct UnitRecord;

// Where the records of a run go: the ledger, the log file when there is one,
// and the output. Every slot of a run writes through one sink, so all three
// carry the units in one order, each record whole.
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

    // Numbers the unit (the run's next sequence number) and records it: in the
    // ledger (the calling slot's connection) when one is given, then in the log,
    // synced to disk, then on the output, so a line on the output is always in
    // the log and the ledger already. The reason it could not, naming the
    // ledger or the file, or an empty text.
    QString append(UnitRecord &unit, Ledger *ledger);
    // A run's start or end record, to the log only.
    QString appendToLog(const QJsonObject &record);

private:
    QMutex m_mutex;
    RecordFile m_log;
    Output m_output;
    int m_sequence = 0;
};

} // namespace korva::production
