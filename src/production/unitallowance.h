#pragma once

#include <QMutex>

#include <optional>
#include <set>

namespace korva::production
{

// How many units a run may still write and which local addresses it may give,
// shared by its slots. A slot claims a unit before its first write and settles
// the claim when the unit is done: a unit whose packet left counts against
// --count and keeps its address; one whose packet never left gives both back,
// so the next unit takes them.
class UnitAllowance
{
public:
    // count 0: no limit; no first address: units keep the profile's address.
    UnitAllowance(int count, std::optional<quint32> firstAddress);

    enum class Verdict {
        Granted,
        Wait,         // nothing free now, but a unit under way may give its claim back
        CountReached, // every unit the run may write has been written
        RangeUsedUp,  // every address has been given to a unit whose packet left
    };
    struct Claim {
        Verdict verdict = Verdict::Wait;
        std::optional<quint32> address; // the unit's local address, when the run gives them
    };

    Claim claim();
    void settle(const Claim &claim, bool packetLeft);

    // Why no unit can ever be granted again; nothing while one still may be.
    std::optional<Verdict> exhausted() const;
    int written() const;
    // The lowest address not given to a unit whose packet left.
    std::optional<quint32> nextFree() const;

private:
    std::optional<Verdict> exhaustedLocked() const;

    mutable QMutex m_mutex;
    const int m_count;
    int m_written = 0;
    int m_underWay = 0;
    bool m_givesAddresses = false;
    quint64 m_nextAddress = 0; // past 0xFFFFFFFF once every address was taken
    std::set<quint32> m_givenBack;
};

} // namespace korva::production
