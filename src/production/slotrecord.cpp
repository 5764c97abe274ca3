#include "production/slot.h"

#include "production/completion.h"
#include "production/ledgerservice.h"
#include "production/runshared.h"

#include <QJsonObject>

namespace korva::production
{

namespace
{

const QString kHookFailed = QStringLiteral("on-unit");

// A unit the ledger did not take is shown as such, never as a plain verdict.
SlotState notRecorded(SlotState state)
{
    switch (state) {
    case SlotState::Passed:
        return SlotState::PassedNotRecorded;
    case SlotState::AlreadyProvisioned:
        return state;
    default:
        return SlotState::FailedNotRecorded;
    }
}

QJsonObject hookLogRecord(const UnitHookOutcome &outcome)
{
    return {{QStringLiteral("type"), QStringLiteral("on-unit")},
            {QStringLiteral("unit"), outcome.job.unit},
            {QStringLiteral("status"), outcome.status},
            {QStringLiteral("stderr"), outcome.stderrTail},
            {QStringLiteral("stdin-error"), outcome.stdinError}};
}

} // namespace

void Slot::record(UnitRecord &unit, SlotState state, const QString &detail)
{
    unit.runId = m_shared.runId;
    const RecordSink::Written written = m_shared.records.append(unit, m_ledger.get());
    QString failure = written.failure();
    if (m_gatedOutcome) {
        // The command's outcome belongs with the unit's record; while the ledger
        // lacks the unit, it waits in the journal with it.
        const UnitHookOutcome &outcome = *m_gatedOutcome;
        const RecordSink::Written hook = m_shared.records.appendHookOutcome(
            unit.runId, unit.sequence, hookLogRecord(outcome), outcome.status, outcome.stderrTail,
            written.ledgerTook() ? m_ledger.get() : nullptr);
        if (failure.isEmpty())
            failure = hook.failure();
        m_gatedOutcome.reset();
    }
    QString shownDetail = detail;
    if (!written.ledgerTook()) {
        state = notRecorded(state);
        shownDetail = QStringLiteral("not in the ledger, only in the journal %1: set the unit "
                                     "aside")
                          .arg(m_shared.records.journalPath());
    } else {
        emit unitRecorded(unit);
    }
    if (!failure.isEmpty())
        m_shared.halt(EndReason::RecordFailed, failure);
    report(state, shownDetail, m_unitAddress, unit.started.msecsTo(unit.ended));
}

bool Slot::hookPasses(UnitRecord &unit, const UnitAddress &address)
{
    m_gatedOutcome.reset();
    if (!m_shared.hook || !m_shared.hookRequired)
        return true;
    unit.runId = m_shared.runId;
    m_shared.records.number(unit);
    // The command is handed the record the unit gets if it succeeds.
    UnitRecord passing = unit;
    passing.result = QStringLiteral("passed");
    if (address.reserved || address.reprovision)
        passing.addressState = AddressState::Passed;
    UnitHookJob job = hookJobFor(passing, m_shared.settings.start, m_shared.settings.band);
    job.required = true;
    report(SlotState::Verifying, QStringLiteral("waiting for --on-unit"), m_unitAddress);
    const UnitHookOutcome outcome = awaitHook(job);
    m_gatedOutcome = outcome;
    if (outcome.ok())
        return true;
    unit.errorClass = kHookFailed;
    unit.error = QStringLiteral("--on-unit %1").arg(outcome.status);
    if (const QString said = outcome.stderrTail.trimmed().section(u'\n', -1); !said.isEmpty())
        unit.error += QStringLiteral(": ") + said;
    return false;
}

UnitHookOutcome Slot::awaitHook(const UnitHookJob &job)
{
    auto completion = std::make_shared<Completion>();
    auto outcome = std::make_shared<UnitHookOutcome>();
    UnitHook *hook = m_shared.hook;
    QMetaObject::invokeMethod(
        hook,
        [hook, job, completion, outcome] {
            hook->run(job, [completion, outcome](const UnitHookOutcome &ended) {
                *outcome = ended;
                completion->finish();
            });
        },
        Qt::QueuedConnection);
    // A wake or a stop ends the loop early; a stop ends the command, whose end
    // is then waited for.
    bool ended = false;
    bool endAsked = false;
    while (!ended) {
        QEventLoop loop;
        m_idleLoop = &loop;
        ended = completion->wait(loop);
        m_idleLoop = nullptr;
        if (!ended && !endAsked && m_shared.halted()) {
            endAsked = true;
            QMetaObject::invokeMethod(
                hook, [hook, job] { hook->end(job.runId, job.sequence); }, Qt::QueuedConnection);
        }
    }
    return *outcome;
}

} // namespace korva::production
