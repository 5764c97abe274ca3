#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QSqlDatabase>

namespace korva::production
{

namespace
{

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

} // namespace

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
