#pragma once

#include <QMutex>

namespace korva::production
{

// How many units a run may still write, shared by its slots. A slot claims a
// unit before its first write and settles the claim when the unit is done: a
// unit whose packet left counts against --count, one whose packet never left
// gives its claim back, so --count is the run's total over all slots.
class UnitBudget
{
public:
    explicit UnitBudget(int count); // 0: no limit

    enum class Claim {
        Granted,
        Wait,  // every unit left is under way on another slot, which may give it back
        Spent, // every unit the run may write has been written
    };

    Claim claim();
    void settle(bool packetLeft);
    bool spent() const;
    int written() const;

private:
    mutable QMutex m_mutex;
    const int m_count;
    int m_written = 0;
    int m_underWay = 0;
};

} // namespace korva::production
