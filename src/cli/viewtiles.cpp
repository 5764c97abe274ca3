#include "cli/viewparts.h"

#include <algorithm>

namespace korva::cli
{

using production::SlotEvent;
using production::SlotPicture;
using production::SlotState;

namespace
{

// A tile holds its title, its state, its address with the reason and its next
// step inside a frame; large letters need five lines more.
constexpr int kMinTileWidth = 24;
constexpr int kInnerLines = 4;
constexpr int kFrameLines = 2;
constexpr int kMinTileHeight = kInnerLines + kFrameLines;

struct Frame {
    QString topLeft, topRight, bottomLeft, bottomRight, across, down;
};

Frame frameOf(const ViewStyle &style)
{
    if (style.utf8)
        return {"┌", "┐", "└", "┘", "─", "│"};
    return {"+", "+", "+", "+", "-", "|"};
}

// Cuts a text into lines of at most `cells`, at blanks where it can.
QStringList wrapped(const QString &text, int cells)
{
    QStringList lines;
    QString rest = text.trimmed();
    while (!rest.isEmpty()) {
        if (rest.size() <= cells) {
            lines << rest;
            break;
        }
        qsizetype cut = rest.lastIndexOf(u' ', cells);
        if (cut <= 0)
            cut = cells;
        lines << rest.left(cut);
        rest = rest.mid(cut).trimmed();
    }
    return lines;
}

// One slot's tile, `width` by `height` cells, each line exactly `width` wide.
QStringList tile(const SlotPicture &picture, int width, int height, const ViewStyle &style)
{
    const Frame frame = frameOf(style);
    const int inner = width - 2;
    const SlotEvent &shown = picture.shown();
    const QString word = production::stateWord(shown.state);

    QList<QString> body; // rendered, exactly `inner` cells each
    const QString name = QStringLiteral("slot %1 ").arg(shown.slot);
    body << Line(style)
                .add(name + shortenedFromLeft(shown.device, inner - int(name.size()), style), kBold)
                .renderPadded(inner);
    const auto look = bannerLook(shown.state);
    const QStringList big = look && height - kFrameLines >= kInnerLines - 1 + kGlyphRows
                                ? banner(word, *look, 1, inner, style, true)
                                : QStringList();
    if (big.isEmpty()) {
        const int before = std::max(0, (inner - int(word.size())) / 2);
        const Look block = stateLook(shown.state);
        body << Line(style)
                    .add(QString(before, u' ') + word.leftJustified(inner - before), block)
                    .renderPadded(inner);
    } else {
        body << big;
    }
    const int detailLines = height - kFrameLines - int(body.size()) - 1;
    QStringList detail = wrapped(
        (addressText(shown.address) + QStringLiteral("  ") + detailText(shown)).trimmed(), inner);
    if (detail.size() > detailLines) {
        detail = detail.mid(0, detailLines);
        detail.last() = detail.last().left(inner - ellipsis(style).size()) + ellipsis(style);
    }
    for (int i = 0; i < detailLines; ++i)
        body << Line(style).add(detail.value(i)).renderPadded(inner);
    const bool attention = picture.verdict && production::setAside(picture.verdict->state);
    body << Line(style).add(picture.nextStep(), attention ? kNotice : kBold).renderPadded(inner);

    QStringList lines{frame.topLeft + frame.across.repeated(inner) + frame.topRight};
    for (const QString &line : std::as_const(body))
        lines << frame.down + line + frame.down;
    lines << frame.bottomLeft + frame.across.repeated(inner) + frame.bottomRight;
    return lines;
}

} // namespace

QStringList drawTiles(const QList<SlotPicture> &pictures, const QString &counters, int width,
                      int height, const ViewStyle &style)
{
    const int count = int(pictures.size());
    const int area = height - 2; // the counters above, and the line the cursor rests on
    int columns = 0;
    // The fewest columns whose tiles fit, preferring tiles tall enough for
    // large letters.
    for (const int wanted : {kMinTileHeight + kGlyphRows - 1, kMinTileHeight}) {
        for (int tried = 1; tried <= count && columns == 0; ++tried) {
            const int rows = (count + tried - 1) / tried;
            if (width / tried >= kMinTileWidth && area / rows >= wanted)
                columns = tried;
        }
        if (columns > 0)
            break;
    }
    if (columns == 0)
        return {};
    const int rows = (count + columns - 1) / columns;
    const int tileWidth = width / columns;
    const int tileHeight = std::min(area / rows, kMinTileHeight + kGlyphRows + 1);

    QStringList lines{counters};
    for (int row = 0; row < rows; ++row) {
        QList<QStringList> tiles;
        for (int column = 0; column < columns && row * columns + column < count; ++column)
            tiles << tile(pictures.at(row * columns + column), tileWidth, tileHeight, style);
        for (int line = 0; line < tileHeight; ++line) {
            QString text;
            for (const QStringList &each : std::as_const(tiles))
                text += each.at(line);
            while (text.endsWith(u' '))
                text.chop(1);
            lines << text;
        }
    }
    return lines;
}

} // namespace korva::cli
