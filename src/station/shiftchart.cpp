#include "station/shiftchart.h"

#include <QDateTimeAxis>
#include <QLineSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace korva::station
{

ShiftChart::ShiftChart(QWidget *parent)
    : QChartView(parent), m_rate(new QLineSeries), m_yield(new QLineSeries),
      m_time(new QDateTimeAxis), m_rateAxis(new QValueAxis), m_yieldAxis(new QValueAxis)
{
    setAccessibleName(tr("Units per hour and yield over the shift"));
    setFocusPolicy(Qt::NoFocus);
    setRenderHint(QPainter::Antialiasing);
    // The chart the view made for itself: one set in its place would leave
    // this one to nobody.
    QChart *chart = this->chart();
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignBottom);
    // A shift's first minute is a single point: markers show it.
    m_rate->setPointsVisible(true);
    m_yield->setPointsVisible(true);
    m_rate->setName(tr("units per hour"));
    m_yield->setName(tr("yield %"));
    chart->addSeries(m_rate);
    chart->addSeries(m_yield);
    m_time->setFormat(QStringLiteral("HH:mm"));
    m_time->setTickCount(5);
    m_rateAxis->setLabelFormat(QStringLiteral("%d"));
    m_rateAxis->setRange(0, 60);
    m_yieldAxis->setRange(0, 100);
    m_yieldAxis->setLabelFormat(QStringLiteral("%d %%"));
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_rateAxis, Qt::AlignLeft);
    chart->addAxis(m_yieldAxis, Qt::AlignRight);
    for (QLineSeries *series : {m_rate, m_yield})
        series->attachAxis(m_time);
    m_rate->attachAxis(m_rateAxis);
    m_yield->attachAxis(m_yieldAxis);
    // Fixed colours for the lines, so they mean the same on either palette.
    m_rate->setPen(QPen(QColor(0x1e, 0x5a, 0xa8), 2));
    m_yield->setPen(QPen(QColor(0x1b, 0x7a, 0x33), 2));
    followPalette();
    const QDateTime now = QDateTime::currentDateTime();
    m_time->setRange(now.addSecs(-600), now.addSecs(60));
}

void ShiftChart::showShift(const production::ShiftTally &tally, const QDateTime &now)
{
    QList<QPointF> rate;
    QList<QPointF> yield;
    double highest = 0;
    for (const production::ShiftTally::Point &point : tally.points(now)) {
        const double x = double(point.end.toMSecsSinceEpoch());
        rate << QPointF(x, point.unitsPerHour);
        if (point.yield)
            yield << QPointF(x, *point.yield);
        highest = std::max(highest, point.unitsPerHour);
    }
    m_rate->replace(rate);
    m_yield->replace(yield);
    const QDateTime first = tally.first().isValid() ? tally.first() : now;
    m_time->setRange(std::min(first, now.addSecs(-600)), now.addSecs(60));
    m_rateAxis->setRange(0, std::max(60.0, std::ceil(highest * 1.1 / 60) * 60));
}

void ShiftChart::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        followPalette();
    QChartView::changeEvent(event);
}

void ShiftChart::followPalette()
{
    QChart *shown = chart();
    shown->setBackgroundBrush(palette().color(QPalette::Base));
    const QColor text = palette().color(QPalette::Text);
    shown->legend()->setLabelColor(text);
    for (QAbstractAxis *axis :
         {static_cast<QAbstractAxis *>(m_time), static_cast<QAbstractAxis *>(m_rateAxis),
          static_cast<QAbstractAxis *>(m_yieldAxis)}) {
        axis->setLabelsColor(text);
        axis->setGridLineColor(palette().color(QPalette::Midlight));
    }
}

} // namespace korva::station
