#pragma once

#include "cli/viewdrawing.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The pieces the operator's view is drawn with: text runs with attributes cut
// to a width, the looks of states, and words in large letters.
namespace korva::cli
{

// The attributes of a cell with and without colour (SGR parameters).
struct Look {
    const char *colour;
    const char *plain;
};
inline constexpr Look kPlain{nullptr, nullptr};
inline constexpr Look kPassBlock{"1;7;32", "1;7"};
inline constexpr Look kFailBlock{"1;7;31", "1;7"};
inline constexpr Look kNoticeBlock{"1;7;33", "1;7"};
inline constexpr Look kPassText{"1;32", "1"};
inline constexpr Look kFailText{"1;31", "1"};
inline constexpr Look kNotice{"1;33", "1"};
inline constexpr Look kBold{"1", "1"};

// How a state's word is drawn in the table: PASS and FAIL as wide blocks, what
// needs the operator's eye in yellow.
Look stateLook(production::SlotState state);
// The large letters' look of a verdict that has them (PASS or FAIL).
std::optional<Look> bannerLook(production::SlotState state);

QString ellipsis(const ViewStyle &style);
QString addressText(std::optional<quint32> address);
QString shortenedFromLeft(const QString &text, int cells, const ViewStyle &style);
// "in 1.9 s" for a pass, and the event's detail.
QString detailText(const production::SlotEvent &event);

// A line of text runs, some with attributes, cut to a width when rendered.
class Line
{
public:
    explicit Line(const ViewStyle &style) : m_style(style) {}

    Line &add(const QString &text, Look look = kPlain);
    // The text in a cell of its own, then the gap to the next.
    Line &cell(const QString &text, int cells, Look look = kPlain);

    // Trailing blanks are left out; a cut shows where it fell.
    QString render(int width) const;
    // Exactly `width` cells: cut as render() cuts, or filled with blanks.
    QString renderPadded(int width) const;

private:
    struct Run {
        QString text;
        QByteArray sgr;
    };
    QString renderRuns(const QList<Run> &runs, int width, int &used) const;

    const ViewStyle &m_style;
    QList<Run> m_runs;
};

inline constexpr int kGapCells = 2;
inline constexpr int kGlyphRows = 5;

// The word in letters five lines tall after `indent` blanks, each pixel two
// cells wide where that fits in `width`, else one; empty where neither fits.
// Padded: each line exactly `width` cells, else without trailing blanks.
QStringList banner(const QString &word, Look look, int indent, int width, const ViewStyle &style,
                   bool padded = false);

// Several slots as tiles side by side and one above the other, each with its
// state, address, reason and next step, in large letters where they fit; the
// counters' line first. Empty when the tiles do not fit the terminal.
QStringList drawTiles(const QList<production::SlotPicture> &pictures, const QString &counters,
                      int width, int height, const ViewStyle &style);

} // namespace korva::cli
