#include "station/stationrun.h"

#include "station/stationoptions.h"

namespace korva::station
{

using production::EndReason;

StationRun::StationRun(QObject *parent) : QObject(parent) {}

StationRun::~StationRun() = default;

void StationRun::setJob(const production::Job &job)
{
    if (production::jobJson(job) != production::jobJson(m_job)) {
        m_jobTally = {};
        m_earlierRunsMs = 0;
    }
    m_job = job;
}

QString StationRun::start()
{
    if (m_run)
        return QStringLiteral("a run is under way");
    production::PreparedJob prepared = production::prepareJob(m_job, stationVersionText());
    if (!prepared.refusal.isEmpty())
        return prepared.refusal;
    m_ledgerText = prepared.settings.ledger.display();
    if (m_job.target > 0) {
        const int left = m_job.target - m_jobTally.totals().passed;
        if (left <= 0)
            return QStringLiteral("the job's target of %1 passed units is reached")
                .arg(m_job.target);
        prepared.settings.target = left;
    }
    m_settings = prepared.settings;
    // The records go to the ledger (and the journal); no line is printed.
    m_records = std::make_unique<production::RecordSink>(-1);
    m_records->setOutput([](const QByteArray &) { return QString(); });
    m_run = std::make_unique<production::ProvisionRun>(prepared.settings, *m_records);
    connect(m_run.get(), &production::ProvisionRun::slotEvent, this, &StationRun::onEvent);
    connect(m_run.get(), &production::ProvisionRun::finished, this, &StationRun::onFinished,
            Qt::QueuedConnection);
    m_pictures.clear();
    for (int slot = 1; slot <= prepared.settings.ports.size(); ++slot) {
        production::SlotPicture picture;
        picture.now.slot = slot;
        picture.now.device = prepared.settings.ports.at(slot - 1).port;
        m_pictures << picture;
    }
    m_runTally = {};
    m_lastRunMs = 0;
    m_runClock.start();
    const QString refused = m_run->start();
    m_notes = m_run->notes();
    if (!refused.isEmpty()) {
        m_run.reset();
        m_records.reset();
        return refused;
    }
    emit started();
    for (int index = 0; index < m_pictures.size(); ++index)
        emit slotChanged(index);
    return {};
}

void StationRun::stop()
{
    if (m_run)
        m_run->stop();
}

qint64 StationRun::runMs() const
{
    return m_run ? m_runClock.elapsed() : m_lastRunMs;
}

qint64 StationRun::jobMs() const
{
    return m_earlierRunsMs + (m_run ? runMs() : 0);
}

void StationRun::onEvent(const production::SlotEvent &event)
{
    const int index = event.slot - 1;
    if (index < 0 || index >= m_pictures.size())
        return;
    m_pictures[index].apply(event);
    if (production::isVerdict(event.state)) {
        const QDateTime now = QDateTime::currentDateTime();
        m_runTally.add(event.state, now);
        m_jobTally.add(event.state, now);
        m_shiftTally.add(event.state, now);
        emit unitDone(event, now);
    }
    emit slotChanged(index);
}

void StationRun::onFinished()
{
    const EndReason reason = m_run->endReason();
    const bool trouble = reason == EndReason::RecordFailed || reason == EndReason::PortUnusable;
    const QString how = m_run->summary().howEnded;
    const QString problem = trouble ? m_run->endMessage() : QString();
    m_lastRunMs = m_runClock.elapsed();
    m_earlierRunsMs += m_lastRunMs;
    // Queued after the run's last signal: its threads have ended.
    m_run.reset();
    m_records.reset();
    emit finished(how, problem);
}

} // namespace korva::station
