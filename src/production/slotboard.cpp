#include "production/slotboard.h"

#include <algorithm>

namespace korva::production
{

namespace
{

constexpr qint64 kMsPerMinute = 60 * 1000;
// A rate over less than this says more about chance than about the line.
constexpr qint64 kShortestRateMs = 1000;

// What to do with a unit once it has its verdict.
QString afterVerdict(SlotState verdict)
{
    switch (verdict) {
    case SlotState::Passed:
        return QStringLiteral("remove the unit");
    case SlotState::Failed:
        return QStringLiteral("remove the unit and set it aside");
    case SlotState::AlreadyProvisioned:
        return QStringLiteral("remove the unit: it was provisioned before");
    case SlotState::SentNotVerified:
        return QStringLiteral("set it aside");
    case SlotState::PassedNotRecorded:
    case SlotState::FailedNotRecorded:
        return QStringLiteral("set it aside: not on the ledger");
    default:
        return {};
    }
}

} // namespace

QString stateWord(SlotState state)
{
    switch (state) {
    case SlotState::Waiting:
        return QStringLiteral("waiting");
    case SlotState::Programming:
        return QStringLiteral("programming");
    case SlotState::Verifying:
        return QStringLiteral("verifying");
    case SlotState::Passed:
        return QStringLiteral("PASS");
    case SlotState::Failed:
        return QStringLiteral("FAIL");
    case SlotState::AlreadyProvisioned:
        return QStringLiteral("already provisioned");
    case SlotState::RemoveUnit:
        return QStringLiteral("remove the unit");
    case SlotState::AdapterMissing:
        return QStringLiteral("adapter missing");
    case SlotState::Finished:
        return QStringLiteral("finished");
    case SlotState::SentNotVerified:
        return QStringLiteral("sent, not verified");
    case SlotState::PassedNotRecorded:
        return QStringLiteral("PASS, NOT RECORDED");
    case SlotState::FailedNotRecorded:
        return QStringLiteral("FAIL, NOT RECORDED");
    }
    return {};
}

bool isVerdict(SlotState state)
{
    return SlotTotals().count(state);
}

bool setAside(SlotState verdict)
{
    return verdict == SlotState::Failed || verdict == SlotState::SentNotVerified ||
           verdict == SlotState::PassedNotRecorded || verdict == SlotState::FailedNotRecorded;
}

void SlotPicture::apply(const SlotEvent &event)
{
    now = event;
    if (isVerdict(event.state))
        verdict = event;
    else if (event.state == SlotState::Programming)
        verdict.reset();
}

QString SlotPicture::nextStep() const
{
    switch (now.state) {
    case SlotState::Waiting:
        if (verdict && setAside(verdict->state))
            return afterVerdict(verdict->state);
        return verdict ? QStringLiteral("attach the next unit") : QStringLiteral("attach a unit");
    case SlotState::Programming:
    case SlotState::Verifying:
        return QStringLiteral("leave the unit attached");
    case SlotState::AdapterMissing:
        return QStringLiteral("adapter missing: plug it in");
    case SlotState::Finished:
        if (verdict && setAside(verdict->state))
            return afterVerdict(verdict->state);
        return QStringLiteral("the run has ended");
    default:
        return verdict ? afterVerdict(verdict->state) : stateWord(now.state);
    }
}

SlotTotals &operator+=(SlotTotals &sum, const SlotTotals &more)
{
    sum.passed += more.passed;
    sum.failed += more.failed;
    sum.alreadyProvisioned += more.alreadyProvisioned;
    sum.notVerified += more.notVerified;
    sum.notRecorded += more.notRecorded;
    return sum;
}

int unitsOf(const SlotTotals &totals)
{
    return totals.passed + totals.failed + totals.alreadyProvisioned + totals.notVerified +
           totals.notRecorded;
}

std::optional<double> yieldOf(const SlotTotals &totals)
{
    const int judged = totals.passed + totals.failed;
    if (judged == 0)
        return std::nullopt;
    return 100.0 * totals.passed / judged;
}

QString yieldText(const SlotTotals &totals)
{
    const auto yield = yieldOf(totals);
    return yield ? QString::number(*yield, 'f', 1) + QStringLiteral(" %") : QStringLiteral("-");
}

QString countsText(const SlotTotals &totals)
{
    QString text = QStringLiteral("passed %1, failed %2, already provisioned %3")
                       .arg(totals.passed)
                       .arg(totals.failed)
                       .arg(totals.alreadyProvisioned);
    if (totals.notVerified > 0)
        text += QStringLiteral(", sent not verified %1").arg(totals.notVerified);
    if (totals.notRecorded > 0)
        text += QStringLiteral(", not recorded %1").arg(totals.notRecorded);
    return text;
}

std::optional<double> unitsPerHour(int units, qint64 ms)
{
    if (ms < kShortestRateMs)
        return std::nullopt;
    return units * 3600000.0 / double(ms);
}

void ShiftTally::add(SlotState verdict, const QDateTime &when)
{
    if (!m_totals.count(verdict))
        return;
    m_minutes[when.toMSecsSinceEpoch() / kMsPerMinute].count(verdict);
    if (!m_first.isValid() || when < m_first)
        m_first = when;
}

QList<ShiftTally::Point> ShiftTally::points(const QDateTime &now, int windowMinutes,
                                            int limit) const
{
    QList<Point> points;
    if (m_minutes.isEmpty())
        return points;
    const qint64 firstMinute = m_minutes.firstKey();
    const qint64 lastMinute = std::max(now.toMSecsSinceEpoch() / kMsPerMinute, m_minutes.lastKey());
    for (qint64 minute = std::max(firstMinute, lastMinute - limit + 1); minute <= lastMinute;
         ++minute) {
        const qint64 endMs = std::min((minute + 1) * kMsPerMinute, now.toMSecsSinceEpoch());
        SlotTotals window;
        for (auto it = m_minutes.lowerBound(minute - windowMinutes + 1);
             it != m_minutes.end() && it.key() <= minute; ++it)
            window += it.value();
        const qint64 spanMs =
            std::min<qint64>(windowMinutes * kMsPerMinute, endMs - m_first.toMSecsSinceEpoch());
        points << Point{QDateTime::fromMSecsSinceEpoch(endMs),
                        unitsPerHour(unitsOf(window), spanMs).value_or(0), yieldOf(window)};
    }
    return points;
}

} // namespace korva::production
