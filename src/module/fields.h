#pragma once

#include "config/moduleconfig.h"

#include <QList>
#include <QString>

namespace korva
{

// The configuration's fields as a person names them, in page order; the band is
// not one of them, as it never goes on the wire.
enum class Field {
    DestinationAddress,
    LocalAddress,
    RfFrequency,
    TxPower,
    RssiThreshold,
    TxPacketSize,
    RxPacketSize,
    RfTxSpeed,
};

QList<Field> allFields();

// "destination-address", "rf-frequency", ...: the page's label in lower case
// with dashes.
QString fieldKey(Field field);
// "Destination Address", "RSSI Threshhold", ...: the page's label.
QString fieldLabel(Field field);

// A field's text: the page's text, an address as its four bytes in two hex
// digits each ("7F7F0001"; a byte not received reads "??").
QString fieldText(const ConfigTexts &texts, Field field);
// Puts a field's text into texts, an address (eight hex digits) into its four
// bytes.
void setFieldText(ConfigTexts &texts, Field field, const QString &text);

// Positions of a field's bytes in the block.
QList<int> fieldBytes(Field field);

// The field that page field 0..13 (ConfigTexts order, each address byte on its
// own) belongs to.
Field fieldOfPageField(int pageField);

struct FieldDifference {
    Field field;
    QString expected; // what was written or asked for
    QString actual;   // what the module holds
    bool operator==(const FieldDifference &) const = default;
};

// The fields among `fields` whose texts differ; a field the module did not
// send ("??") always differs.
QList<FieldDifference> differences(const ConfigTexts &expected, const ConfigTexts &actual,
                                   const QList<Field> &fields);

} // namespace korva
