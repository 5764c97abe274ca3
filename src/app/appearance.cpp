#include "app/appearance.h"

#include <QColor>
#include <QPalette>
#include <QWidget>

namespace korva
{

namespace
{

const QColor kValueText(255, 255, 0);
const QColor kWarningText(255, 90, 90);

void setValueTextColour(QPalette &palette, const QColor &colour)
{
    for (const auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
        palette.setColor(role, colour);
}

} // namespace

QFont courierFont(qreal pointSize, bool bold)
{
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void styleValueField(QWidget *field, qreal pointSize)
{
    field->setFont(courierFont(pointSize, true));
    QPalette palette = field->palette();
    for (const auto role : {QPalette::Base, QPalette::Window, QPalette::Button})
        palette.setColor(role, Qt::black);
    setValueTextColour(palette, kValueText);
    palette.setColor(QPalette::Highlight, kValueText);
    palette.setColor(QPalette::HighlightedText, Qt::black);
    field->setPalette(palette);
}

void setValueFieldWarning(QWidget *field, bool warning)
{
    QPalette palette = field->palette();
    setValueTextColour(palette, warning ? kWarningText : kValueText);
    field->setPalette(palette);
}

void stylePage(QWidget *page)
{
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, QColor(252, 252, 252));
    page->setPalette(palette);
    page->setAutoFillBackground(true);
}

} // namespace korva
