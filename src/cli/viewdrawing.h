#pragma once

#include "production/slotevent.h"

#include <QStringList>

#include <optional>

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

} // namespace korva::cli
