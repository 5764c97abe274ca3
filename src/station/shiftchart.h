#pragma once

#include "production/slotboard.h"

#include <QChartView>

class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

namespace korva::station
{

// Units per hour and the yield over the shift, a point a minute, each over
// the quarter of an hour before it.
class ShiftChart : public QChartView
{
    Q_OBJECT
public:
    explicit ShiftChart(QWidget *parent = nullptr);

    void showShift(const production::ShiftTally &tally, const QDateTime &now);
    const QLineSeries *rateSeries() const { return m_rate; }
    const QLineSeries *yieldSeries() const { return m_yield; }

protected:
    void changeEvent(QEvent *event) override;

private:
    void followPalette();

    QLineSeries *m_rate;
    QLineSeries *m_yield;
    QDateTimeAxis *m_time;
    QValueAxis *m_rateAxis;
    QValueAxis *m_yieldAxis;
};

} // namespace korva::station
