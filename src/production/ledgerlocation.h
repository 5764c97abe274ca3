#pragma once

#include <QString>

#include <optional>
#include <variant>

namespace korva::production
{

// Where a ledger lives: an SQLite file, or a database on a PostgreSQL server.
struct LedgerLocation {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path;                           // SQLite file
    QString host, database, user, password; // PostgreSQL; host may be a socket folder
    int port = -1;
    // PostgreSQL over TLS: libpq's sslmode (empty: libpq's default, prefer) and
    // the file of the certificates that vouch for the server.
    QString sslMode, sslRootCert;

    // "SQLite /path" or "PostgreSQL user@host:port/db" (a socket folder:
    // "PostgreSQL user@/db?host=/folder"), with sslmode when given, never the
    // password.
    QString display() const;
    // The TLS settings as Qt's PostgreSQL driver takes them: ";key='value'" each.
    QString tlsOptions() const;
};

// A file path, or a postgresql:// (or postgres://) URL; the text of the refusal
// otherwise. A password left out of the URL comes from PGPASSWORD or ~/.pgpass,
// as PostgreSQL's own tools take it.
std::variant<LedgerLocation, QString> parseLedgerSpec(const QString &text);

// $XDG_DATA_HOME/KORVA/ledger.sqlite, normally ~/.local/share/KORVA/ledger.sqlite.
QString defaultLedgerPath();

struct AddressRange {
    quint32 first = 0;
    quint32 last = 0xFFFFFFFF;

    QString text() const; // "FROM-TO"
};

// "FROM-TO", 8 hex digits each, FROM not above TO.
std::optional<AddressRange> parseAddressRange(const QString &text);

// 8 upper-case hex digits.
QString addressText(quint32 address);

} // namespace korva::production
