#include "production/ledgersql.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>

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

} // namespace korva::production::sql
