#pragma once

#include "config/moduleconfig.h"
#include "module/fields.h"

#include <QString>
#include <QStringList>

#include <map>

namespace korva::cli
{

// What a run asks to change: the fields' new texts in the forms the page holds
// (an address as eight hex digits) and the band, when given.
struct Changes {
    std::map<Field, QString> fields;
    QString band; // empty: not given

    bool coversEveryField() const { return fields.size() == size_t(allFields().size()); }
};

// Every key, in page order, the band among them.
QStringList knownKeys();

// Reads one value for a key and records it; returns why it was refused, naming
// the key (and, for a list, its entries), or an empty text.
QString addChange(Changes &changes, const QString &key, const QString &value);
// The same for "KEY=VALUE".
QString addAssignment(Changes &changes, const QString &assignment);

// Puts the changed fields into texts.
void applyChanges(ConfigTexts &texts, const Changes &changes);

// Checks every changed field with the checks of Set, each on its own against a
// valid configuration, so a refusal names its key: "rf-frequency: Incorrect
// Frequency value". Empty when all pass.
QString checkChanges(const Changes &changes, const QString &band);

// The texts a module would show after being written with `changes` over a
// valid configuration: the canonical form of each changed value.
ConfigTexts canonicalTexts(const Changes &changes, const QString &band);

} // namespace korva::cli
