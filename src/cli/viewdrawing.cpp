#include "cli/viewdrawing.h"

#include <QHash>

#include <algorithm>
#include <climits>

namespace korva::cli
{

using production::RunSummary;
using production::SlotEvent;
using production::SlotState;
using production::SlotTotals;

namespace
{

constexpr int kSlotCells = 4;
constexpr int kStateCells = 19; // "already provisioned"
constexpr int kAddressCells = 8;
constexpr int kGapCells = 2;
constexpr int kFixedCells = kSlotCells + kStateCells + kAddressCells + 4 * kGapCells;
constexpr int kMinDeviceCells = 8;

// The attributes of a cell with and without colour (SGR parameters).
struct Look {
    const char *colour;
    const char *plain;
};
constexpr Look kPlain{nullptr, nullptr};
constexpr Look kPassBlock{"1;7;32", "1;7"};
constexpr Look kFailBlock{"1;7;31", "1;7"};
constexpr Look kPassText{"1;32", "1"};
constexpr Look kFailText{"1;31", "1"};
constexpr Look kNotice{"1;33", "1"};
constexpr Look kBold{"1", "1"};

// Five rows of five pixels for each letter of PASS and FAIL.
const QHash<QChar, QStringList> &glyphs()
{
    static const QHash<QChar, QStringList> table{
        {u'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
        {u'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
        {u'S', {" ####", "#    ", " ### ", "    #", "#### "}},
        {u'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
        {u'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
        {u'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
    };
    return table;
}
constexpr int kGlyphRows = 5;
constexpr int kGlyphColumns = 5;

QString ellipsis(const ViewStyle &style)
{
    return style.utf8 ? QStringLiteral("…") : QStringLiteral("...");
}

QString addressText(std::optional<quint32> address)
{
    return address ? QStringLiteral("%1").arg(*address, 8, 16, QLatin1Char('0')).toUpper()
                   : QString();
}

QString stateWord(SlotState state)
{
    switch (state) {
    case SlotState::Waiting:
        return QStringLiteral("waiting");
    case SlotState::Programming:
        return QStringLiteral("programming");
    case SlotState::Verifying:
        return QStringLiteral("verifying");
    case SlotState::Passed:
        return QStringLiteral("PASS");
    case SlotState::Failed:
        return QStringLiteral("FAIL");
    case SlotState::AlreadyProvisioned:
        return QStringLiteral("already provisioned");
    case SlotState::RemoveUnit:
        return QStringLiteral("remove the unit");
    case SlotState::AdapterMissing:
        return QStringLiteral("adapter missing");
    case SlotState::Finished:
        return QStringLiteral("finished");
    case SlotState::SentNotVerified:
        return QStringLiteral("sent, not verified");
    case SlotState::PassedNotRecorded:
        return QStringLiteral("PASS, NOT RECORDED");
    case SlotState::FailedNotRecorded:
        return QStringLiteral("FAIL, NOT RECORDED");
    }
    return {};
}

Look stateLook(SlotState state)
{
    switch (state) {
    case SlotState::Passed:
        return kPassBlock;
    case SlotState::Failed:
        return kFailBlock;
    case SlotState::AlreadyProvisioned:
    case SlotState::AdapterMissing:
        return kNotice;
    default:
        return kPlain;
    }
}

bool isResult(SlotState state)
{
    return state == SlotState::Passed || state == SlotState::Failed ||
           state == SlotState::AlreadyProvisioned;
}

QString yieldText(const SlotTotals &totals)
{
    const int judged = totals.passed + totals.failed;
    if (judged == 0)
        return QStringLiteral("-");
    return QString::number(100.0 * totals.passed / judged, 'f', 1) + QStringLiteral(" %");
}

QString countsText(const SlotTotals &totals)
{
    return QStringLiteral("passed %1, failed %2, already provisioned %3")
        .arg(totals.passed)
        .arg(totals.failed)
        .arg(totals.alreadyProvisioned);
}

// What an event adds after its state and address.
QString detailText(const SlotEvent &event)
{
    QStringList parts;
    if (event.state == SlotState::Passed && event.unitMs >= 0)
        parts << QStringLiteral("in %1 s").arg(QString::number(event.unitMs / 1000.0, 'f', 1));
    if (!event.detail.isEmpty())
        parts << event.detail;
    return parts.join(u' ');
}

// A line of text runs, some with attributes, cut to a width when rendered.
class Line
{
public:
    explicit Line(const ViewStyle &style) : m_style(style) {}

    Line &add(const QString &text, Look look = kPlain)
    {
        const char *sgr = m_style.colour ? look.colour : look.plain;
        m_runs.append({text, m_style.attributes && sgr ? QByteArray(sgr) : QByteArray()});
        return *this;
    }
    Line &cell(const QString &text, int cells, Look look = kPlain)
    {
        return add(text.leftJustified(cells, u' ', true), look).add(QString(kGapCells, u' '));
    }

    // Trailing blanks are left out; a cut shows where it fell.
    QString render(int width) const
    {
        QList<Run> runs = m_runs;
        while (!runs.isEmpty() && runs.last().sgr.isEmpty()) {
            QString &text = runs.last().text;
            while (text.endsWith(u' '))
                text.chop(1);
            if (!text.isEmpty())
                break;
            runs.removeLast();
        }
        QString line;
        int left = width;
        for (const Run &run : runs) {
            QString text = run.text;
            const bool cut = text.size() > left;
            if (cut) {
                const QString mark = ellipsis(m_style).left(left);
                text = text.left(left - mark.size()) + mark;
            }
            left -= int(text.size());
            if (run.sgr.isEmpty())
                line += text;
            else
                line += QStringLiteral("\x1b[%1m%2\x1b[0m").arg(QString::fromLatin1(run.sgr), text);
            if (cut)
                break;
        }
        return line;
    }

private:
    struct Run {
        QString text;
        QByteArray sgr;
    };
    const ViewStyle &m_style;
    QList<Run> m_runs;
};

// The state, address and detail a row shows: while a unit waits to be taken
// off, its result stays on show, what went wrong first.
SlotEvent shownEvent(const SlotRow &row)
{
    if (row.now.state != SlotState::RemoveUnit || !row.lastResult)
        return row.now;
    SlotEvent shown = *row.lastResult;
    const QString detail = detailText(shown);
    shown.detail = (detail.isEmpty() ? QString() : detail + QStringLiteral("; ")) +
                   stateWord(SlotState::RemoveUnit);
    shown.unitMs = -1;
    if (row.now.address)
        shown.address = row.now.address;
    return shown;
}

QString shortenedFromLeft(const QString &text, int cells, const ViewStyle &style)
{
    if (text.size() <= cells)
        return text;
    const QString mark = ellipsis(style);
    return mark + text.right(std::max(0, cells - int(mark.size())));
}

// The word in letters five lines tall, each pixel two cells wide where it fits.
QStringList banner(const QString &word, Look look, int width, const ViewStyle &style)
{
    const int indent = kSlotCells + kGapCells;
    const int letters = int(word.size());
    int scale = 2;
    while (scale > 0 && indent + letters * (kGlyphColumns + 1) * scale - scale > width)
        --scale;
    if (scale == 0)
        return {};
    const QString pixel = QString(scale, style.utf8 ? u'█' : u'#');
    QStringList lines{QString()};
    for (int row = 0; row < kGlyphRows; ++row) {
        QString text;
        for (const QChar letter : word) {
            for (const QChar dot : glyphs().value(letter).value(row))
                text += dot == u'#' ? pixel : QString(scale, u' ');
            text += QString(scale, u' ');
        }
        while (text.endsWith(u' '))
            text.chop(1);
        lines << Line(style).add(QString(indent, u' ')).add(text, look).render(width);
    }
    return lines;
}

// A slot's row; a failure that does not fit beside it goes on a line of its
// own under it, as the values it names are what the operator needs.
QStringList rowLines(const SlotRow &row, int deviceCells, int width, const ViewStyle &style)
{
    const SlotEvent shown = shownEvent(row);
    QString state = stateWord(shown.state);
    if (shown.state == SlotState::Passed || shown.state == SlotState::Failed) {
        const int before = (kStateCells - int(state.size())) / 2;
        state = QString(before, u' ') + state.leftJustified(kStateCells - before);
    }
    Line line(style);
    line.cell(QString::number(shown.slot).rightJustified(kSlotCells), kSlotCells)
        .cell(shortenedFromLeft(shown.device, deviceCells, style), deviceCells)
        .cell(state, kStateCells, stateLook(shown.state))
        .cell(addressText(shown.address), kAddressCells);
    const QString detail = detailText(shown);
    const int detailCells = width - kFixedCells - deviceCells;
    if (shown.state != SlotState::Failed || detail.size() <= detailCells)
        return {line.add(detail).render(width)};
    return {line.render(width),
            Line(style).add(QString(kSlotCells + kGapCells, u' ') + detail).render(width)};
}
} // namespace

bool colourWanted(bool isTerminal, bool noColorOption)
{
    return isTerminal && !noColorOption && qEnvironmentVariableIsEmpty("NO_COLOR");
}

QStringList drawTable(const QList<SlotRow> &rows, const SlotTotals &totals, int width, int height,
                      const ViewStyle &style)
{
    int deviceCells = kMinDeviceCells;
    for (const SlotRow &row : rows)
        deviceCells = std::max(deviceCells, int(row.now.device.size()));
    deviceCells = std::min(deviceCells, std::max(kMinDeviceCells, (width - kFixedCells) / 2));

    QStringList lines;
    lines << Line(style)
                 .add(QStringLiteral("passed "))
                 .add(QString::number(totals.passed), kPassText)
                 .add(QStringLiteral("   failed "))
                 .add(QString::number(totals.failed), totals.failed ? kFailText : kPlain)
                 .add(QStringLiteral("   already provisioned %1   yield ")
                          .arg(totals.alreadyProvisioned))
                 .add(yieldText(totals), kBold)
                 .render(width);
    lines << Line(style)
                 .cell(QStringLiteral("slot").rightJustified(kSlotCells), kSlotCells)
                 .cell(QStringLiteral("device"), deviceCells)
                 .cell(QStringLiteral("state"), kStateCells)
                 .cell(QStringLiteral("address"), kAddressCells)
                 .add(QStringLiteral("detail"))
                 .render(width);

    const int limit = height > 0 ? std::max(1, height - 1) : INT_MAX;
    qsizetype shownRows = 0;
    for (; shownRows < rows.size(); ++shownRows) {
        const QStringList row = rowLines(rows[shownRows], deviceCells, width, style);
        const qsizetype countLine = shownRows + 1 < rows.size() ? 1 : 0;
        if (lines.size() + row.size() + countLine > limit)
            break;
        lines << row;
    }
    if (shownRows < rows.size()) {
        lines << Line(style)
                     .add(QStringLiteral("%1 more slots: the terminal is too small to show them")
                              .arg(rows.size() - shownRows))
                     .render(width);
    }

    if (rows.size() == 1) {
        const SlotState result = shownEvent(rows.first()).state;
        if (result == SlotState::Passed || result == SlotState::Failed) {
            const bool passed = result == SlotState::Passed;
            const QStringList big =
                banner(stateWord(result), passed ? kPassText : kFailText, width, style);
            if (lines.size() + big.size() <= limit)
                lines << big;
        }
    }
    return lines.mid(0, limit);
}

QString plainLine(const SlotEvent &event)
{
    QString text =
        QStringLiteral("slot %1 %2: %3").arg(event.slot).arg(event.device, stateWord(event.state));
    const QString address = addressText(event.address);
    const QString detail = detailText(event);
    if (!address.isEmpty())
        text += event.state == SlotState::AlreadyProvisioned ? QStringLiteral(" as ") + address
                                                             : u' ' + address;
    if (!detail.isEmpty())
        text += (isResult(event.state) ? QStringLiteral(" ") : QStringLiteral(": ")) + detail;
    return text;
}

QString summaryText(const RunSummary &summary, const QStringList &devices)
{
    QString text;
    SlotTotals total;
    for (qsizetype index = 0; index < summary.slotTotals.size(); ++index) {
        const SlotTotals &slot = summary.slotTotals[index];
        const QString device = devices.value(index);
        text += QStringLiteral("slot %1%2: %3\n")
                    .arg(index + 1)
                    .arg(device.isEmpty() ? QString() : u' ' + device, countsText(slot));
        total.passed += slot.passed;
        total.failed += slot.failed;
        total.alreadyProvisioned += slot.alreadyProvisioned;
    }
    text += QStringLiteral("total: %1, yield %2\n").arg(countsText(total), yieldText(total));
    if (!summary.howEnded.isEmpty())
        text += QStringLiteral("run ended: %1\n").arg(summary.howEnded);
    if (summary.nextFree)
        text += QStringLiteral("next free address: %1\n").arg(addressText(summary.nextFree));
    return text;
}

} // namespace korva::cli
