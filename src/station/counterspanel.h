#pragma once

#include "production/slotboard.h"

#include <QGroupBox>

class QLabel;
class QProgressBar;

namespace korva::station
{

// The counters of the run and of the job side by side (passed, failed,
// already provisioned, not verified, not recorded, yield, units per hour)
// and the progress towards the job's target.
class CountersPanel : public QGroupBox
{
    Q_OBJECT
public:
    explicit CountersPanel(QWidget *parent = nullptr);

    void showCounts(const production::SlotTotals &run, qint64 runMs,
                    const production::SlotTotals &job, qint64 jobMs, int target);
    // The text of a counter, by its row (as shown in the first column) and column ("run" or "job").
    QString value(const QString &row, const QString &column) const;

private:
    QList<QLabel *> m_run;
    QList<QLabel *> m_job;
    QProgressBar *m_target;
};

} // namespace korva::station
