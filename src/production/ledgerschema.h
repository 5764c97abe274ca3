#pragma once

#include "production/ledgerlocation.h"

#include <QStringList>

namespace korva::production
{

// The schema version this program writes. Each version has one step that
// brings a ledger from the version before it; a ledger of a later version is
// refused, as this program does not know what its records mean.
constexpr int kSchemaVersion = 3;

// The statements that bring a ledger from version - 1 to version, for the
// database at hand (both get the same tables and columns).
QStringList schemaStep(int version, LedgerLocation::Kind kind);

} // namespace korva::production
