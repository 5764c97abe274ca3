#pragma once

#include <QMutex>

namespace korva::production
{

// How many units a run may still write, shared by its slots. A slot claims a
// unit before its first write and settles the claim when the unit is done: a
// unit whose packet left counts against --count, one whose packet never left
// gives its claim back, so --count is the run's total over all slots. A target
// of passed units ends the run the same way once that many have passed; while
// the units under way could still reach it, no other is claimed.
class UnitBudget
{
public:
    explicit UnitBudget(int count, int target = 0); // 0: no limit

    enum class Claim {
        Granted,
        Wait,  // every unit left is under way on another slot, which may give it back
        Spent, // every unit the run may write has been written
    };

    Claim claim();
    void settle(bool packetLeft, bool passed = false);
    bool spent() const;
    int written() const;

private:
    bool spentLocked() const;

    mutable QMutex m_mutex;
    const int m_count;
    const int m_target;
    int m_written = 0;
    int m_passed = 0;
    int m_underWay = 0;
};

} // namespace korva::production
