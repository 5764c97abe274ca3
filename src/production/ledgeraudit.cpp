#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>

namespace korva::production
{

namespace
{

QDateTime timeFrom(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

std::optional<quint32> addressFrom(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional<quint32>(quint32(value.toLongLong()));
}

const QString kRunColumns = QStringLiteral(
    "id, station, host, operator, tool_version, profile_name, profile_sha256, address_range,"
    " ports, baud, band, started, ended, how, written, passed, failed, already_provisioned,"
    " next_free");

const QString kUnitColumns = QStringLiteral(
    "run_id, sequence, slot, started, ended, device, adapter_serial, adapter_location,"
    " block_before, packet, read_back, packet_left, address, address_state, reprovision, result,"
    " differences, error_class, error, writes");

// The start and, once ended, the end record of the run in the current row.
QList<QJsonObject> runRecords(const QSqlQuery &row)
{
    const qint64 id = row.value(0).toLongLong();
    RunStart start;
    start.station = row.value(1).toString();
    start.host = row.value(2).toString();
    start.operatorName = row.value(3).toString();
    start.toolVersion = row.value(4).toString();
    start.profileName = row.value(5).toString();
    start.profileSha256 = row.value(6).toString();
    start.range = row.value(7).toString();
    start.ports = row.value(8).toString();
    start.baud = row.value(9).toInt();
    start.band = row.value(10).toString();
    start.started = timeFrom(row.value(11));
    QList<QJsonObject> records{start.toJson(id)};
    if (row.isNull(12))
        return records;
    RunEnd end;
    end.ended = timeFrom(row.value(12));
    end.how = row.value(13).toString();
    end.written = row.value(14).toInt();
    end.passed = row.value(15).toInt();
    end.failed = row.value(16).toInt();
    end.alreadyProvisioned = row.value(17).toInt();
    end.nextFree = addressFrom(row.value(18));
    records << end.toJson(id);
    return records;
}

UnitRecord unitFrom(const QSqlQuery &row)
{
    UnitRecord unit;
    unit.runId = row.value(0).toLongLong();
    unit.sequence = row.value(1).toInt();
    unit.slot = row.value(2).toInt();
    unit.started = timeFrom(row.value(3));
    unit.ended = timeFrom(row.value(4));
    unit.device = row.value(5).toString();
    unit.adapterSerial = row.value(6).toString();
    unit.adapterLocation = row.value(7).toString();
    unit.before = QByteArray::fromHex(row.value(8).toString().toLatin1());
    unit.packet = QByteArray::fromHex(row.value(9).toString().toLatin1());
    unit.readBack = QByteArray::fromHex(row.value(10).toString().toLatin1());
    unit.packetLeft = row.value(11).toInt() != 0;
    unit.address = addressFrom(row.value(12));
    if (!row.isNull(13))
        unit.addressState = stateFromName(row.value(13).toString());
    unit.reprovision = row.value(14).toInt() != 0;
    unit.result = row.value(15).toString();
    const QJsonArray differences =
        QJsonDocument::fromJson(row.value(16).toString().toUtf8()).array();
    for (const QJsonValue &difference : differences) {
        const QJsonArray parts = difference.toArray();
        unit.differences << FieldDifference{parts.at(0).toString(), parts.at(1).toString(),
                                            parts.at(2).toString()};
    }
    unit.errorClass = row.value(17).toString();
    unit.error = row.value(18).toString();
    unit.writes = row.value(19).toInt();
    return unit;
}

QString unitName(qint64 runId, int sequence)
{
    return QStringLiteral("run %1 unit %2").arg(runId).arg(sequence);
}

} // namespace

Ledger::Result<Ledger::Status> Ledger::status(const AddressRange &range)
{
    Result<Status> result;
    result.value.range = range;
    QSqlQuery query(database());
    QString error =
        sql::run(query,
                 QStringLiteral("SELECT station, state, COUNT(*) FROM addresses"
                                " WHERE address BETWEEN ? AND ? GROUP BY station, state"),
                 {qint64(range.first), qint64(range.last)});
    if (!error.isEmpty()) {
        result.error = failure(QStringLiteral("count the addresses"), error);
        return result;
    }
    while (query.next()) {
        const std::optional<AddressState> state = stateFromName(query.value(1).toString());
        if (!state)
            continue;
        const int count = query.value(2).toInt();
        result.value.perState[int(*state)] += count;
        result.value.perStation[query.value(0).toString()][int(*state)] += count;
    }
    auto next = nextFree(range);
    result.error = next.error;
    result.value.nextFree = next.value;
    return result;
}

QString Ledger::exportRecords(const std::function<void(const QJsonObject &)> &record)
{
    const QString what = QStringLiteral("read the records");
    // The runs are few and read first, so only one result is open at a time.
    QList<QPair<qint64, QList<QJsonObject>>> runs;
    {
        QSqlQuery query(database());
        if (const QString error =
                sql::run(query, QStringLiteral("SELECT %1 FROM runs ORDER BY id").arg(kRunColumns));
            !error.isEmpty())
            return failure(what, error);
        while (query.next())
            runs.append({query.value(0).toLongLong(), runRecords(query)});
    }
    QSqlQuery units(database());
    units.setForwardOnly(true);
    if (const QString error = sql::run(
            units, QStringLiteral("SELECT %1 FROM units ORDER BY run_id, id").arg(kUnitColumns));
        !error.isEmpty())
        return failure(what, error);
    bool unitAtHand = units.next();
    for (const auto &[id, records] : runs) {
        record(records.constFirst());
        for (; unitAtHand && units.value(0).toLongLong() <= id; unitAtHand = units.next())
            record(unitFrom(units).toJson());
        if (records.size() > 1)
            record(records.constLast());
    }
    for (; unitAtHand; unitAtHand = units.next())
        record(unitFrom(units).toJson());
    if (units.lastError().isValid())
        return failure(what, sql::detail(units.lastError()));
    return {};
}

// A unit "issues" an address when it took it from the ledger and its packet
// left; a reprovisioned or already provisioned unit only meets it again.
Ledger::Result<Ledger::CheckReport> Ledger::check()
{
    Result<CheckReport> result;
    CheckReport &report = result.value;
    const QString what = QStringLiteral("check the records");
    QHash<quint32, QString> held; // each address's state in the ledger
    QSqlQuery query(database());
    QString error = sql::run(
        query, QStringLiteral("SELECT address, state, run_id, station, taken FROM addresses"
                              " ORDER BY address"));
    while (error.isEmpty() && query.next()) {
        const quint32 address = quint32(query.value(0).toLongLong());
        const QString name = query.value(1).toString();
        held.insert(address, name);
        const std::optional<AddressState> state = stateFromName(name);
        if (state == AddressState::Reserved || state == AddressState::Sent)
            report.unknown << Reservation{address, *state, query.value(2).toLongLong(),
                                          query.value(3).toString(), timeFrom(query.value(4))};
    }
    report.addresses = int(held.size());
    if (error.isEmpty())
        error = sql::run(query, QStringLiteral("SELECT (SELECT COUNT(*) FROM runs),"
                                               " (SELECT COUNT(*) FROM units)"));
    if (error.isEmpty() && query.next()) {
        report.runs = query.value(0).toInt();
        report.units = query.value(1).toInt();
    }
    if (error.isEmpty())
        error = sql::run(query, QStringLiteral("SELECT run_id, sequence, address, address_state,"
                                               " packet_left, reprovision, result FROM units"
                                               " WHERE address IS NOT NULL AND address_state IS"
                                               " NOT NULL ORDER BY id"));
    if (!error.isEmpty()) {
        result.error = failure(what, error);
        return result;
    }

    struct Seen {
        QString unit;
        QString state;
    };
    QHash<quint32, QString> issuedBy;
    QMap<quint32, Seen> latest;
    while (query.next()) {
        const QString unit = unitName(query.value(0).toLongLong(), query.value(1).toInt());
        const quint32 address = quint32(query.value(2).toLongLong());
        const QString state = query.value(3).toString();
        const bool packetLeft = query.value(4).toInt() != 0;
        const QString text = addressText(address);
        if (!held.contains(address)) {
            report.faults << QStringLiteral("%1 records %2 as %3, an address the ledger never "
                                            "issued")
                                 .arg(unit, text, state);
            continue;
        }
        if (state == stateName(AddressState::Released) && packetLeft)
            report.faults
                << QStringLiteral("%1 released %2 although its packet left").arg(unit, text);
        const bool issues = packetLeft && query.value(5).toInt() == 0 &&
                            query.value(6).toString() != QLatin1String("already-provisioned");
        if (issues && issuedBy.contains(address))
            report.faults << QStringLiteral("%1 issued twice: to %2 and to %3")
                                 .arg(text, issuedBy.value(address), unit);
        else if (issues)
            issuedBy.insert(address, unit);
        latest.insert(address, {unit, state});
    }
    // A released address may have been taken again since; any other state is
    // the one the ledger must still hold.
    for (auto it = latest.cbegin(); it != latest.cend(); ++it) {
        const QString now = held.value(it.key());
        if (it->state != stateName(AddressState::Released) && it->state != now)
            report.faults << QStringLiteral("%1 records %2 as %3, the ledger holds it as %4")
                                 .arg(it->unit, addressText(it.key()), it->state, now);
    }
    return result;
}

} // namespace korva::production
