#pragma once

#include <QLabel>

namespace korva
{

// The status bar's one panel and the one place its text lives. A text wider
// than the panel is cut with "…"; the whole text is always the panel's tooltip.
class StatusPanel : public QLabel
{
    Q_OBJECT
public:
    explicit StatusPanel(QWidget *parent = nullptr);

    void setStatus(const QString &text);
    QString status() const { return m_status; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showStatus();

    QString m_status;
};

} // namespace korva
