#pragma once

#include "production/slotboard.h"

#include <QColor>
#include <QWidget>

namespace korva::station
{

// One slot as a tile readable across the room: its name, its state as a word
// on a colour (PASS and FAIL in letters at least a quarter of the tile's
// height), the unit's address, a FAIL's reason in one line and what to do
// next. Its accessible name says the same, so a screen reader announces each
// change.
class SlotTile : public QWidget
{
    Q_OBJECT
public:
    explicit SlotTile(QWidget *parent = nullptr);

    void setPicture(const production::SlotPicture &picture);
    const production::SlotPicture &picture() const { return m_picture; }
    // Before the first run a tile is ready rather than waiting.
    void setReady(const QString &device, int slot);

    // The state's word as shown, and the height of its capital letters and
    // its width at the tile's size, in pixels.
    QString word() const;
    QString nextStep() const;
    qreal letterHeight() const;
    qreal wordWidth() const;
    // The height of PASS and FAIL's capital letters in a tile of this size:
    // as tall as the tile allows while both fit its width.
    static qreal verdictLetters(const QFont &font, const QSizeF &tile);
    // The tile's fill for its state; PASS, FAIL and the states to set a unit
    // aside keep their colours whatever the palette.
    QColor fill() const;

    QSize minimumSizeHint() const override;
    // What a screen reader says of the tile: "Slot 2: FAIL, 00030001; remove
    // the unit and set it aside".
    QString spokenText() const;

signals:
    // The tile's state changed and was announced to accessibility.
    void announced(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QFont wordFont() const;
    QColor ink() const;
    void announce();

    production::SlotPicture m_picture;
    bool m_ready = false;
    QString m_spoken;
};

// The tiles of a station, one per slot, filling their area in the number of
// columns that gives PASS and FAIL the largest letters, at least a quarter of
// a tile's height where any number of columns allows it.
class TileGrid : public QWidget
{
    Q_OBJECT
public:
    explicit TileGrid(QWidget *parent = nullptr);

    void setCount(int count);
    int count() const { return int(m_tiles.size()); }
    SlotTile *tile(int index) const { return m_tiles.at(index); }
    int columns() const { return m_columns; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void arrange();

    QList<SlotTile *> m_tiles;
    int m_columns = 0;
};

// Makes the tiles known to accessibility as text a screen reader reads.
void installTileAccessibility();

} // namespace korva::station
