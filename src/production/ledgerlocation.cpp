#include "production/ledgerlocation.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace korva::production
{

namespace
{

const QStringList kSslModes = {QStringLiteral("disable"),   QStringLiteral("allow"),
                               QStringLiteral("prefer"),    QStringLiteral("require"),
                               QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

// A value of a libpq connection option: quoted, with its quotes and
// backslashes escaped.
QString quotedOption(const QString &value)
{
    QString text = value;
    text.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + text + u'\'';
}

std::variant<LedgerLocation, QString> parsePostgresUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return QStringLiteral("the ledger URL is not valid: %1").arg(url.errorString());
    LedgerLocation where;
    where.kind = LedgerLocation::Kind::Postgres;
    where.user = url.userName(QUrl::FullyDecoded);
    where.password = url.password(QUrl::FullyDecoded);
    where.host = url.host(QUrl::FullyDecoded);
    where.port = url.port(-1);
    where.database = url.path(QUrl::FullyDecoded).mid(1);
    if (where.database.isEmpty() || where.database.contains(u'/'))
        return QStringLiteral("the ledger URL names no database: postgresql://user@host/db");

    // The query may name a socket folder or a port, as libpq's own URLs do.
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (value.isEmpty())
            return QStringLiteral("the ledger URL's %1= has no value").arg(key);
        if (key == QLatin1String("host") && where.host.isEmpty()) {
            where.host = value;
        } else if (key == QLatin1String("port") && where.port < 0) {
            bool ok = false;
            where.port = value.toInt(&ok);
            if (!ok || where.port < 1 || where.port > 65535)
                return QStringLiteral("the ledger URL's port is not a port: %1").arg(value);
        } else if (key == QLatin1String("sslmode") && where.sslMode.isEmpty()) {
            if (!kSslModes.contains(value))
                return QStringLiteral("the ledger URL's sslmode= is one of %1, not %2")
                    .arg(kSslModes.join(QStringLiteral(", ")), value);
            where.sslMode = value;
        } else if (key == QLatin1String("sslrootcert") && where.sslRootCert.isEmpty()) {
            // Qt hands the driver its options split at semicolons.
            if (value.contains(u';'))
                return QStringLiteral("the ledger URL's sslrootcert= cannot name a file with a "
                                      "semicolon in its path");
            where.sslRootCert = value;
        } else {
            return QStringLiteral("the ledger URL cannot take %1= (host=, port=, sslmode= and "
                                  "sslrootcert= only, each once)")
                .arg(key);
        }
    }
    return where;
}

} // namespace

QString LedgerLocation::display() const
{
    if (kind == Kind::Sqlite)
        return QStringLiteral("SQLite ") + path;
    QString text = QStringLiteral("PostgreSQL ");
    if (!user.isEmpty())
        text += user + u'@';
    // A socket folder is shown as the URL names it, after the database.
    const bool socket = host.startsWith(u'/');
    if (!socket)
        text += host;
    if (port >= 0 && !socket)
        text += u':' + QString::number(port);
    text += u'/' + database;
    if (socket)
        text += QStringLiteral("?host=") + host;
    if (port >= 0 && socket)
        text += QStringLiteral("&port=") + QString::number(port);
    if (!sslMode.isEmpty())
        text += (text.contains(u'?') ? u'&' : u'?') + QStringLiteral("sslmode=") + sslMode;
    return text;
}

QString LedgerLocation::tlsOptions() const
{
    QString options;
    if (!sslMode.isEmpty())
        options += QStringLiteral(";sslmode=") + sslMode;
    if (!sslRootCert.isEmpty())
        options += QStringLiteral(";sslrootcert=") + quotedOption(sslRootCert);
    return options;
}

std::variant<LedgerLocation, QString> parseLedgerSpec(const QString &text)
{
    if (text.trimmed().isEmpty())
        return QStringLiteral("a ledger is a file path or a postgresql:// URL, not an empty text");
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    const QRegularExpressionMatch match = scheme.match(text);
    if (match.hasMatch()) {
        const QString name = match.captured(1).toLower();
        if (name != QLatin1String("postgresql") && name != QLatin1String("postgres"))
            return QStringLiteral("a ledger is a file path or a postgresql:// URL, not a %1:// "
                                  "URL")
                .arg(match.captured(1));
        return parsePostgresUrl(text);
    }
    LedgerLocation where;
    where.path = QDir::cleanPath(QFileInfo(text).absoluteFilePath());
    return where;
}

QString defaultLedgerPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/KORVA/ledger.sqlite");
}

QString AddressRange::text() const
{
    return addressText(first) + u'-' + addressText(last);
}

std::optional<AddressRange> parseAddressRange(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{8})-([0-9A-Fa-f]{8})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const AddressRange range{match.captured(1).toUInt(nullptr, 16),
                             match.captured(2).toUInt(nullptr, 16)};
    if (range.first > range.last)
        return std::nullopt;
    return range;
}

QString addressText(quint32 address)
{
    return QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace korva::production
