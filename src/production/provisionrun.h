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

class LedgerClient;
class LedgerService;
class RecordSink;
class Slot;
class UnitHook;
struct UnitHookOutcome;

// A provisioning run: one slot per port, each on a thread of its own, all
// taking units from one budget and addresses from one ledger connection (on a
// thread of its own), and writing their records through one sink, the local
// journal first. Lives on the thread that runs the front end, where it records
// the run's start and end and reports each slot's events.
class ProvisionRun : public QObject
{
    Q_OBJECT
public:
    ProvisionRun(ProvisionSettings settings, RecordSink &records, QObject *parent = nullptr);
    // Stops the run and waits for every slot's thread.
    ~ProvisionRun() override;

    // The command run after each unit, on this thread; with `required` a unit
    // that passed waits for it and fails unless it succeeds. Before start().
    void setUnitHook(UnitHook *hook, bool required);

    // Carries the journal's records that the ledger lacks into it, records the
    // run's start, opens the run's journal and starts the slots; the reason it
    // could not (the ledger cannot be opened or written, the range is used up,
    // a stop came first, the settings are refused), or empty. What it did is
    // in notes().
    QString start();
    // The run was refused for its settings: every unit would keep the
    // profile's address, which the ledger issued.
    bool settingsRefused() const { return m_settingsRefused; }
    // Lines for the operator from start(): what the journal carried into the
    // ledger, and the run's journal file.
    QStringList notes() const { return m_notes; }
    QString journalPath() const;
    // Records what the command run after a unit came to (journal, ledger, log);
    // a ledger that does not take it halts the run. For commands not run by
    // the slots themselves (see setUnitHook).
    void recordHookOutcome(const UnitHookOutcome &outcome);
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
    // A unit whose record the ledger did not take (it is in the journal).
    bool anyNotRecorded() const;
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
    std::unique_ptr<LedgerService> m_service;
    std::unique_ptr<LedgerClient> m_ledger; // this thread's
    QStringList m_notes;
    bool m_started = false; // the ledger holds the run's start
    RunSummary m_summary;
    std::vector<std::unique_ptr<QThread>> m_threads;
    // Deleted after their threads have ended, so none is handling an event then.
    std::vector<std::unique_ptr<Slot>> m_slots;
    QList<SlotTotals> m_totals;
    int m_running = 0;
    bool m_settingsRefused = false;
};

} // namespace korva::production
