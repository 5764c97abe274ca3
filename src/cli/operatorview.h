#pragma once

#include "cli/viewdrawing.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QTimer>

namespace korva::cli
{

// Shows a provisioning run's events on a descriptor (stderr). On a terminal it
// keeps a table redrawn in place, at most ten times a second; elsewhere each
// change is one plain line. Writes that fail are not retried: the first
// reason is kept and the view falls silent.
//
// Events: each verdict (passed, failed, already provisioned, sent but not
// verified, not recorded) counts one unit and stays on show until the slot's
// next unit starts, also once the run has ended. AlreadyProvisioned carries
// the address held and, as its detail, when and where it was provisioned ("on
// 2026-12-05 at bench-2"); Failed carries the field that differs ("tx-power:
// expected -21 dBm, got 0 dBm").
class OperatorView : public QObject
{
    Q_OBJECT

public:
    OperatorView(int fd, bool noColorOption, QObject *parent = nullptr);

    bool isTerminal() const { return m_terminal; }
    // The first write that failed, or empty.
    QString failure() const { return m_failure; }

    // A message of its own: above the table on a terminal, a line elsewhere.
    void message(const QString &text);
    // The final table and the summary; returns failure().
    QString finish(const production::RunSummary &summary);

public slots:
    void show(const korva::production::SlotEvent &event);

private:
    void scheduleDraw();
    // Draws the view after `before` (what replaces the top of the last drawing).
    void draw(const QByteArray &before = {});
    void write(const QByteArray &bytes);
    QByteArray toDrawingTop();

    int m_fd;
    bool m_terminal;
    ViewStyle m_style;
    QMap<int, production::SlotPicture> m_rows;
    production::SlotTotals m_totals;
    QHash<int, QString> m_printed; // plain mode: each slot's last line, so repeats are left out
    QTimer m_drawTimer;
    QElapsedTimer m_sinceDraw;
    int m_drawnLines = 0;
    int m_drawnWidth = 0;
    bool m_finished = false;
    QString m_failure;
};

} // namespace korva::cli
