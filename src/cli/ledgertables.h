#pragma once

#include "production/ledger.h"

#include <QString>

namespace korva::cli
{

// A stored name as a table shows it, on one line and at most `width`
// characters: control characters written out (\n, \t, \xNN), a longer name
// cut with an ellipsis.
QString shownName(const QString &name, int width = 32);

// What `ledger status` prints: the addresses of the range by state and
// station, the next free one, the units' yield by station and by day, and the
// failures by error class.
QString statusText(const QString &where, const production::Ledger::Status &status);

} // namespace korva::cli
