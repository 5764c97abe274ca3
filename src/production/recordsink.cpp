#include "production/recordsink.h"

#include "production/ledger.h"

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

QString RecordSink::openLog(const QString &path)
{
    return m_log.open(path);
}

QString RecordSink::append(UnitRecord &unit, Ledger *ledger)
{
    QMutexLocker lock(&m_mutex);
    unit.sequence = ++m_sequence;
    if (ledger) {
        if (QString failed = ledger->recordUnit(unit); !failed.isEmpty())
            return failed;
    }
    const QByteArray line = lineOf(unit.toJson());
    if (m_log.isOpen()) {
        if (QString failed = m_log.appendLine(line); !failed.isEmpty())
            return failed;
    }
    return m_output(line);
}

QString RecordSink::appendToLog(const QJsonObject &record)
{
    QMutexLocker lock(&m_mutex);
    return m_log.isOpen() ? m_log.appendLine(lineOf(record)) : QString();
}

} // namespace korva::production
