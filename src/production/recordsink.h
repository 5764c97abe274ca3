#pragma once

#include "production/recordfile.h"

#include <QMutex>
#include <QString>

namespace korva::production
{

struct UnitReport;

// Where the units' lines go: the log file, when there is one, and the output.
// Every slot of a run writes through one sink, so the two carry the units in
// one order, each line whole.
class RecordSink
{
public:
    // outputFd: where each line goes after the log (standard output).
    explicit RecordSink(int outputFd);

    // Opens the log the lines are appended to; the reason it could not, or empty.
    QString openLog(const QString &path);

    // Numbers the unit (the run's next sequence number) and writes its line:
    // first to the log, synced to disk, then to the output, so a line on the
    // output is always in the log already. The reason it could not, naming the
    // file, or an empty text.
    QString append(UnitReport &unit);

private:
    QMutex m_mutex;
    RecordFile m_log;
    const int m_outputFd;
    int m_sequence = 0;
};

} // namespace korva::production
