#pragma once

#include "production/slotevent.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// What the front ends of a run (the terminal view and korva-station) show of
// its slots and its units, decided once: pure functions of the run's events.
namespace korva::production
{

// The words for a state: "waiting", "PASS", "sent, not verified", ...
QString stateWord(SlotState state);

// A verdict ends a unit: passed, failed, already provisioned, sent but not
// verified, or not recorded.
bool isVerdict(SlotState state);
// A unit with this verdict is set aside rather than packed: it failed, or what
// became of it is not on the record.
bool setAside(SlotState verdict);

// One slot as a front end shows it: its latest event, and the verdict on its
// last unit kept until its next unit starts, also after the run ends, so that
// a FAIL and its reason are never replaced by what the slot does next.
struct SlotPicture {
    SlotEvent now;
    std::optional<SlotEvent> verdict = {};

    void apply(const SlotEvent &event);
    // What the slot shows first: its kept verdict, else its latest event.
    const SlotEvent &shown() const { return verdict ? *verdict : now; }
    // What the operator does next at the slot, in a few words.
    QString nextStep() const;
};

SlotTotals &operator+=(SlotTotals &sum, const SlotTotals &more);
// Every unit that got a verdict.
int unitsOf(const SlotTotals &totals);
// passed / (passed + failed); units not verified or not recorded are left out,
// as their outcome is not known. None before the first.
std::optional<double> yieldOf(const SlotTotals &totals);
// "97.6 %", or "-" before the first unit.
QString yieldText(const SlotTotals &totals);
// "passed 3, failed 1, already provisioned 2", with the units not verified
// and not recorded when there are any.
QString countsText(const SlotTotals &totals);
// Units per hour over a time; none for a time too short to tell.
std::optional<double> unitsPerHour(int units, qint64 ms);

// The units of a shift over time, for a chart of units per hour and yield:
// each unit's verdict counted in the minute it came.
class ShiftTally
{
public:
    void add(SlotState verdict, const QDateTime &when);
    const SlotTotals &totals() const { return m_totals; }
    QDateTime first() const { return m_first; }

    struct Point {
        QDateTime end;
        double unitsPerHour = 0;
        std::optional<double> yield;
    };
    // One point a minute from the first unit's minute up to `now`: the rate
    // and the yield over the `windowMinutes` before it (or since the first
    // unit, when that is shorter). At most `limit` points, the latest.
    QList<Point> points(const QDateTime &now, int windowMinutes = 15, int limit = 720) const;

private:
    QMap<qint64, SlotTotals> m_minutes; // by minutes since the epoch
    SlotTotals m_totals;
    QDateTime m_first;
};

} // namespace korva::production
