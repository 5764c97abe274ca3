#include "production/unitbudget.h"

namespace korva::production
{

UnitBudget::UnitBudget(int count, int target) : m_count(count), m_target(target) {}

UnitBudget::Claim UnitBudget::claim()
{
    QMutexLocker lock(&m_mutex);
    if (spentLocked())
        return Claim::Spent;
    if ((m_count > 0 && m_written + m_underWay >= m_count) ||
        (m_target > 0 && m_passed + m_underWay >= m_target))
        return Claim::Wait;
    ++m_underWay;
    return Claim::Granted;
}

void UnitBudget::settle(bool packetLeft, bool passed)
{
    QMutexLocker lock(&m_mutex);
    --m_underWay;
    if (packetLeft)
        ++m_written;
    if (passed)
        ++m_passed;
}

bool UnitBudget::spent() const
{
    QMutexLocker lock(&m_mutex);
    return spentLocked();
}

bool UnitBudget::spentLocked() const
{
    return (m_count > 0 && m_written >= m_count) || (m_target > 0 && m_passed >= m_target);
}

int UnitBudget::written() const
{
    QMutexLocker lock(&m_mutex);
    return m_written;
}

} // namespace korva::production
