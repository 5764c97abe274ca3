#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace korva::production
{

// What one provisioning slot is doing, as the operator in front of it sees it.
enum class SlotState {
    Waiting,            // no unit yet: waiting for one to answer
    Programming,        // writing the unit
    Verifying,          // reading it back
    Passed,             // the unit holds what was written
    Failed,             // it does not, or could not be written
    AlreadyProvisioned, // the unit was provisioned before and is left alone
    RemoveUnit,         // done with this unit: waiting for it to be taken off
    AdapterMissing,     // the slot's device is not there
    Finished,           // the slot takes no more units
    // The unit's packet left but no verdict came (a stop, a hang-up, no
    // read-back): it must be set aside and checked.
    SentNotVerified,
    // The unit passed or failed, but the ledger did not take its record: it is
    // in the local journal only, and is not counted as passed.
    PassedNotRecorded,
    FailedNotRecorded,
};

// One change of a slot, reported as it happens.
struct SlotEvent {
    int slot = 0;   // 1-based, in the order the ports were given
    QString device; // the port as it was given
    SlotState state = SlotState::Waiting;
    std::optional<quint32> address; // the unit's local address, once known
    // A failure's field with the expected and the actual value, why a unit was
    // left alone, or what is seen while waiting; empty when there is nothing to add.
    QString detail;
    qint64 unitMs = -1; // Passed and Failed: how long the unit took
};

struct SlotTotals {
    int passed = 0;
    int failed = 0;
    int alreadyProvisioned = 0;
    // Neither counts towards the yield: their outcome is not on the record.
    int notVerified = 0;
    int notRecorded = 0;

    // Adds a unit's result to its counter; false for a state that is no result.
    bool count(SlotState state)
    {
        switch (state) {
        case SlotState::Passed:
            ++passed;
            return true;
        case SlotState::Failed:
            ++failed;
            return true;
        case SlotState::AlreadyProvisioned:
            ++alreadyProvisioned;
            return true;
        case SlotState::SentNotVerified:
            ++notVerified;
            return true;
        case SlotState::PassedNotRecorded:
        case SlotState::FailedNotRecorded:
            ++notRecorded;
            return true;
        default:
            return false;
        }
    }
};

// How a run ended, for the summary at its end.
struct RunSummary {
    QList<SlotTotals> slotTotals;    // in slot order (not "slots": that is a Qt keyword)
    QString howEnded;                // e.g. "3 units written; stopped"
    std::optional<quint32> nextFree; // the next free address of the run's range, when known
};

} // namespace korva::production

Q_DECLARE_METATYPE(korva::production::SlotEvent)
