#pragma once

#include <QFont>

class QWidget;

namespace korva
{

// Courier New at the given size; falls back to the system's fixed-pitch font
// (Liberation Mono stands in for it on Linux).
QFont courierFont(qreal pointSize, bool bold = false);

// Yellow bold fixed-pitch text on black, as the configuration fields show it.
void styleValueField(QWidget *field, qreal pointSize);

// Shows a value field's text in the warning colour (light red, which reads well
// on black and apart from yellow) or back in yellow.
void setValueFieldWarning(QWidget *field, bool warning);

// The light page background, shown by the page's labels too.
void stylePage(QWidget *page);

} // namespace korva
