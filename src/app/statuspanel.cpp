#include "app/statuspanel.h"

#include <QResizeEvent>

namespace korva
{

StatusPanel::StatusPanel(QWidget *parent) : QLabel(parent)
{
    // The panel takes the width the bar gives it; a long text must not widen the window.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
    setAccessibleName(QStringLiteral("Status"));
}

void StatusPanel::setStatus(const QString &text)
{
    m_status = text;
    setToolTip(text);
    showStatus();
    // A screen reader gets the whole text, which the panel may show cut; Qt tells
    // it of every status written, the same one again too (a second "No Response"
    // is news).
    setAccessibleDescription(text);
}

void StatusPanel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    showStatus();
}

void StatusPanel::showStatus()
{
    // Until the bar has laid the panel out its width means nothing: show the text whole.
    if (!testAttribute(Qt::WA_Resized)) {
        setText(m_status);
        return;
    }
    setText(fontMetrics().elidedText(m_status, Qt::ElideRight, contentsRect().width()));
}

} // namespace korva
