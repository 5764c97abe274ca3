#pragma once

#include "production/provisionsettings.h"
#include "production/recordsink.h"
#include "production/unitallowance.h"

#include <QMutex>
#include <QString>

#include <atomic>

namespace korva::production
{

// Why a run ended.
enum class EndReason {
    None,
    CountReached, // --count units were written
    Stopped,      // a stop was asked for
    RecordFailed, // a unit's line could not be written whole
    RangeUsedUp,  // no local address was left to give
    PortUnusable, // a slot's device is there but cannot be opened
};

// What the slots of one run share: the settings, the record sink, the
// allowance of units and addresses, and whether the run is ending. Safe to use
// from every slot's thread.
class RunShared
{
public:
    RunShared(ProvisionSettings settings, RecordSink &records);

    const ProvisionSettings settings;
    RecordSink &records;
    UnitAllowance allowance;

    // Ends the run: no slot starts a unit or a write after this. The first
    // reason given is the one the run ends with.
    void halt(EndReason reason, const QString &message = {});
    bool halted() const { return m_halted.load(); }
    // Halted, or no unit can be granted any more.
    bool ending() const { return halted() || allowance.exhausted().has_value(); }
    EndReason reason() const;
    QString message() const;

private:
    std::atomic<bool> m_halted = false;
    mutable QMutex m_mutex;
    EndReason m_reason = EndReason::None;
    QString m_message;
};

} // namespace korva::production
