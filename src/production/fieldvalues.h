#pragma once

#include "config/moduleconfig.h"
#include "module/fields.h"

#include <QString>
#include <QStringList>

#include <map>

namespace korva::production
{

// What a run asks to change: the fields' new texts in the forms the page holds
// (an address as eight hex digits; a list field's code outside its list in the
// raw form "0x16") and the band, when given.
struct Changes {
    std::map<Field, QString> fields;
    QString band; // empty: not given
    // The block a profile says it was read from (empty: none); its fields must
    // agree with it.
    QByteArray block;

    bool coversEveryField() const { return fields.size() == size_t(allFields().size()); }
};

// Reads one value for a key and records it; returns why it was refused, naming
// the key (and, for a list, its entries), or an empty text.
QString addChange(Changes &changes, const QString &key, const QString &value);
// The same for "KEY=VALUE".
QString addAssignment(Changes &changes, const QString &assignment);

// Puts the changed fields into texts.
void applyChanges(ConfigTexts &texts, const Changes &changes);

// Checks every changed field with the checks of Set, each on its own against a
// valid configuration, so a refusal names its key: "rf-frequency: Incorrect
// Frequency value (433Mhz takes 430.000 to 593.838 MHz)"; then the fields
// against the profile's block. Empty when all pass.
QString checkChanges(const Changes &changes, const QString &band);

// What a person should know about accepted values: a frequency between two
// channels and the one the module takes instead.
QStringList valueNotes(const Changes &changes, const QString &band);

// The texts with each list field the block holds a code outside the list for
// ("??" when decoded) in its raw form, "0x16".
ConfigTexts withRawCodes(ConfigTexts texts, const QByteArray &block);

// The texts a module would show after being written with `changes` over a
// valid configuration: the canonical form of each changed value.
ConfigTexts canonicalTexts(const Changes &changes, const QString &band);

} // namespace korva::production
