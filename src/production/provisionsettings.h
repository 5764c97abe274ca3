#pragma once

#include "config/moduleconfig.h"

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
    std::optional<quint32> firstAddress; // each unit takes the next; none: the profile's
    int count = 0;                       // units to write over all slots; 0: until stopped
    int answerTimeoutMs = 1000;          // how long a read-back may take to end
};

} // namespace korva::production
