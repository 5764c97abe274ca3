#include "station/slottile.h"

#include "production/ledgerlocation.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QGridLayout>
#include <QPainter>
#include <QStyleOptionFocusRect>

#include <cmath>

namespace korva::station
{

using production::SlotState;

namespace
{

// Fixed colours of the verdicts, so they mean the same on a dark desktop.
const QColor kPassFill(0x1b, 0x7a, 0x33);
const QColor kFailFill(0xc0, 0x20, 0x20);
const QColor kAsideFill(0xf2, 0xb0, 0x00); // set aside: outcome not on the record
const QColor kKnownFill(0x1e, 0x5a, 0xa8); // already provisioned
const QColor kNotice(0xe0, 0x8a, 0x00);
// Capital letters as a share of the tile's height: PASS and FAIL take 0.3 where
// the tile is wide enough; the tiles are arranged so that it is, for at least
// a quarter.
constexpr qreal kVerdictLetters = 0.3;
constexpr qreal kLeastVerdictLetters = 0.25;
constexpr qreal kOtherLetters = 0.14;
constexpr qreal kMargin = 0.05;

bool isPassOrFail(SlotState state)
{
    return state == SlotState::Passed || state == SlotState::Failed;
}

// Draws a line of text in a band of the tile: smaller, down to 60 % of its
// size, where it is too wide, and elided only beyond that.
void drawLine(QPainter &painter, const QRectF &band, const QString &text, qreal pixels, bool bold)
{
    QFont font = painter.font();
    font.setBold(bold);
    font.setPixelSize(std::max(9, int(std::lround(pixels))));
    const qreal wide = QFontMetricsF(font).horizontalAdvance(text);
    if (wide > band.width())
        font.setPixelSize(std::max(9, int(pixels * std::max(0.6, band.width() / wide))));
    painter.setFont(font);
    const QString shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, band.width());
    painter.drawText(band, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

// A tile is text to a screen reader: its name says the slot's state, its
// description the reason.
class TileAccessible : public QAccessibleWidget
{
public:
    explicit TileAccessible(SlotTile *tile) : QAccessibleWidget(tile, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override
    {
        const auto *tile = static_cast<const SlotTile *>(widget());
        if (kind == QAccessible::Name)
            return tile->spokenText();
        if (kind == QAccessible::Description)
            return tile->picture().shown().detail;
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface *tileAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("korva::station::SlotTile"))
        return new TileAccessible(static_cast<SlotTile *>(object));
    return nullptr;
}

} // namespace

void installTileAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(tileAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

SlotTile::SlotTile(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SlotTile::setReady(const QString &device, int slot)
{
    production::SlotPicture ready;
    ready.now.slot = slot;
    ready.now.device = device;
    setPicture(ready);
    m_ready = true;
    announce();
}

void SlotTile::setPicture(const production::SlotPicture &picture)
{
    m_ready = false;
    m_picture = picture;
    announce();
    update();
}

// A screen reader says a tile's new state when its name changes.
void SlotTile::announce()
{
    const QString spoken = spokenText();
    if (spoken == m_spoken)
        return;
    m_spoken = spoken;
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
    emit announced(spoken);
}

QString SlotTile::word() const
{
    return m_ready ? tr("ready") : production::stateWord(m_picture.shown().state);
}

QString SlotTile::nextStep() const
{
    return m_ready ? tr("press Start (F5)") : m_picture.nextStep();
}

QColor SlotTile::fill() const
{
    switch (m_picture.shown().state) {
    case SlotState::Passed:
        return kPassFill;
    case SlotState::Failed:
    case SlotState::FailedNotRecorded:
        return kFailFill;
    case SlotState::SentNotVerified:
    case SlotState::PassedNotRecorded:
        return kAsideFill;
    case SlotState::AlreadyProvisioned:
        return kKnownFill;
    default:
        return palette().color(QPalette::Base);
    }
}

QColor SlotTile::ink() const
{
    switch (m_picture.shown().state) {
    case SlotState::Passed:
    case SlotState::Failed:
    case SlotState::FailedNotRecorded:
    case SlotState::AlreadyProvisioned:
        return Qt::white;
    case SlotState::SentNotVerified:
    case SlotState::PassedNotRecorded:
        return Qt::black;
    default:
        return palette().color(QPalette::Text);
    }
}

QFont SlotTile::wordFont() const
{
    QFont font = this->font();
    font.setBold(true);
    font.setPixelSize(100);
    const qreal capRatio = QFontMetricsF(font).capHeight() / 100.0;
    const bool verdict = isPassOrFail(m_picture.shown().state);
    const qreal letters = height() * (verdict ? kVerdictLetters : kOtherLetters);
    font.setPixelSize(std::max(10, int(std::ceil(letters / capRatio))));
    // Words shrink to the tile's width: a word cut at the tile's edges is not
    // read at all.
    const qreal room = width() * (1 - 2 * kMargin);
    const qreal wide = QFontMetricsF(font).horizontalAdvance(word());
    if (wide > room)
        font.setPixelSize(std::max(10, int(font.pixelSize() * room / wide)));
    return font;
}

qreal SlotTile::letterHeight() const
{
    return QFontMetricsF(wordFont()).capHeight();
}

qreal SlotTile::wordWidth() const
{
    return QFontMetricsF(wordFont()).horizontalAdvance(word());
}

qreal SlotTile::verdictLetters(const QFont &base, const QSizeF &tile)
{
    QFont font = base;
    font.setBold(true);
    font.setPixelSize(100);
    const QFontMetricsF metrics(font);
    const qreal widest =
        std::max(metrics.horizontalAdvance(production::stateWord(SlotState::Passed)),
                 metrics.horizontalAdvance(production::stateWord(SlotState::Failed)));
    const qreal byWidth = tile.width() * (1 - 2 * kMargin) / widest * metrics.capHeight();
    return std::min(tile.height() * kVerdictLetters, byWidth);
}

QSize SlotTile::minimumSizeHint() const
{
    return {140, 100};
}

void SlotTile::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        update();
    QWidget::changeEvent(event);
}

QString SlotTile::spokenText() const
{
    const production::SlotEvent &shown = m_picture.shown();
    QString text = QStringLiteral("Slot %1: %2").arg(shown.slot).arg(word());
    if (shown.address)
        text += QStringLiteral(", %1").arg(production::addressText(*shown.address));
    const QString next = nextStep();
    if (!next.isEmpty() && next != word())
        text += QStringLiteral("; ") + next;
    return text;
}

void SlotTile::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    painter.fillRect(area, palette().color(QPalette::Window));
    const qreal edge = std::max<qreal>(3, height() * 0.015);
    const QRectF tile = area.adjusted(edge, edge, -edge, -edge);
    painter.setBrush(fill());
    const bool underWay = m_picture.now.state == SlotState::Programming ||
                          m_picture.now.state == SlotState::Verifying;
    const bool missing = m_picture.now.state == SlotState::AdapterMissing;
    QPen border(missing    ? kNotice
                : underWay ? palette().color(QPalette::Highlight)
                           : palette().color(QPalette::Mid),
                missing || underWay ? edge * 2 : 1);
    painter.setPen(border);
    painter.drawRoundedRect(tile, edge * 2, edge * 2);

    const production::SlotEvent &shown = m_picture.shown();
    const qreal margin = width() * kMargin;
    const QRectF inner = tile.adjusted(margin, height() * 0.03, -margin, -height() * 0.03);
    const qreal h = inner.height();
    painter.setPen(ink());
    // The slot's number, then as much of its device as fits, from the end:
    // a by-path name differs in its last part.
    const QRectF title(inner.left(), inner.top(), inner.width(), h * 0.12);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::max(10, int(h * 0.08)));
    painter.setFont(font);
    const QString slot = tr("Slot %1").arg(shown.slot);
    painter.drawText(title, Qt::AlignLeft | Qt::AlignVCenter, slot);
    const qreal slotWidth = QFontMetricsF(font).horizontalAdvance(slot + QStringLiteral("   "));
    font.setBold(false);
    font.setPixelSize(std::max(9, int(h * 0.065)));
    painter.setFont(font);
    const QRectF device = title.adjusted(slotWidth, 0, 0, 0);
    painter.drawText(device, Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetricsF(font).elidedText(shown.device, Qt::ElideLeft, device.width()));
    painter.setFont(wordFont());
    const QRectF wordBand(inner.left(), inner.top() + h * 0.12, inner.width(), h * 0.46);
    painter.drawText(wordBand, Qt::AlignCenter, word());

    qreal top = wordBand.bottom();
    const auto line = [&](const QString &text, qreal share, qreal pixels, bool bold) {
        if (!text.isEmpty())
            drawLine(painter, QRectF(inner.left(), top, inner.width(), h * share), text, pixels,
                     bold);
        top += h * share;
    };
    QString address = shown.address ? production::addressText(*shown.address) : QString();
    if (shown.state == SlotState::Passed && shown.unitMs >= 0)
        address += QStringLiteral("   in %1 s").arg(QString::number(shown.unitMs / 1000.0, 'f', 1));
    line(address, 0.12, h * 0.085, false);
    line(shown.detail, 0.12, h * 0.07, false);
    line(nextStep(), 0.16, h * 0.085, true);

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = tile.adjusted(edge, edge, -edge, -edge).toRect();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

} // namespace korva::station

namespace korva::station
{

TileGrid::TileGrid(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("tiles"));
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(0);
}

void TileGrid::setCount(int count)
{
    while (m_tiles.size() > count)
        delete m_tiles.takeLast();
    while (m_tiles.size() < count) {
        auto *tile = new SlotTile(this);
        tile->setObjectName(QStringLiteral("slotTile%1").arg(m_tiles.size() + 1));
        m_tiles << tile;
    }
    m_columns = 0;
    arrange();
}

void TileGrid::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    arrange();
}

// The columns that give PASS and FAIL the largest letters; a tile so narrow
// that they would be less than a quarter of its height is taken only when
// every number of columns gives such tiles.
void TileGrid::arrange()
{
    const int count = int(m_tiles.size());
    if (count == 0)
        return;
    // Before the grid has a size of its own, it is laid out for a window's.
    const QSize area = width() > 0 && height() > 0 ? size() : QSize(1000, 500);
    int best = 1;
    qreal bestLetters = -1;
    bool bestTallEnough = false;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const QSizeF tile(area.width() / qreal(columns), area.height() / qreal(rows));
        const qreal letters = SlotTile::verdictLetters(font(), tile);
        const bool tallEnough = letters >= tile.height() * kLeastVerdictLetters;
        if (tallEnough > bestTallEnough ||
            (tallEnough == bestTallEnough && letters > bestLetters)) {
            bestLetters = letters;
            bestTallEnough = tallEnough;
            best = columns;
        }
    }
    if (best == m_columns)
        return;
    m_columns = best;
    auto *grid = static_cast<QGridLayout *>(layout());
    for (SlotTile *tile : std::as_const(m_tiles))
        grid->removeWidget(tile);
    const int rows = (count + best - 1) / best;
    for (int index = 0; index < count; ++index) {
        grid->addWidget(m_tiles.at(index), index / best, index % best);
        grid->setColumnStretch(index, index < best ? 1 : 0);
        grid->setRowStretch(index, index < rows ? 1 : 0);
    }
}

} // namespace korva::station
