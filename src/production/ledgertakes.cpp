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
// never issued, whichever is lower. The spans of issued addresses are maximal,
// so the lowest never issued is the range's first address or, when a span
// holds that, the address just above the span: one indexed lookup each,
// however many addresses were issued.
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

    error = sql::run(query,
                     QStringLiteral("SELECT high FROM issued_spans WHERE low <= ?"
                                    " ORDER BY low DESC LIMIT 1"),
                     {first});
    if (!error.isEmpty())
        return error;
    qint64 neverIssued = first;
    if (query.next())
        neverIssued = std::max(first, query.value(0).toLongLong() + 1);
    query.finish();

    if (lowestReleased && (neverIssued > last || *lowestReleased < neverIssued)) {
        address = quint32(*lowestReleased);
        released = true;
    } else if (neverIssued <= last) {
        address = quint32(neverIssued);
    }
    return {};
}

QString Ledger::addToSpans(QSqlQuery &query, quint32 address)
{
    const qint64 at = address;
    QString error = sql::run(query,
                             QStringLiteral("SELECT low, high FROM issued_spans WHERE low <= ?"
                                            " ORDER BY low DESC LIMIT 1"),
                             {at});
    if (!error.isEmpty())
        return error;
    std::optional<qint64> below; // the low of the span that ends just below
    if (query.next()) {
        if (query.value(1).toLongLong() >= at)
            return QStringLiteral("%1 is issued already").arg(addressText(address));
        if (query.value(1).toLongLong() == at - 1)
            below = query.value(0).toLongLong();
    }
    error =
        sql::run(query, QStringLiteral("SELECT high FROM issued_spans WHERE low = ?"), {at + 1});
    if (!error.isEmpty())
        return error;
    const std::optional<qint64> above =
        query.next() ? std::optional<qint64>(query.value(0).toLongLong()) : std::nullopt;
    query.finish();
    if (above) {
        error = sql::run(query, QStringLiteral("DELETE FROM issued_spans WHERE low = ?"), {at + 1});
        if (!error.isEmpty())
            return error;
    }
    const qint64 high = above.value_or(at);
    return below ? sql::run(query, QStringLiteral("UPDATE issued_spans SET high = ? WHERE low = ?"),
                            {high, *below})
                 : sql::run(query,
                            QStringLiteral("INSERT INTO issued_spans (low, high) VALUES (?, ?)"),
                            {at, high});
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
            if (!released)
                if (const QString spans = addToSpans(query, *address); !spans.isEmpty())
                    return spans;
            result.value = address;
            return {};
        });
    if (result.ok())
        m_takerRun = runId;
    else
        result.value.reset();
    return result;
}

QString Ledger::moveAddress(QSqlQuery &query, quint32 address, AddressState to, qint64 runId,
                            bool reprovision)
{
    if (runId <= 0)
        return QStringLiteral("no run is named for the move, and none took an address on this "
                              "connection");
    const QString lock =
        m_where.kind == LedgerLocation::Kind::Postgres ? QStringLiteral(" FOR UPDATE") : QString();
    QString error = sql::run(
        query, QStringLiteral("SELECT state, run_id FROM addresses WHERE address = ?") + lock,
        {qint64(address)});
    if (!error.isEmpty())
        return error;
    if (!query.next())
        return QStringLiteral("%1 was never taken").arg(addressText(address));
    const QString current = query.value(0).toString();
    const qint64 holder = query.value(1).toLongLong();
    query.finish();
    const std::optional<AddressState> from = stateFromName(current);
    const bool outcome = from == AddressState::Passed || from == AddressState::Failed;
    if (holder != runId && !(reprovision && outcome))
        return QStringLiteral("%1 is held by run %2, not by run %3")
            .arg(addressText(address))
            .arg(holder)
            .arg(runId);
    if (from == to)
        return {};
    if (!from || !canMove(*from, to))
        return QStringLiteral("%1 is %2").arg(addressText(address), current);
    return sql::run(query,
                    QStringLiteral("UPDATE addresses SET state = ?, changed = ? WHERE address = ?"),
                    {stateName(to), timeText(currentTime()), qint64(address)});
}

QString Ledger::changeState(quint32 address, AddressState to, qint64 runId, const QString &what)
{
    return write(what.arg(addressText(address)), false,
                 [&](QSqlQuery &query) { return moveAddress(query, address, to, runId); });
}

QString Ledger::markSent(quint32 address)
{
    return markSent(address, m_takerRun);
}

QString Ledger::markSent(quint32 address, qint64 runId)
{
    return changeState(address, AddressState::Sent, runId, QStringLiteral("mark %1 as sent"));
}

QString Ledger::release(quint32 address)
{
    return release(address, m_takerRun);
}

QString Ledger::release(quint32 address, qint64 runId)
{
    return changeState(address, AddressState::Released, runId, QStringLiteral("release %1"));
}

QString Ledger::finish(quint32 address, bool passed)
{
    return finish(address, passed, m_takerRun);
}

QString Ledger::finish(quint32 address, bool passed, qint64 runId)
{
    return changeState(address, passed ? AddressState::Passed : AddressState::Failed, runId,
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

Ledger::Result<QString> Ledger::refusalToKeep(quint32 address)
{
    Result<QString> result;
    QSqlQuery query(database());
    QString error = sql::run(query,
                             QStringLiteral("SELECT a.state, a.station, a.taken, a.run_id,"
                                            " (SELECT MAX(u.sequence) FROM units u WHERE"
                                            " u.address = a.address AND u.run_id = a.run_id)"
                                            " FROM addresses a WHERE a.address = ?"),
                             {qint64(address)});
    if (error.isEmpty() && query.next()) {
        const QString unit = query.isNull(4)
                                 ? QStringLiteral("no unit record")
                                 : QStringLiteral("unit %1").arg(query.value(4).toLongLong());
        result.value = QStringLiteral("the profile's local address %1 was issued by the ledger %2:"
                                      " %3, taken %4 at %5 by run %6 (%7); give the units "
                                      "addresses of their own with --addresses")
                           .arg(addressText(address), where(), query.value(0).toString(),
                                query.value(2).toString(), query.value(1).toString(),
                                query.value(3).toString(), unit);
    }
    if (!error.isEmpty())
        result.error = failure(QStringLiteral("look up %1").arg(addressText(address)), error);
    return result;
}

Ledger::Result<std::optional<quint32>> Ledger::nextFree(const AddressRange &range)
{
    Result<std::optional<quint32>> result;
    bool released = false;
    result.error =
        read(QStringLiteral("find the next free address of %1").arg(range.text()), [&]() {
            QSqlQuery query(database());
            return lowestFree(query, range, result.value, released);
        });
    if (!result.ok())
        result.value.reset();
    return result;
}

} // namespace korva::production
