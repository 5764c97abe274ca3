#pragma once

#include <QString>

namespace korva
{

// Lengths at which texts from the user, the settings or the system are cut for
// display: a field's text in a check's message, and a port text or device path.
inline constexpr qsizetype kShownFieldLength = 24;
inline constexpr qsizetype kShownPathLength = 80;

// The text as a message or the status shows it: at most maxLength characters, a
// longer text cut and ending in "...", so that a huge paste or setting cannot
// flood a message box or freeze its layout.
QString shortenedForDisplay(const QString &text, qsizetype maxLength);

} // namespace korva
