#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>

#include <atomic>

namespace korva::production
{

namespace
{

// How long a busy SQLite ledger (another process in its transaction) is
// waited for before the operation fails.
constexpr int kBusyTimeoutMs = 5000;
// A PostgreSQL server that does not answer, or a lock that is not granted,
// fails the operation instead of hanging the line.
constexpr int kConnectTimeoutS = 5;
constexpr int kLockTimeoutMs = 10000;
constexpr int kStatementTimeoutMs = 30000;
// The advisory lock that serializes takes on a PostgreSQL ledger.
constexpr qint64 kTakeLock = 0x4B4F52564141; // "KORVAA"

bool canMove(AddressState from, AddressState to)
{
    using S = AddressState;
    switch (to) {
    case S::Sent:
        return from == S::Reserved;
    case S::Released:
        return from == S::Reserved || from == S::Sent;
    case S::Passed:
    case S::Failed:
        return from == S::Sent || from == S::Passed || from == S::Failed;
    case S::Reserved:
        return false;
    }
    return false;
}

QVariant addressValue(const std::optional<quint32> &address)
{
    return address ? QVariant(qint64(*address)) : sql::nullInteger();
}

QVariant hexValue(const QByteArray &bytes)
{
    return sql::text(QString::fromLatin1(bytes.toHex().toUpper()));
}

QString differencesText(const QList<FieldDifference> &differences)
{
    QJsonArray array;
    for (const FieldDifference &difference : differences)
        array.append(QJsonArray{difference.key, difference.expected, difference.actual});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

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
        setup << QStringLiteral("PRAGMA foreign_keys = ON");
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
                .arg(kStatementTimeoutMs));
        setup << QStringLiteral("SET lock_timeout = %1").arg(kLockTimeoutMs)
              << QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs);
    }
    if (!db.open())
        return failure(QStringLiteral("open"), sql::detail(db.lastError()));
    QSqlQuery query(db);
    for (const QString &statement : setup)
        if (const QString error = sql::run(query, statement); !error.isEmpty())
            return failure(QStringLiteral("open"), error);
    return {};
}

QString Ledger::write(const QString &what, bool serialized,
                      const std::function<QString(QSqlQuery &)> &body)
{
    const bool sqlite = m_where.kind == LedgerLocation::Kind::Sqlite;
    // One query for the whole transaction, alive until after a rollback:
    // PostgreSQL frees a prepared statement only outside a failed transaction.
    QSqlQuery query(database());
    // SQLite: the write lock is taken at BEGIN, so two writers queue on the
    // busy timeout instead of one failing when it upgrades a read lock.
    QString error =
        sql::run(query, sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
    if (error.isEmpty() && serialized && !sqlite)
        error = sql::run(query, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kTakeLock});
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

Ledger::Result<qint64> Ledger::startRun(const RunStart &run)
{
    Result<qint64> result;
    const QDateTime started = run.started.isValid() ? run.started : currentTime();
    result.error = write(QStringLiteral("start a run"), false, [&](QSqlQuery &query) -> QString {
        const QString error = sql::run(
            query,
            QStringLiteral("INSERT INTO runs (station, host, operator, tool_version, profile_name,"
                           " profile_sha256, address_range, ports, baud, band, started)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"),
            {sql::text(run.station), sql::text(run.host), sql::text(run.operatorName),
             sql::text(run.toolVersion), sql::text(run.profileName), sql::text(run.profileSha256),
             sql::text(run.range), sql::text(run.ports), run.baud, sql::text(run.band),
             timeText(started)});
        if (!error.isEmpty())
            return error;
        if (!query.next())
            return QStringLiteral("the database gave no run id");
        result.value = query.value(0).toLongLong();
        return {};
    });
    return result;
}

QString Ledger::endRun(qint64 runId, const RunEnd &end)
{
    const QDateTime ended = end.ended.isValid() ? end.ended : currentTime();
    return write(QStringLiteral("end run %1").arg(runId), false, [&](QSqlQuery &query) -> QString {
        const QString error = sql::run(
            query,
            QStringLiteral("UPDATE runs SET ended = ?, how = ?, written = ?, passed = ?,"
                           " failed = ?, already_provisioned = ?, next_free = ? WHERE id = ?"),
            {timeText(ended), sql::text(end.how), end.written, end.passed, end.failed,
             end.alreadyProvisioned, addressValue(end.nextFree), runId});
        if (!error.isEmpty())
            return error;
        return query.numRowsAffected() == 1 ? QString() : QStringLiteral("there is no such run");
    });
}

// The lowest free address of the range: the lowest released one, or the lowest
// never taken (the range's first, or the first gap above it), whichever is lower.
QString Ledger::lowestFree(QSqlQuery &query, const AddressRange &range,
                           std::optional<quint32> &address, bool &released)
{
    address.reset();
    released = false;
    const qint64 first = range.first, last = range.last;
    QString error = sql::run(query,
                             QStringLiteral("SELECT MIN(address) FROM addresses WHERE state ="
                                            " 'released' AND address BETWEEN ? AND ?"),
                             {first, last});
    if (!error.isEmpty())
        return error;
    std::optional<qint64> lowestReleased;
    if (query.next() && !query.isNull(0))
        lowestReleased = query.value(0).toLongLong();

    std::optional<qint64> neverTaken;
    error = sql::run(query, QStringLiteral("SELECT 1 FROM addresses WHERE address = ?"), {first});
    if (!error.isEmpty())
        return error;
    if (!query.next()) {
        neverTaken = first;
    } else {
        error = sql::run(query,
                         QStringLiteral("SELECT a.address + 1 FROM addresses a"
                                        " WHERE a.address >= ? AND a.address < ? AND NOT EXISTS"
                                        " (SELECT 1 FROM addresses b WHERE b.address ="
                                        " a.address + 1) ORDER BY a.address LIMIT 1"),
                         {first, last});
        if (!error.isEmpty())
            return error;
        if (query.next())
            neverTaken = query.value(0).toLongLong();
    }

    if (lowestReleased && (!neverTaken || *lowestReleased < *neverTaken)) {
        address = quint32(*lowestReleased);
        released = true;
    } else if (neverTaken) {
        address = quint32(*neverTaken);
    }
    return {};
}

Ledger::Result<std::optional<quint32>> Ledger::reserve(const AddressRange &range, qint64 runId,
                                                       const QString &station)
{
    Result<std::optional<quint32>> result;
    result.error = write(
        QStringLiteral("take an address of %1").arg(range.text()), true,
        [&](QSqlQuery &query) -> QString {
            std::optional<quint32> address;
            bool released = false;
            if (const QString error = lowestFree(query, range, address, released); !error.isEmpty())
                return error;
            if (!address)
                return {};
            const QString now = timeText(currentTime());
            const QString error =
                released
                    ? sql::run(query,
                               QStringLiteral("UPDATE addresses SET state = 'reserved', run_id = ?,"
                                              " station = ?, taken = ?, changed = ?"
                                              " WHERE address = ? AND state = 'released'"),
                               {runId, sql::text(station), now, now, qint64(*address)})
                    : sql::run(query,
                               QStringLiteral("INSERT INTO addresses (address, state, run_id,"
                                              " station, taken, changed)"
                                              " VALUES (?, 'reserved', ?, ?, ?, ?)"),
                               {qint64(*address), runId, sql::text(station), now, now});
            if (!error.isEmpty())
                return error;
            if (query.numRowsAffected() != 1)
                return QStringLiteral("%1 was taken meanwhile").arg(addressText(*address));
            result.value = address;
            return {};
        });
    if (!result.ok())
        result.value.reset();
    return result;
}

// Within a write transaction: brings the address to `to`, if that is a step its
// life can take.
QString Ledger::moveAddress(QSqlQuery &query, quint32 address, AddressState to)
{
    const QString lock =
        m_where.kind == LedgerLocation::Kind::Postgres ? QStringLiteral(" FOR UPDATE") : QString();
    QString error =
        sql::run(query, QStringLiteral("SELECT state FROM addresses WHERE address = ?") + lock,
                 {qint64(address)});
    if (!error.isEmpty())
        return error;
    if (!query.next())
        return QStringLiteral("%1 was never taken").arg(addressText(address));
    const QString current = query.value(0).toString();
    const std::optional<AddressState> from = stateFromName(current);
    if (from == to)
        return {};
    if (!from || !canMove(*from, to))
        return QStringLiteral("%1 is %2").arg(addressText(address), current);
    error = sql::run(
        query, QStringLiteral("UPDATE addresses SET state = ?, changed = ? WHERE address = ?"),
        {stateName(to), timeText(currentTime()), qint64(address)});
    return error;
}

QString Ledger::changeState(quint32 address, AddressState to, const QString &what)
{
    return write(what.arg(addressText(address)), false,
                 [&](QSqlQuery &query) { return moveAddress(query, address, to); });
}

QString Ledger::markSent(quint32 address)
{
    return changeState(address, AddressState::Sent, QStringLiteral("mark %1 as sent"));
}

QString Ledger::release(quint32 address)
{
    return changeState(address, AddressState::Released, QStringLiteral("release %1"));
}

QString Ledger::finish(quint32 address, bool passed)
{
    return changeState(address, passed ? AddressState::Passed : AddressState::Failed,
                       passed ? QStringLiteral("record %1 as passed")
                              : QStringLiteral("record %1 as failed"));
}

Ledger::Result<std::optional<PassedRecord>> Ledger::passedRecord(quint32 address)
{
    Result<std::optional<PassedRecord>> result;
    QSqlQuery query(database());
    const QString error = sql::run(query,
                                   QStringLiteral("SELECT changed, station, run_id FROM addresses"
                                                  " WHERE address = ? AND state = 'passed'"),
                                   {qint64(address)});
    if (!error.isEmpty())
        result.error = failure(QStringLiteral("look up %1").arg(addressText(address)), error);
    else if (query.next())
        result.value = PassedRecord{
            address, QDateTime::fromString(query.value(0).toString(), Qt::ISODateWithMs),
            query.value(1).toString(), query.value(2).toLongLong()};
    return result;
}

QString Ledger::recordUnit(const UnitRecord &unit)
{
    return write(
        QStringLiteral("record unit %1").arg(unit.sequence), false,
        [&](QSqlQuery &query) -> QString {
            if (unit.address && unit.addressState)
                if (const QString error = moveAddress(query, *unit.address, *unit.addressState);
                    !error.isEmpty())
                    return error;
            return sql::run(
                query,
                QStringLiteral(
                    "INSERT INTO units (run_id, sequence, slot, started, ended, device,"
                    " adapter_serial, adapter_location, block_before, packet, read_back,"
                    " packet_left, address, address_state, reprovision, result,"
                    " differences, error_class, error, writes)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                {unit.runId,
                 unit.sequence,
                 unit.slot,
                 timeText(unit.started),
                 timeText(unit.ended),
                 sql::text(unit.device),
                 sql::text(unit.adapterSerial),
                 sql::text(unit.adapterLocation),
                 hexValue(unit.before),
                 hexValue(unit.packet),
                 hexValue(unit.readBack),
                 int(unit.packetLeft),
                 addressValue(unit.address),
                 unit.addressState ? QVariant(stateName(*unit.addressState)) : QVariant(QString()),
                 int(unit.reprovision),
                 sql::text(unit.result),
                 differencesText(unit.differences),
                 sql::text(unit.errorClass),
                 sql::text(unit.error),
                 unit.writes});
        });
}

Ledger::Result<std::optional<quint32>> Ledger::nextFree(const AddressRange &range)
{
    Result<std::optional<quint32>> result;
    bool released = false;
    QSqlQuery query(database());
    if (const QString error = lowestFree(query, range, result.value, released); !error.isEmpty()) {
        result.value.reset();
        result.error =
            failure(QStringLiteral("find the next free address of %1").arg(range.text()), error);
    }
    return result;
}

} // namespace korva::production
