#include "production/recordsink.h"

#include "production/ledgerservice.h"

#include <QJsonDocument>

namespace korva::production
{

namespace
{

QByteArray lineOf(const QJsonObject &record)
{
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

RecordSink::RecordSink(int outputFd)
    : m_output([outputFd](const QByteArray &line) {
          const QString failed = writeWhole(outputFd, line);
          return failed.isEmpty() ? failed
                                  : QStringLiteral("cannot write to standard output: ") + failed;
      })
{
}

QString RecordSink::Written::failure() const
{
    return !journal.isEmpty() ? journal : !ledger.isEmpty() ? ledger : output;
}

QString RecordSink::openLog(const QString &path)
{
    return m_log.open(path);
}

QString RecordSink::openJournal(const QString &folder, const LedgerLocation &ledger,
                                const RunStart &start, qint64 runId)
{
    QMutexLocker lock(&m_mutex);
    return m_journal.open(folder, ledger, start, runId);
}

void RecordSink::number(UnitRecord &unit)
{
    QMutexLocker lock(&m_mutex);
    if (unit.sequence == 0)
        unit.sequence = ++m_sequence;
}

void RecordSink::ledgerStep(Journal::Record record, qint64 runId, int sequence, bool asked,
                            const QString &ledgerFailure, Written &written)
{
    written.ledger = ledgerFailure;
    if (!asked || !m_journal.isOpen() || !written.journal.isEmpty())
        return;
    written.journal = ledgerFailure.isEmpty()
                          ? m_journal.appendTook(record, runId, sequence)
                          : m_journal.appendRefused(record, runId, sequence, ledgerFailure);
}

RecordSink::Written RecordSink::append(UnitRecord &unit, LedgerClient *ledger)
{
    Written written;
    {
        QMutexLocker lock(&m_mutex);
        if (unit.sequence == 0)
            unit.sequence = ++m_sequence;
        if (m_journal.isOpen())
            written.journal = m_journal.appendUnit(unit);
    }
    const QString refused = ledger ? ledger->recordUnit(unit) : QString();
    QMutexLocker lock(&m_mutex);
    ledgerStep(Journal::Record::Unit, unit.runId, unit.sequence, ledger, refused, written);
    QJsonObject record = unit.toJson();
    if (!refused.isEmpty())
        record.insert(QStringLiteral("ledger-error"), refused);
    written.output = toLogAndOutput(lineOf(record), true);
    return written;
}

RecordSink::Written RecordSink::appendHookOutcome(qint64 runId, int sequence,
                                                  const QJsonObject &logRecord,
                                                  const QString &status, const QString &stderrTail,
                                                  LedgerClient *ledger)
{
    Written written;
    {
        QMutexLocker lock(&m_mutex);
        if (m_journal.isOpen())
            written.journal = m_journal.appendHookOutcome(runId, sequence, status, stderrTail);
    }
    const QString refused =
        ledger ? ledger->recordHookOutcome(runId, sequence, status, stderrTail) : QString();
    QMutexLocker lock(&m_mutex);
    ledgerStep(Journal::Record::HookOutcome, runId, sequence, ledger, refused, written);
    if (m_ended && m_journal.isOpen() && written.journal.isEmpty())
        written.journal = m_journal.settle();
    written.output = toLogAndOutput(lineOf(logRecord), false);
    return written;
}

RecordSink::Written RecordSink::appendRunEnd(qint64 runId, const RunEnd &end, LedgerClient *ledger)
{
    Written written;
    {
        QMutexLocker lock(&m_mutex);
        if (m_journal.isOpen())
            written.journal = m_journal.appendRunEnd(runId, end);
    }
    const QString refused = ledger ? ledger->endRun(runId, end) : QString();
    QMutexLocker lock(&m_mutex);
    ledgerStep(Journal::Record::RunEnd, runId, 0, ledger, refused, written);
    m_ended = true;
    if (m_journal.isOpen() && written.journal.isEmpty())
        written.journal = m_journal.settle();
    written.output = toLogAndOutput(lineOf(end.toJson(runId)), false);
    return written;
}

QString RecordSink::appendToLog(const QJsonObject &record)
{
    QMutexLocker lock(&m_mutex);
    return toLogAndOutput(lineOf(record), false);
}

QString RecordSink::toLogAndOutput(const QByteArray &line, bool toOutput)
{
    if (m_log.isOpen()) {
        if (QString failed = m_log.appendLine(line); !failed.isEmpty())
            return failed;
    }
    return toOutput ? m_output(line) : QString();
}

} // namespace korva::production
