#include "config/displaytext.h"

namespace korva
{

QString shortenedForDisplay(const QString &text, qsizetype maxLength)
{
    const QString ellipsis = QStringLiteral("...");
    if (text.size() <= maxLength)
        return text;
    return text.left(qMax<qsizetype>(0, maxLength - ellipsis.size())) + ellipsis;
}

} // namespace korva
