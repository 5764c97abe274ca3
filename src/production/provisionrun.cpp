#include "production/provisionrun.h"

#include "production/slot.h"

#include <QThread>

namespace korva::production
{

ProvisionRun::ProvisionRun(ProvisionSettings settings, RecordSink &records, QObject *parent)
    : QObject(parent), m_shared(std::move(settings), records)
{
    m_totals.resize(m_shared.settings.ports.size());
}

ProvisionRun::~ProvisionRun()
{
    stop();
    for (const auto &thread : m_threads)
        thread->wait();
}

void ProvisionRun::start()
{
    m_started = true;
    const QList<SlotPort> &ports = m_shared.settings.ports;
    for (int i = 0; i < ports.size(); ++i) {
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(QStringLiteral("slot %1").arg(i + 1));
        auto slot = std::make_unique<Slot>(i + 1, ports.at(i), m_shared);
        slot->moveToThread(thread.get());
        connect(slot.get(), &Slot::event, this, &ProvisionRun::onSlotEvent);
        connect(slot.get(), &Slot::runChanged, this, &ProvisionRun::onRunChanged);
        connect(slot.get(), &Slot::finished, this, &ProvisionRun::onSlotFinished);
        thread->start();
        QMetaObject::invokeMethod(slot.get(), &Slot::run, Qt::QueuedConnection);
        m_slots.push_back(std::move(slot));
        m_threads.push_back(std::move(thread));
        ++m_running;
    }
}

void ProvisionRun::stop()
{
    // A stop once --count units are written only hurries the slots' ending.
    if (!m_shared.allowance.exhausted())
        m_shared.halt(EndReason::Stopped);
    for (const auto &slot : m_slots)
        QMetaObject::invokeMethod(slot.get(), &Slot::stop, Qt::QueuedConnection);
}

EndReason ProvisionRun::endReason() const
{
    if (const EndReason halted = m_shared.reason(); halted != EndReason::None)
        return halted;
    if (m_shared.allowance.exhausted() == UnitAllowance::Verdict::RangeUsedUp)
        return EndReason::RangeUsedUp;
    return EndReason::CountReached;
}

bool ProvisionRun::anyFailed() const
{
    for (const SlotTotals &totals : m_totals) {
        if (totals.failed > 0)
            return true;
    }
    return false;
}

RunSummary ProvisionRun::summary() const
{
    RunSummary summary;
    summary.slotTotals = m_totals;
    summary.nextFree = m_shared.allowance.nextFree();
    const int written = unitsWritten();
    const QString units = written == 1 ? QStringLiteral("1 unit written")
                                       : QStringLiteral("%1 units written").arg(written);
    switch (endReason()) {
    case EndReason::CountReached:
        summary.howEnded = units + QStringLiteral(", as --count asked");
        break;
    case EndReason::Stopped:
        summary.howEnded = units + QStringLiteral("; stopped");
        break;
    case EndReason::RecordFailed:
        summary.howEnded = units + QStringLiteral("; stopped as a record could not be written");
        break;
    case EndReason::RangeUsedUp:
        summary.howEnded = units + QStringLiteral("; the address range is used up");
        break;
    case EndReason::PortUnusable:
    case EndReason::None:
        summary.howEnded = units + QStringLiteral("; a port could not be used");
        break;
    }
    return summary;
}

void ProvisionRun::onSlotEvent(const SlotEvent &event)
{
    SlotTotals &totals = m_totals[event.slot - 1];
    if (event.state == SlotState::Passed)
        ++totals.passed;
    else if (event.state == SlotState::Failed)
        ++totals.failed;
    else if (event.state == SlotState::AlreadyProvisioned)
        ++totals.alreadyProvisioned;
    emit slotEvent(event);
}

// A unit settled or the run was halted: slots that wait look at once whether
// the run goes on.
void ProvisionRun::onRunChanged()
{
    for (const auto &slot : m_slots)
        QMetaObject::invokeMethod(slot.get(), &Slot::wake, Qt::QueuedConnection);
}

void ProvisionRun::onSlotFinished()
{
    if (--m_running == 0)
        emit finished();
}

} // namespace korva::production
