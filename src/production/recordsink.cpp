#include "production/recordsink.h"

#include "production/unitreport.h"

namespace korva::production
{

RecordSink::RecordSink(int outputFd) : m_outputFd(outputFd) {}

QString RecordSink::openLog(const QString &path)
{
    return m_log.open(path);
}

QString RecordSink::append(UnitReport &unit)
{
    QMutexLocker lock(&m_mutex);
    unit.sequence = ++m_sequence;
    const QByteArray line = unit.jsonLine();
    if (m_log.isOpen()) {
        if (QString failed = m_log.appendLine(line); !failed.isEmpty())
            return failed;
    }
    if (const QString failed = writeWhole(m_outputFd, line); !failed.isEmpty())
        return QStringLiteral("cannot write to standard output: %1").arg(failed);
    return {};
}

} // namespace korva::production
