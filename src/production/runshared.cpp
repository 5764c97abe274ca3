#include "production/runshared.h"

namespace korva::production
{

RunShared::RunShared(ProvisionSettings settings_, RecordSink &records_)
    : settings(std::move(settings_)), records(records_), budget(settings.count, settings.target)
{
}

void RunShared::halt(EndReason reason, const QString &message)
{
    QMutexLocker lock(&m_mutex);
    if (m_reason == EndReason::None) {
        m_reason = reason;
        m_message = message;
    }
    m_halted.store(true);
}

void RunShared::haltRangeUsedUp()
{
    if (budget.spent())
        return;
    halt(EndReason::RangeUsedUp,
         QStringLiteral("the address range %1 is used up").arg(settings.range->text()));
}

EndReason RunShared::reason() const
{
    QMutexLocker lock(&m_mutex);
    return m_reason;
}

QString RunShared::message() const
{
    QMutexLocker lock(&m_mutex);
    return m_message;
}

} // namespace korva::production
