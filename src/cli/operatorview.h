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
// Events: each Passed, Failed or AlreadyProvisioned event counts one unit.
// AlreadyProvisioned carries the address held and, as its detail, when and
// where it was provisioned ("on 2026-12-05 at bench-2"); Failed carries the
// field that differs ("tx-power: expected -21 dBm, got 0 dBm").
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
    void draw();
    void write(const QByteArray &bytes);
    QByteArray eraseDrawing();

    int m_fd;
    bool m_terminal;
    ViewStyle m_style;
    QMap<int, SlotRow> m_rows;
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
