#pragma once

#include "production/provisionsettings.h"
#include "production/runshared.h"
#include "production/slotevent.h"

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class QThread;

namespace korva::production
{

class RecordSink;
class Slot;

// A provisioning run: one slot per port, each on a thread of its own, all
// taking units and addresses from one allowance and writing their lines to one
// sink. Lives on the thread that runs the front end, where it reports each
// slot's events and the end of the run.
class ProvisionRun : public QObject
{
    Q_OBJECT
public:
    ProvisionRun(ProvisionSettings settings, RecordSink &records, QObject *parent = nullptr);
    // Stops the run and waits for every slot's thread.
    ~ProvisionRun() override;

    void start();
    // Every slot finishes its step, leaves its module in data mode and ends;
    // nothing new is written after this.
    void stop();

    bool isFinished() const { return m_running == 0 && m_started; }
    // Valid once finished.
    EndReason endReason() const;
    QString endMessage() const { return m_shared.message(); }
    int unitsWritten() const { return m_shared.allowance.written(); }
    bool anyFailed() const;
    RunSummary summary() const;

signals:
    void slotEvent(const korva::production::SlotEvent &event);
    void finished();

private:
    void onSlotEvent(const SlotEvent &event);
    void onRunChanged();
    void onSlotFinished();

    RunShared m_shared;
    std::vector<std::unique_ptr<QThread>> m_threads;
    // Deleted after their threads have ended, so none is handling an event then.
    std::vector<std::unique_ptr<Slot>> m_slots;
    QList<SlotTotals> m_totals;
    int m_running = 0;
    bool m_started = false;
};

} // namespace korva::production
