#include "cli/viewparts.h"

#include <QHash>

namespace korva::cli
{

using production::SlotEvent;
using production::SlotState;

namespace
{

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
constexpr int kGlyphColumns = 5;

} // namespace

Look stateLook(SlotState state)
{
    switch (state) {
    case SlotState::Passed:
        return kPassBlock;
    case SlotState::Failed:
    case SlotState::FailedNotRecorded:
        return kFailBlock;
    case SlotState::SentNotVerified:
    case SlotState::PassedNotRecorded:
        return kNoticeBlock;
    case SlotState::AlreadyProvisioned:
    case SlotState::AdapterMissing:
        return kNotice;
    default:
        return kPlain;
    }
}

std::optional<Look> bannerLook(SlotState state)
{
    if (state == SlotState::Passed)
        return kPassText;
    if (state == SlotState::Failed)
        return kFailText;
    return std::nullopt;
}

QString ellipsis(const ViewStyle &style)
{
    return style.utf8 ? QStringLiteral("…") : QStringLiteral("...");
}

QString addressText(std::optional<quint32> address)
{
    return address ? QStringLiteral("%1").arg(*address, 8, 16, QLatin1Char('0')).toUpper()
                   : QString();
}

QString shortenedFromLeft(const QString &text, int cells, const ViewStyle &style)
{
    if (text.size() <= cells)
        return text;
    const QString mark = ellipsis(style);
    return mark + text.right(std::max(0, cells - int(mark.size())));
}

QString detailText(const SlotEvent &event)
{
    QStringList parts;
    if (event.state == SlotState::Passed && event.unitMs >= 0)
        parts << QStringLiteral("in %1 s").arg(QString::number(event.unitMs / 1000.0, 'f', 1));
    if (!event.detail.isEmpty())
        parts << event.detail;
    return parts.join(u' ');
}

Line &Line::add(const QString &text, Look look)
{
    const char *sgr = m_style.colour ? look.colour : look.plain;
    m_runs.append({text, m_style.attributes && sgr ? QByteArray(sgr) : QByteArray()});
    return *this;
}

Line &Line::cell(const QString &text, int cells, Look look)
{
    return add(text.leftJustified(cells, u' ', true), look).add(QString(kGapCells, u' '));
}

QString Line::renderRuns(const QList<Run> &runs, int width, int &used) const
{
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
        else if (!text.isEmpty())
            line += QStringLiteral("\x1b[%1m%2\x1b[0m").arg(QString::fromLatin1(run.sgr), text);
        if (cut)
            break;
    }
    used = width - left;
    return line;
}

QString Line::render(int width) const
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
    int used = 0;
    return renderRuns(runs, width, used);
}

QString Line::renderPadded(int width) const
{
    int used = 0;
    const QString line = renderRuns(m_runs, width, used);
    return line + QString(width - used, u' ');
}

QStringList banner(const QString &word, Look look, int indent, int width, const ViewStyle &style,
                   bool padded)
{
    const int letters = int(word.size());
    int scale = 2;
    while (scale > 0 && indent + letters * (kGlyphColumns + 1) * scale - scale > width)
        --scale;
    if (scale == 0)
        return {};
    const QString pixel = QString(scale, style.utf8 ? u'█' : u'#');
    QStringList lines;
    for (int row = 0; row < kGlyphRows; ++row) {
        QString text;
        for (const QChar letter : word) {
            for (const QChar dot : glyphs().value(letter).value(row))
                text += dot == u'#' ? pixel : QString(scale, u' ');
            text += QString(scale, u' ');
        }
        while (text.endsWith(u' '))
            text.chop(1);
        const Line line = Line(style).add(QString(indent, u' ')).add(text, look);
        lines << (padded ? line.renderPadded(width) : line.render(width));
    }
    return lines;
}

} // namespace korva::cli
