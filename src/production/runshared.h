#pragma once

#include "production/provisionsettings.h"
#include "production/recordsink.h"
#include "production/unitbudget.h"

#include <QMutex>
#include <QString>

#include <atomic>

namespace korva::production
{

class LedgerService;
class UnitHook;

// Why a run ended.
enum class EndReason {
    None,
    CountReached, // --count units were written
    Stopped,      // a stop was asked for
    RecordFailed, // a unit's record could not be written whole (ledger, log, stdout)
    RangeUsedUp,  // no local address of the range was left to give
    PortUnusable, // a slot's device is there but cannot be opened
};

// What the slots of one run share: the settings, the run's id in the ledger,
// the record sink, the budget of units, and whether the run is ending. Safe to
// use from every slot's thread.
class RunShared
{
public:
    RunShared(ProvisionSettings settings, RecordSink &records);

    const ProvisionSettings settings;
    RecordSink &records;
    UnitBudget budget;
    qint64 runId = 0;                // set before any slot starts
    LedgerService *ledger = nullptr; // the station's ledger connection, set before any slot starts
    // With hookRequired, a unit that passed waits for this command, run on the
    // front end's thread, and fails unless it succeeds. Set before any slot starts.
    UnitHook *hook = nullptr;
    bool hookRequired = false;

    // Ends the run: no slot starts a unit or a write after this. The first
    // reason given is the one the run ends with.
    void halt(EndReason reason, const QString &message = {});
    // Halts the run as no address of its range is left; for a run with a range.
    // A run whose --count the last unit met ends as asked instead.
    void haltRangeUsedUp();
    bool halted() const { return m_halted.load(); }
    // Halted, or every unit the run may write has been written.
    bool ending() const { return halted() || budget.spent(); }
    EndReason reason() const;
    QString message() const;

private:
    std::atomic<bool> m_halted = false;
    mutable QMutex m_mutex;
    EndReason m_reason = EndReason::None;
    QString m_message;
};

} // namespace korva::production
