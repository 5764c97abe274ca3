#include "production/unitbudget.h"

namespace korva::production
{

UnitBudget::UnitBudget(int count) : m_count(count) {}

UnitBudget::Claim UnitBudget::claim()
{
    QMutexLocker lock(&m_mutex);
    if (m_count > 0 && m_written >= m_count)
        return Claim::Spent;
    if (m_count > 0 && m_written + m_underWay >= m_count)
        return Claim::Wait;
    ++m_underWay;
    return Claim::Granted;
}

void UnitBudget::settle(bool packetLeft)
{
    QMutexLocker lock(&m_mutex);
    --m_underWay;
    if (packetLeft)
        ++m_written;
}

bool UnitBudget::spent() const
{
    QMutexLocker lock(&m_mutex);
    return m_count > 0 && m_written >= m_count;
}

int UnitBudget::written() const
{
    QMutexLocker lock(&m_mutex);
    return m_written;
}

} // namespace korva::production
