#pragma once

#include "production/provisionsettings.h"
#include "production/runshared.h"
#include "production/slotevent.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QThread;

namespace korva::production
{

class Ledger;
class RecordSink;
class Slot;

// A provisioning run: one slot per port, each on a thread of its own, all
// taking units from one budget and addresses from one ledger, and writing their
// records through one sink. Lives on the thread that runs the front end, where
// it records the run's start and end and reports each slot's events.
class ProvisionRun : public QObject
{
    Q_OBJECT
public:
    ProvisionRun(ProvisionSettings settings, RecordSink &records, QObject *parent = nullptr);
    // Stops the run and waits for every slot's thread.
    ~ProvisionRun() override;

    // Records the run's start and starts the slots; the reason it could not
    // (the ledger cannot be opened or written, the range is used up, the
    // settings are refused), or empty.
    QString start();
    // The run was refused for its settings: every unit would keep the
    // profile's address, which the ledger issued.
    bool settingsRefused() const { return m_settingsRefused; }
    // Every slot finishes its step, leaves its module in data mode and ends;
    // nothing new is written after this.
    void stop();
    // Ends the run as a record that could not be written does: each slot
    // stops before its next unit or write.
    void fail(const QString &reason);

    // Valid once finished.
    EndReason endReason() const;
    QString endMessage() const { return m_shared.message(); }
    int unitsWritten() const { return m_shared.budget.written(); }
    bool anyFailed() const;
    RunSummary summary() const { return m_summary; }

signals:
    void slotEvent(const korva::production::SlotEvent &event);
    void unitRecorded(const korva::production::UnitRecord &unit);
    void finished();

private:
    void onSlotEvent(const SlotEvent &event);
    void onRunChanged();
    void onSlotFinished();
    // Records the run's end in the ledger and the log, and sums it up.
    void recordEnd();
    QString howEnded() const;

    RunShared m_shared;
    std::unique_ptr<Ledger> m_ledger; // this thread's connection
    RunSummary m_summary;
    std::vector<std::unique_ptr<QThread>> m_threads;
    // Deleted after their threads have ended, so none is handling an event then.
    std::vector<std::unique_ptr<Slot>> m_slots;
    QList<SlotTotals> m_totals;
    int m_running = 0;
    bool m_settingsRefused = false;
};

} // namespace korva::production
