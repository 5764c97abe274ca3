#include "production/provisionrun.h"

#include "module/fields.h"
#include "production/journalsync.h"
#include "production/ledgerservice.h"
#include "production/slot.h"
#include "production/unithook.h"

#include <QJsonObject>
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
    // The slots' clients are gone with their threads' ends; the service's thread last.
    m_slots.clear();
    m_ledger.reset();
    m_service.reset();
}

void ProvisionRun::setUnitHook(UnitHook *hook, bool required)
{
    m_shared.hook = hook;
    m_shared.hookRequired = hook && required;
}

QString ProvisionRun::journalPath() const
{
    return m_shared.records.journalPath();
}

QString ProvisionRun::start()
{
    const ProvisionSettings &settings = m_shared.settings;
    m_service = std::make_unique<LedgerService>(settings.ledger, settings.ledgerTimeoutMs);
    m_shared.ledger = m_service.get();
    m_ledger = m_service->client();
    if (m_shared.halted())
        m_ledger->stop();
    const QString journal =
        settings.journalFolder.isEmpty() ? Journal::defaultFolder() : settings.journalFolder;

    // Records an earlier run could not hand to this ledger go in first.
    const JournalSyncReport carried = carryJournal(journal, *m_ledger);
    if (!carried.summary().isEmpty())
        m_notes << QStringLiteral("journal: ") + carried.summary();
    if (!carried.error.isEmpty())
        m_notes << QStringLiteral("journal: %1; the rest stays in the journal for korva-cli "
                                  "ledger sync")
                       .arg(carried.error);
    if (m_shared.halted())
        return QStringLiteral("stopped before the run began");

    // Every unit keeps the profile's address: one the ledger issued would go
    // to a second unit.
    bool isHex = false;
    const quint32 kept =
        settings.range || !settings.profileOver
            ? 0
            : fieldText(settings.profileOver({}), Field::LocalAddress).toUInt(&isHex, 16);
    if (isHex) {
        const auto refused = m_ledger->refusalToKeep(kept);
        m_settingsRefused = !refused.value.isEmpty();
        if (!refused.ok() || m_settingsRefused)
            return refused.ok() ? refused.value : refused.error;
    }
    if (const std::optional<AddressRange> &range = settings.range) {
        const auto next = m_ledger->nextFree(*range);
        if (!next.ok())
            return next.error;
        if (!next.value) {
            m_shared.haltRangeUsedUp();
            return m_shared.message();
        }
    }
    RunStart record = settings.start;
    record.started = currentTime();
    const auto started = m_ledger->startRun(record);
    if (!started.ok())
        return started.error;
    m_shared.runId = started.value;
    m_started = true;
    if (const QString failed =
            m_shared.records.openJournal(journal, settings.ledger, record, started.value);
        !failed.isEmpty())
        return failed;
    m_notes << QStringLiteral("journal: %1").arg(journalPath());
    if (const QString failed = m_shared.records.appendToLog(record.toJson(started.value));
        !failed.isEmpty())
        return failed;
    if (m_shared.halted())
        return QStringLiteral("stopped before the run began");

    const QList<SlotPort> &ports = m_shared.settings.ports;
    for (int i = 0; i < ports.size(); ++i) {
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(QStringLiteral("slot %1").arg(i + 1));
        auto slot = std::make_unique<Slot>(i + 1, ports.at(i), m_shared);
        slot->moveToThread(thread.get());
        connect(slot.get(), &Slot::event, this, &ProvisionRun::onSlotEvent);
        connect(slot.get(), &Slot::runChanged, this, &ProvisionRun::onRunChanged);
        connect(slot.get(), &Slot::unitRecorded, this, &ProvisionRun::unitRecorded);
        connect(slot.get(), &Slot::finished, this, &ProvisionRun::onSlotFinished);
        thread->start();
        QMetaObject::invokeMethod(slot.get(), &Slot::run, Qt::QueuedConnection);
        m_slots.push_back(std::move(slot));
        m_threads.push_back(std::move(thread));
        ++m_running;
    }
    return {};
}

void ProvisionRun::stop()
{
    // A stop once --count units are written only hurries the slots' ending.
    if (!m_shared.budget.spent())
        m_shared.halt(EndReason::Stopped);
    if (m_ledger)
        m_ledger->stop();
    for (const auto &slot : m_slots)
        QMetaObject::invokeMethod(slot.get(), &Slot::stop, Qt::QueuedConnection);
}

void ProvisionRun::fail(const QString &reason)
{
    m_shared.halt(EndReason::RecordFailed, reason);
    onRunChanged();
}

EndReason ProvisionRun::endReason() const
{
    const EndReason halted = m_shared.reason();
    // A stop while the last unit --count asked for was under way, which that
    // unit then met, cut nothing short.
    if (halted == EndReason::None || (halted == EndReason::Stopped && m_shared.budget.spent()))
        return EndReason::CountReached;
    return halted;
}

bool ProvisionRun::anyFailed() const
{
    // A unit sent but not verified is no success either: it must be checked.
    for (const SlotTotals &totals : m_totals) {
        if (totals.failed > 0 || totals.notVerified > 0)
            return true;
    }
    return false;
}

bool ProvisionRun::anyNotRecorded() const
{
    for (const SlotTotals &totals : m_totals) {
        if (totals.notRecorded > 0)
            return true;
    }
    return false;
}

void ProvisionRun::recordHookOutcome(const UnitHookOutcome &outcome)
{
    const QJsonObject logged{{QStringLiteral("type"), QStringLiteral("on-unit")},
                             {QStringLiteral("unit"), outcome.job.unit},
                             {QStringLiteral("status"), outcome.status},
                             {QStringLiteral("stderr"), outcome.stderrTail},
                             {QStringLiteral("stdin-error"), outcome.stdinError}};
    const RecordSink::Written written =
        m_shared.records.appendHookOutcome(outcome.job.runId, outcome.job.sequence, logged,
                                           outcome.status, outcome.stderrTail, m_ledger.get());
    if (const QString failed = written.failure(); !failed.isEmpty())
        fail(failed);
}

QString ProvisionRun::howEnded() const
{
    const int written = unitsWritten();
    const QString units = written == 1 ? QStringLiteral("1 unit written")
                                       : QStringLiteral("%1 units written").arg(written);
    switch (endReason()) {
    case EndReason::CountReached:
    case EndReason::None:
        if (m_shared.settings.target > 0 &&
            (m_shared.settings.count == 0 || written < m_shared.settings.count))
            return units + QStringLiteral(", the target of %1 passed reached")
                               .arg(m_shared.settings.target);
        return units + QStringLiteral(", as --count asked");
    case EndReason::Stopped:
        return units + QStringLiteral("; stopped");
    case EndReason::RecordFailed:
        return units + QStringLiteral("; stopped as a record could not be written");
    case EndReason::RangeUsedUp:
        return units + QStringLiteral("; the address range is used up");
    case EndReason::PortUnusable:
        return units + QStringLiteral("; a port could not be used");
    }
    return units;
}

void ProvisionRun::recordEnd()
{
    m_summary.slotTotals = m_totals;
    m_summary.howEnded = howEnded();
    RunEnd end;
    end.how = m_summary.howEnded;
    end.written = unitsWritten();
    for (const SlotTotals &totals : std::as_const(m_totals)) {
        end.passed += totals.passed;
        end.failed += totals.failed;
        end.alreadyProvisioned += totals.alreadyProvisioned;
    }
    // After a ledger failure the end is waited for only briefly: the journal keeps it.
    if (m_shared.reason() == EndReason::RecordFailed)
        m_ledger->stop();
    QString failed;
    if (const std::optional<AddressRange> &range = m_shared.settings.range) {
        const auto next = m_ledger->nextFree(*range);
        failed = next.error;
        m_summary.nextFree = end.nextFree = next.value;
    }
    end.ended = currentTime();
    // A ledger that could not tell the next free address still gets the end.
    const QString ended =
        m_shared.records.appendRunEnd(m_shared.runId, end, m_ledger.get()).failure();
    if (failed.isEmpty())
        failed = ended;
    if (!failed.isEmpty())
        m_shared.halt(EndReason::RecordFailed, failed);
}

void ProvisionRun::onSlotEvent(const SlotEvent &event)
{
    m_totals[event.slot - 1].count(event.state);
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
    if (--m_running > 0)
        return;
    recordEnd();
    emit finished();
}

} // namespace korva::production
