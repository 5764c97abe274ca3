#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace korva::bench
{

// A series of measurements of one figure.
class Samples
{
public:
    void add(double value) { m_values.push_back(value); }
    int count() const { return int(m_values.size()); }
    bool isEmpty() const { return m_values.empty(); }
    double min() const;
    double median() const;
    double max() const;

private:
    std::vector<double> m_values;
};

// One markdown table, printed as rows are added.
class BenchTable
{
public:
    void addRow(const QString &figure, const QString &runs, const QString &min,
                const QString &median, const QString &worst, const QString &target);
    // A row of a sample series: min, median and worst (the maximum).
    void addSamples(const QString &figure, const Samples &samples, const QString &target,
                    int decimals = 2);
    // A row for a figure that could not be taken, with the reason.
    void addSkipped(const QString &figure, const QString &reason, const QString &target);
    QString text() const;

private:
    QList<QStringList> m_rows;
};

QString number(double value, int decimals = 2);

} // namespace korva::bench
