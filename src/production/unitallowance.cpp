#include "production/unitallowance.h"

namespace korva::production
{

namespace
{

constexpr quint64 kPastLastAddress = quint64(0xFFFFFFFF) + 1;

} // namespace

UnitAllowance::UnitAllowance(int count, std::optional<quint32> firstAddress)
    : m_count(count), m_givesAddresses(firstAddress.has_value()),
      m_nextAddress(firstAddress.value_or(0))
{
}

UnitAllowance::Claim UnitAllowance::claim()
{
    QMutexLocker lock(&m_mutex);
    if (const auto ended = exhaustedLocked())
        return {*ended, {}};
    if (m_count > 0 && m_written + m_underWay >= m_count)
        return {Verdict::Wait, {}};
    Claim granted{Verdict::Granted, {}};
    if (m_givesAddresses) {
        if (!m_givenBack.empty()) {
            granted.address = *m_givenBack.begin();
            m_givenBack.erase(m_givenBack.begin());
        } else if (m_nextAddress < kPastLastAddress) {
            granted.address = quint32(m_nextAddress++);
        } else {
            return {Verdict::Wait, {}};
        }
    }
    ++m_underWay;
    return granted;
}

void UnitAllowance::settle(const Claim &claim, bool packetLeft)
{
    if (claim.verdict != Verdict::Granted)
        return;
    QMutexLocker lock(&m_mutex);
    --m_underWay;
    if (packetLeft)
        ++m_written;
    else if (claim.address)
        m_givenBack.insert(*claim.address);
}

std::optional<UnitAllowance::Verdict> UnitAllowance::exhausted() const
{
    QMutexLocker lock(&m_mutex);
    return exhaustedLocked();
}

std::optional<UnitAllowance::Verdict> UnitAllowance::exhaustedLocked() const
{
    if (m_count > 0 && m_written >= m_count)
        return Verdict::CountReached;
    if (m_givesAddresses && m_nextAddress >= kPastLastAddress && m_givenBack.empty() &&
        m_underWay == 0)
        return Verdict::RangeUsedUp;
    return std::nullopt;
}

int UnitAllowance::written() const
{
    QMutexLocker lock(&m_mutex);
    return m_written;
}

std::optional<quint32> UnitAllowance::nextFree() const
{
    QMutexLocker lock(&m_mutex);
    if (!m_givesAddresses)
        return std::nullopt;
    if (!m_givenBack.empty())
        return *m_givenBack.begin();
    if (m_nextAddress < kPastLastAddress)
        return quint32(m_nextAddress);
    return std::nullopt;
}

} // namespace korva::production
