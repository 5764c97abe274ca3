#pragma once

#include <QList>
#include <QSqlDatabase>
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

// The rows of one query, read a page at a time in the order of a key, so a
// reader holds a bounded number of rows whatever the ledger's size and only
// one query of the connection is open at a time (several pagers may take
// turns). `select` ends in "KEY > (?, ...) ORDER BY KEY LIMIT ?", KEY being one
// column or a row of integer columns; its other values come first. A pager
// reads inside its caller's transaction, so every page comes from one snapshot.
class Pager
{
public:
    // keyColumns: where each part of KEY is in a row; every part starts below 0.
    Pager(const QSqlDatabase &db, const QString &select, const QVariantList &values,
          const QList<int> &keyColumns);

    // Moves to the next row; false at the end or on a failure (see error()).
    bool next();
    const QVariant &value(int column) const { return m_rows.at(m_at).at(column); }
    bool isNull(int column) const { return value(column).isNull(); }
    QString error() const { return m_error; }

private:
    QString fetch();

    QSqlQuery m_query;
    QVariantList m_values;
    QList<int> m_keyColumns;
    QVariantList m_after;
    QList<QVariantList> m_rows;
    qsizetype m_at = -1;
    bool m_exhausted = false;
    QString m_error;
};

} // namespace korva::production::sql
