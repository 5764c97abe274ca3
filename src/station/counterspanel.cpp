#include "station/counterspanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>

namespace korva::station
{

namespace
{

const QStringList kRows{QStringLiteral("passed"),
                        QStringLiteral("failed"),
                        QStringLiteral("already provisioned"),
                        QStringLiteral("not verified"),
                        QStringLiteral("not recorded"),
                        QStringLiteral("yield"),
                        QStringLiteral("units per hour")};

QStringList texts(const production::SlotTotals &totals, qint64 ms)
{
    const auto rate = production::unitsPerHour(production::unitsOf(totals), ms);
    return {QString::number(totals.passed),
            QString::number(totals.failed),
            QString::number(totals.alreadyProvisioned),
            QString::number(totals.notVerified),
            QString::number(totals.notRecorded),
            production::yieldText(totals),
            rate ? QString::number(*rate, 'f', 0) : QStringLiteral("-")};
}

} // namespace

CountersPanel::CountersPanel(QWidget *parent) : QGroupBox(tr("Counters"), parent)
{
    auto *grid = new QGridLayout(this);
    grid->setVerticalSpacing(1);
    grid->addWidget(new QLabel(tr("Run")), 0, 1, Qt::AlignRight);
    grid->addWidget(new QLabel(tr("Job")), 0, 2, Qt::AlignRight);
    QFont big = font();
    big.setPointSizeF(big.pointSizeF() * 1.15);
    big.setBold(true);
    for (int row = 0; row < kRows.size(); ++row) {
        grid->addWidget(new QLabel(kRows.at(row)), row + 1, 0);
        for (auto *column : {&m_run, &m_job}) {
            auto *label = new QLabel(QStringLiteral("-"));
            label->setFont(big);
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            label->setAccessibleName(QStringLiteral("%1, %2").arg(
                kRows.at(row), column == &m_run ? tr("run") : tr("job")));
            grid->addWidget(label, row + 1, column == &m_run ? 1 : 2);
            column->append(label);
        }
    }
    m_target = new QProgressBar;
    m_target->setObjectName(QStringLiteral("targetProgress"));
    m_target->setAccessibleName(tr("Target"));
    m_target->setTextVisible(true);
    grid->addWidget(m_target, int(kRows.size()) + 1, 0, 1, 3);
    showCounts({}, 0, {}, 0, 0);
}

void CountersPanel::showCounts(const production::SlotTotals &run, qint64 runMs,
                               const production::SlotTotals &job, qint64 jobMs, int target)
{
    const QStringList runTexts = texts(run, runMs);
    const QStringList jobTexts = texts(job, jobMs);
    for (int row = 0; row < kRows.size(); ++row) {
        m_run.at(row)->setText(runTexts.at(row));
        m_job.at(row)->setText(jobTexts.at(row));
    }
    if (target > 0) {
        m_target->setRange(0, target);
        m_target->setValue(std::min(job.passed, target));
        m_target->setFormat(tr("%1 of %2 passed").arg(job.passed).arg(target));
    } else {
        m_target->setRange(0, 1);
        m_target->setValue(0);
        m_target->setFormat(tr("no target: open-ended"));
    }
    m_target->setAccessibleDescription(m_target->format());
}

QString CountersPanel::value(const QString &row, const QString &column) const
{
    const qsizetype index = kRows.indexOf(row);
    if (index < 0)
        return {};
    return (column == QLatin1String("run") ? m_run : m_job).at(index)->text();
}

} // namespace korva::station
