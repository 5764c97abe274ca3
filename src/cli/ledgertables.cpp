#include "cli/ledgertables.h"

#include <QStringList>

namespace korva::cli
{

namespace
{

using production::Ledger;

// One table: a name column sized to the names shown (8 to 32 characters),
// then columns of right-aligned figures, each as wide as its heading.
class Table
{
public:
    Table(const QString &title, const QStringList &headings) : m_headings(headings)
    {
        m_rows << QStringList{title} + headings;
    }
    void add(const QString &name, const QStringList &cells)
    {
        m_rows << QStringList{shownName(name)} + cells;
    }
    QString text() const
    {
        qsizetype nameWidth = 8;
        for (const QStringList &row : m_rows)
            nameWidth = std::max(nameWidth, row.constFirst().size());
        QString text;
        for (const QStringList &row : m_rows) {
            QString line = row.constFirst().leftJustified(nameWidth);
            for (qsizetype i = 1; i < row.size(); ++i)
                line += row.at(i).rightJustified(
                    std::max<qsizetype>(m_headings.at(i - 1).size(), 8) + 2);
            text += line + u'\n';
        }
        return text;
    }

private:
    QStringList m_headings;
    QList<QStringList> m_rows;
};

QStringList stateCells(const std::array<int, production::kAddressStates> &counts)
{
    QStringList cells;
    for (int count : counts)
        cells << QString::number(count);
    return cells;
}

QStringList yieldCells(const Ledger::Yield &yield)
{
    const std::optional<double> percent = yield.percent();
    return {QString::number(yield.passed), QString::number(yield.failed),
            QString::number(yield.notVerified), QString::number(yield.alreadyProvisioned),
            percent ? QStringLiteral("%1 %").arg(*percent, 0, 'f', 1) : QStringLiteral("-")};
}

QString yieldTable(const QString &title, const QMap<QString, Ledger::Yield> &rows, bool total)
{
    Table table(title,
                {QStringLiteral("passed"), QStringLiteral("failed"), QStringLiteral("not verified"),
                 QStringLiteral("already provisioned"), QStringLiteral("yield")});
    Ledger::Yield all;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        table.add(it.key(), yieldCells(*it));
        all.passed += it->passed;
        all.failed += it->failed;
        all.notVerified += it->notVerified;
        all.alreadyProvisioned += it->alreadyProvisioned;
    }
    if (total)
        table.add(QStringLiteral("all"), yieldCells(all));
    return table.text();
}

} // namespace

QString shownName(const QString &name, int width)
{
    QString shown;
    for (const QChar c : name) {
        if (c == u'\n')
            shown += QStringLiteral("\\n");
        else if (c == u'\t')
            shown += QStringLiteral("\\t");
        else if (c == u'\r')
            shown += QStringLiteral("\\r");
        else if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    if (shown.isEmpty())
        return QStringLiteral("-");
    if (shown.size() > width)
        shown = shown.left(width - 1) + QChar(0x2026);
    return shown;
}

QString statusText(const QString &where, const Ledger::Status &status)
{
    QString text = QStringLiteral("Ledger: %1\nAddresses %2\n\n").arg(where, status.range.text());
    QStringList states;
    for (int state = 0; state < production::kAddressStates; ++state)
        states << production::stateName(production::AddressState(state));
    Table addresses(QString(), states);
    for (auto it = status.perStation.cbegin(); it != status.perStation.cend(); ++it)
        addresses.add(it.key(), stateCells(*it));
    addresses.add(QStringLiteral("all"), stateCells(status.perState));
    text += addresses.text();
    text += QStringLiteral("\nNext free address: %1\n\n")
                .arg(status.nextFree ? production::addressText(*status.nextFree)
                                     : QStringLiteral("none, the range is used up"));
    text += yieldTable(QStringLiteral("Units by station"), status.unitsPerStation, true);
    text += u'\n' + yieldTable(QStringLiteral("Units by day"), status.unitsPerDay, false);
    Table failures(QStringLiteral("Failures by error class"), {QStringLiteral("units")});
    for (auto it = status.failuresByClass.cbegin(); it != status.failuresByClass.cend(); ++it)
        failures.add(it.key().isEmpty() ? QStringLiteral("(fields differ)") : it.key(),
                     {QString::number(*it)});
    text += u'\n' + failures.text();
    return text;
}

} // namespace korva::cli
