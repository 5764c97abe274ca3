#pragma once

#include "config/moduleconfig.h"
#include "production/ledgerlocation.h"
#include "production/unitrecord.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace korva::production
{

// One slot's port: a number of the window's port map or a device path.
struct SlotPort {
    QString port;
    bool byNumber = false;
};

// What a provisioning run does, as the front end read it from its options.
struct ProvisionSettings {
    QList<SlotPort> ports; // one slot each, in this order
    QString baud;          // the line rate of every slot
    QString band;
    // The texts to write over a unit that holds `held`: the profile's fields
    // over the unit's own, before the unit's local address is put in.
    std::function<ConfigTexts(const ConfigTexts &held)> profileOver;
    LedgerLocation ledger;
    // Where each unit's local address is taken from; none: every unit keeps
    // the profile's address (recorded, but no address is taken).
    std::optional<AddressRange> range;
    bool reprovision = false;    // a unit recorded as passed is written again under its address
    RunStart start;              // the run's start record (station, operator, profile, ...)
    int count = 0;               // units to write over all slots; 0: until stopped
    int target = 0;              // units to pass over all slots; 0: until stopped
    int answerTimeoutMs = 1000;  // how long a read-back may take to end
    int ledgerTimeoutMs = 10000; // the bound of every ledger call
    QString journalFolder;       // empty: the default (Journal::defaultFolder)
};

} // namespace korva::production
