#pragma once

#include <QSqlQuery>
#include <QString>
#include <QVariantList>

// Small helpers over Qt SQL that the ledger's parts share.
namespace korva::production::sql
{

// The first line of what the database said, without PostgreSQL's "ERROR:" prefix.
QString detail(const QSqlError &error);

// Prepares and runs `text` with positional values; the database's complaint on
// failure, else empty.
QString run(QSqlQuery &query, const QString &text, const QVariantList &values = {});

// A NULL of the ledger's integer type, for an absent address.
QVariant nullInteger();

// A text as a value: Qt binds a null QString as NULL, which the ledger keeps
// for "absent", never for an empty text.
QVariant text(const QString &value);

} // namespace korva::production::sql
