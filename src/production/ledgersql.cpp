#include "production/ledgersql.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>

namespace korva::production::sql
{

QString detail(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    text = text.section(u'\n', 0, 0).trimmed();
    static const QRegularExpression severity(QStringLiteral("^(ERROR|FATAL|PANIC):\\s+"));
    text.remove(severity);
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

QString run(QSqlQuery &query, const QString &text, const QVariantList &values)
{
    // A connection the server ended stays closed; say so rather than what
    // Qt warns about each query on it.
    if (!query.driver() || !query.driver()->isOpen())
        return QStringLiteral("the connection to the database was lost");
    // PostgreSQL prepares only queries and data changes, so a statement without
    // values (BEGIN, DDL) is run as it stands.
    if (values.isEmpty())
        return query.exec(text) ? QString() : detail(query.lastError());
    if (!query.prepare(text))
        return detail(query.lastError());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return detail(query.lastError());
    return {};
}

QVariant nullInteger()
{
    return QVariant(QMetaType::fromType<qint64>());
}

QVariant text(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

Pager::Pager(const QSqlDatabase &db, const QString &select, const QVariantList &values,
             const QList<int> &keyColumns)
    : m_query(db), m_values(values), m_keyColumns(keyColumns)
{
    m_query.setForwardOnly(true);
    for (qsizetype i = 0; i < keyColumns.size(); ++i)
        m_after << qint64(-1);
    if (!m_query.prepare(select))
        m_error = detail(m_query.lastError());
}

bool Pager::next()
{
    if (!m_error.isEmpty())
        return false;
    if (++m_at < m_rows.size())
        return true;
    if (m_exhausted)
        return false;
    m_error = fetch();
    m_at = 0;
    return m_error.isEmpty() && !m_rows.isEmpty();
}

// The page after the last row read; a short page is the last one.
QString Pager::fetch()
{
    constexpr int kPageRows = 2000;
    m_rows.clear();
    if (!m_query.driver() || !m_query.driver()->isOpen())
        return QStringLiteral("the connection to the database was lost");
    int position = 0;
    for (const QVariant &value : std::as_const(m_values))
        m_query.bindValue(position++, value);
    for (const QVariant &key : std::as_const(m_after))
        m_query.bindValue(position++, key);
    m_query.bindValue(position, kPageRows);
    if (!m_query.exec())
        return detail(m_query.lastError());
    const int columns = m_query.record().count();
    while (m_query.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int column = 0; column < columns; ++column)
            row << m_query.value(column);
        m_rows << std::move(row);
    }
    if (m_query.lastError().isValid())
        return detail(m_query.lastError());
    m_query.finish();
    m_exhausted = m_rows.size() < kPageRows;
    if (!m_rows.isEmpty())
        for (qsizetype i = 0; i < m_keyColumns.size(); ++i)
            m_after[i] = m_rows.constLast().at(m_keyColumns.at(i));
    return {};
}

} // namespace korva::production::sql
