#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>

#include <atomic>

#include <libpq-fe.h>

namespace korva::production
{

namespace
{

// How long a busy SQLite ledger (another process in its transaction) is
// waited for before the operation fails.
constexpr int kBusyTimeoutMs = 5000;
constexpr int kBusyRetryMs = 20;
// A PostgreSQL server that does not answer, or a lock that is not granted,
// fails the operation instead of hanging the line.
constexpr int kConnectTimeoutS = 5;
constexpr int kLockTimeoutMs = 10000;
constexpr int kStatementTimeoutMs = 30000;
// The advisory lock that serializes takes on a PostgreSQL ledger.
constexpr qint64 kTakeLock = 0x4B4F52564141; // "KORVAA"

} // namespace

Ledger::Ledger(const LedgerLocation &where) : m_where(where) {}

Ledger::~Ledger()
{
    if (m_connection.isEmpty())
        return;
    database().close();
    QSqlDatabase::removeDatabase(m_connection);
}

std::variant<std::unique_ptr<Ledger>, QString> Ledger::open(const LedgerLocation &where,
                                                            OpenMode mode)
{
    std::unique_ptr<Ledger> ledger(new Ledger(where));
    if (QString error = ledger->connect(mode); !error.isEmpty())
        return error;
    if (QString error = ledger->prepareSchema(mode); !error.isEmpty())
        return error;
    return ledger;
}

QString Ledger::where() const
{
    return m_where.display();
}

int Ledger::serverSocket() const
{
    const QSqlDatabase db = database();
    if (!db.isOpen() || !db.driver())
        return -1;
    const QVariant handle = db.driver()->handle();
    // Qt names the type after libpq's struct behind the PGconn typedef.
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return -1;
    PGconn *connection = *static_cast<PGconn *const *>(handle.constData());
    return connection ? PQsocket(connection) : -1;
}

QSqlDatabase Ledger::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

QString Ledger::failure(const QString &what, const QString &detail) const
{
    return QStringLiteral("ledger %1: cannot %2: %3").arg(where(), what, detail);
}

QString Ledger::connect(OpenMode mode)
{
    static std::atomic<int> connections = 0;
    const bool sqlite = m_where.kind == LedgerLocation::Kind::Sqlite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return failure(QStringLiteral("open"),
                       QStringLiteral("the Qt SQL driver %1 is not installed (Debian package %2)")
                           .arg(driver, sqlite ? QStringLiteral("libqt6sql6-sqlite")
                                               : QStringLiteral("libqt6sql6-psql")));
    if (sqlite) {
        const QFileInfo file(m_where.path);
        if (file.isDir())
            return failure(QStringLiteral("open"), QStringLiteral("it is a folder"));
        // SQLite would write its journal beside a device or a FIFO and lose
        // every record into it; a ledger is a regular file or a new one.
        if ((file.exists() && !file.isFile()) || (file.isSymLink() && !file.exists()))
            return failure(QStringLiteral("open"),
                           QStringLiteral("it is not a regular file (a device, a FIFO, a socket "
                                          "or a broken link)"));
        if (!file.exists() && mode == OpenMode::MustExist)
            return failure(QStringLiteral("open"), QStringLiteral("there is no such file"));
        if (!file.exists() && m_where.path == defaultLedgerPath())
            QDir().mkpath(file.absolutePath());
        if (!file.absoluteDir().exists())
            return failure(QStringLiteral("open"),
                           QStringLiteral("there is no folder %1").arg(file.absolutePath()));
    }

    m_connection = QStringLiteral("korva-ledger-%1").arg(++connections);
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_connection);
    QStringList setup;
    if (sqlite) {
        db.setDatabaseName(m_where.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        // Write-ahead logging lets readers keep a snapshot without holding
        // back a writer; in that mode only FULL syncs the log at each commit,
        // so a take or a record that returned survives a power cut.
        setup << QStringLiteral("PRAGMA foreign_keys = ON")
              << QStringLiteral("PRAGMA synchronous = FULL");
    } else {
        db.setHostName(m_where.host);
        db.setPort(m_where.port);
        db.setDatabaseName(m_where.database);
        db.setUserName(m_where.user);
        db.setPassword(m_where.password);
        db.setConnectOptions(
            QStringLiteral("connect_timeout=%1;application_name=korva;keepalives_idle=10;"
                           "keepalives_interval=2;keepalives_count=3;tcp_user_timeout=%2")
                .arg(kConnectTimeoutS)
                .arg(kStatementTimeoutMs) +
            m_where.tlsOptions());
        setup << QStringLiteral("SET lock_timeout = %1").arg(kLockTimeoutMs)
              << QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs);
    }
    if (!db.open())
        return failure(QStringLiteral("open"), sql::detail(db.lastError()));
    QSqlQuery query(db);
    for (const QString &statement : setup)
        if (const QString error = sql::run(query, statement); !error.isEmpty())
            return failure(QStringLiteral("open"), error);
    // The journal mode stays with the file: set by the programs that write,
    // so the ledger verbs never need to write a ledger to read it.
    if (sqlite && mode == OpenMode::CreateIfMissing) {
        // SQLite answers a switch that meets another connection's lock (two
        // stations opening a new ledger together) with "busy" at once, without
        // its busy timeout: the switch is tried again, paced, within that bound.
        const QDeadlineTimer patience(kBusyTimeoutMs);
        QString error;
        while (!(error = sql::run(query, QStringLiteral("PRAGMA journal_mode = WAL"))).isEmpty() &&
               query.lastError().nativeErrorCode() == QLatin1String("5") && !patience.hasExpired())
            QThread::msleep(kBusyRetryMs);
        if (error.isEmpty() && (!query.next() || query.value(0).toString() != QLatin1String("wal")))
            error = QStringLiteral("the file system does not allow write-ahead logging");
        if (!error.isEmpty())
            return failure(QStringLiteral("open"), error);
    }
    return {};
}

QString Ledger::transaction(const QString &what, const QString &begin,
                            const std::function<QString(QSqlQuery &)> &body)
{
    // One query for the whole transaction, alive until after a rollback:
    // PostgreSQL frees a prepared statement only outside a failed transaction.
    QSqlQuery query(database());
    QString error = sql::run(query, begin);
    if (error.isEmpty())
        error = body(query);
    if (error.isEmpty())
        error = sql::run(query, QStringLiteral("COMMIT"));
    if (error.isEmpty())
        return {};
    if (database().isOpen())
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
    return failure(what, error);
}

QString Ledger::write(const QString &what, bool serialized,
                      const std::function<QString(QSqlQuery &)> &body)
{
    const bool sqlite = m_where.kind == LedgerLocation::Kind::Sqlite;
    // SQLite: the write lock is taken at BEGIN, so two writers queue on the
    // busy timeout instead of one failing when it upgrades a read lock.
    return transaction(
        what, sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"),
        [&](QSqlQuery &query) {
            if (serialized && !sqlite)
                if (const QString error = sql::run(
                        query, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kTakeLock});
                    !error.isEmpty())
                    return error;
            return body(query);
        });
}

QString Ledger::read(const QString &what, const std::function<QString()> &body)
{
    const bool sqlite = m_where.kind == LedgerLocation::Kind::Sqlite;
    return transaction(what,
                       sqlite ? QStringLiteral("BEGIN")
                              : QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"),
                       [&](QSqlQuery &) { return body(); });
}

} // namespace korva::production
