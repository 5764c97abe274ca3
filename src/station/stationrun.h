#pragma once

#include "production/job.h"
#include "production/provisionrun.h"
#include "production/recordsink.h"
#include "production/slotboard.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

#include <memory>

namespace korva::station
{

// The runs of one job at a station: starts and stops production's run and
// keeps what the window shows of it (each slot's picture and the units
// counted for the run, the job and the shift), so the window stays a view.
class StationRun : public QObject
{
    Q_OBJECT
public:
    explicit StationRun(QObject *parent = nullptr);
    ~StationRun() override;

    // A new job starts its counters afresh; the shift's go on.
    void setJob(const production::Job &job);
    const production::Job &job() const { return m_job; }

    // Starts a run of the job: for a job with a target, the units it still
    // needs. The reason it could not (in the words korva-cli provision
    // uses), or empty.
    QString start();
    // Every slot finishes its step and leaves its module in data mode.
    void stop();
    bool isRunning() const { return m_run != nullptr; }

    const QList<production::SlotPicture> &pictures() const { return m_pictures; }
    const production::ShiftTally &runTally() const { return m_runTally; }
    const production::ShiftTally &jobTally() const { return m_jobTally; }
    const production::ShiftTally &shiftTally() const { return m_shiftTally; }
    qint64 runMs() const;
    qint64 jobMs() const;
    QString ledgerText() const { return m_ledgerText; }
    // What the last run's start did besides: the journal's records carried
    // into the ledger, the run's journal file.
    QStringList notes() const { return m_notes; }
    // The settings of the last run started.
    const production::ProvisionSettings &settings() const { return m_settings; }

signals:
    void started();
    void slotChanged(int index);
    // A unit got its verdict.
    void unitDone(const korva::production::SlotEvent &event, const QDateTime &when);
    // How the run ended, and the reason when something went wrong (a ledger
    // that cannot be written, a port that cannot be used).
    void finished(const QString &howEnded, const QString &problem);

private:
    void onEvent(const production::SlotEvent &event);
    void onFinished();

    production::Job m_job;
    production::ProvisionSettings m_settings;
    std::unique_ptr<production::RecordSink> m_records;
    std::unique_ptr<production::ProvisionRun> m_run;
    QList<production::SlotPicture> m_pictures;
    production::ShiftTally m_runTally, m_jobTally, m_shiftTally;
    QElapsedTimer m_runClock;
    qint64 m_lastRunMs = 0;     // how long the last run took, once it ended
    qint64 m_earlierRunsMs = 0; // the job's runs that ended
    QString m_ledgerText;
    QStringList m_notes;
};

} // namespace korva::station
