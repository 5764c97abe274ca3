#pragma once

#include "production/slotevent.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace korva::cli
{

// Colour only on a terminal, never with --no-color or with NO_COLOR holding
// any text.
bool colourWanted(bool isTerminal, bool noColorOption);

// What a drawing may use of the terminal.
struct ViewStyle {
    bool attributes = false; // bold and reverse video
    bool colour = false;     // green PASS, red FAIL; only with attributes
    bool utf8 = false;       // "…" and full blocks, else "..." and "#"
};

// One slot as the table shows it.
struct SlotRow {
    production::SlotEvent now;
    // The slot's latest Passed, Failed or AlreadyProvisioned event, kept on
    // show while the unit waits to be taken off.
    std::optional<production::SlotEvent> lastResult = {};
};

// The live table, one string a line: the run's counters, a header, a row per
// slot and, with one slot, its unit's PASS or FAIL in large letters. Each line
// takes at most width cells; there are at most height - 1 lines (height 0: no
// bound), the rows that do not fit counted on the last.
QStringList drawTable(const QList<SlotRow> &rows, const production::SlotTotals &totals, int width,
                      int height, const ViewStyle &style);

// One line for a log: "slot 2 /dev/ttyUSB1: PASS 00020003 in 1.9 s".
QString plainLine(const production::SlotEvent &event);

// The end of a run: each slot's units (devices in slot order, as far as known),
// the total with the yield, how the run ended and the next free address.
QString summaryText(const production::RunSummary &summary, const QStringList &devices);

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
