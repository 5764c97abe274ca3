#include "benchtable.h"

#include <algorithm>

namespace korva::bench
{

double Samples::min() const
{
    return isEmpty() ? 0 : *std::min_element(m_values.begin(), m_values.end());
}

double Samples::max() const
{
    return isEmpty() ? 0 : *std::max_element(m_values.begin(), m_values.end());
}

double Samples::median() const
{
    if (isEmpty())
        return 0;
    std::vector<double> sorted = m_values;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1)
        return sorted[middle];
    return (sorted[middle - 1] + sorted[middle]) / 2;
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

void BenchTable::addRow(const QString &figure, const QString &runs, const QString &min,
                        const QString &median, const QString &worst, const QString &target)
{
    m_rows.append({figure, runs, min, median, worst, target});
}

void BenchTable::addSamples(const QString &figure, const Samples &samples, const QString &target,
                            int decimals)
{
    if (samples.isEmpty())
        return addSkipped(figure, QStringLiteral("no run completed"), target);
    addRow(figure, QString::number(samples.count()), number(samples.min(), decimals),
           number(samples.median(), decimals), number(samples.max(), decimals), target);
}

void BenchTable::addSkipped(const QString &figure, const QString &reason, const QString &target)
{
    addRow(figure, QStringLiteral("0"), QStringLiteral("skipped: ") + reason, QString(), QString(),
           target);
}

QString BenchTable::text() const
{
    const QStringList header{QStringLiteral("Figure"), QStringLiteral("Runs"),
                             QStringLiteral("Min"),    QStringLiteral("Median"),
                             QStringLiteral("Worst"),  QStringLiteral("Target")};
    QString out =
        QStringLiteral("| ") + header.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
    out += QStringLiteral("|---|---:|---:|---:|---:|---|\n");
    for (const QStringList &row : m_rows)
        out += QStringLiteral("| ") + row.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
    return out;
}

} // namespace korva::bench
