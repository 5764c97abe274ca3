#pragma once

#include "production/slotboard.h"

#include <QStringList>

// The operator's view drawn as text: pure functions of the run's state, so
// what a terminal or a log shows can be checked without either.
namespace korva::cli
{

// Colour only on a terminal, never with --no-color or with NO_COLOR holding
// any text.
bool colourWanted(bool isTerminal, bool noColorOption);

// What a drawing may use of the terminal.
struct ViewStyle {
    bool attributes = false; // bold and reverse video
    bool colour = false;     // green PASS, red FAIL; only with attributes
    bool utf8 = false;       // "…", box lines and full blocks, else "...", "+-|" and "#"
};

// The live view, one string a line, at most width cells each and at most
// height - 1 lines (height 0: no bound): tiles when several slots fit the
// terminal as tiles, else the table.
QStringList drawView(const QList<production::SlotPicture> &pictures,
                     const production::SlotTotals &totals, int width, int height,
                     const ViewStyle &style);

// The table: the run's counters, a header, a row per slot and, with one slot,
// its unit's PASS or FAIL in large letters. The rows that do not fit are
// counted on the last line.
QStringList drawTable(const QList<production::SlotPicture> &pictures,
                      const production::SlotTotals &totals, int width, int height,
                      const ViewStyle &style);

// One line for a log: "slot 2 /dev/ttyUSB1: PASS 00020003 in 1.9 s".
QString plainLine(const production::SlotEvent &event);

// The end of a run: each slot's units (devices in slot order, as far as known),
// the total with the yield, how the run ended and the next free address.
QString summaryText(const production::RunSummary &summary, const QStringList &devices);

} // namespace korva::cli
