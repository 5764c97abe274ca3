#pragma once

#include "config/moduleconfig.h"

#include <QList>
#include <QString>

// Checks a read-back against the packet that was written: the protocol has no
// acknowledgement, so reading the module again is the only proof a value took.
namespace korva
{

// The page's fourteen value fields in ConfigTexts order: the eight address
// bytes, then frequency, Tx power, Tx and Rx packet size, RSSI threshold, RF TX speed.
inline constexpr int kPageFieldCount = 14;

const QString &pageFieldText(const ConfigTexts &texts, int field);

struct FieldMismatch {
    int field = 0;   // 0..kPageFieldCount-1
    QString written; // what the packet carries, in the page's text form
    QString held;    // what the read-back shows
    bool operator==(const FieldMismatch &) const = default;
};

// The fields whose read-back differs from what `packet` wrote. The packet is
// read in the page's text forms for `band`, so texts that encode the same bytes
// ("0A" and "A", "434" and "434.000") never differ. A field the module did not
// send ("??") differs; a frequency the band cannot show is not compared.
QList<FieldMismatch> readBackMismatches(const QByteArray &packet, const QString &band,
                                        const ConfigTexts &held);

} // namespace korva
