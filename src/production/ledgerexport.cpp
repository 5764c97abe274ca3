#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>

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

QJsonValue textOrNull(const QVariant &value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toString());
}

const QString kRunColumns = QStringLiteral(
    "id, station, host, operator, tool_version, profile_name, profile_sha256, address_range,"
    " ports, baud, band, started, ended, how, written, passed, failed, already_provisioned,"
    " next_free, order_name");

// The unit's own columns, its --on-unit outcome, then its run's.
const QString kUnitColumns = QStringLiteral(
    "u.run_id, u.sequence, u.slot, u.started, u.ended, u.device, u.adapter_serial,"
    " u.adapter_location, u.block_before, u.packet, u.read_back, u.packet_left, u.address,"
    " u.address_state, u.reprovision, u.result, u.differences, u.error_class, u.error, u.writes,"
    " u.hook_status, u.hook_stderr, r.station, r.operator, r.profile_name, r.profile_sha256,"
    " r.tool_version, r.order_name");

RunStart runStartFrom(const sql::Pager &row)
{
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
    start.order = row.value(19).toString();
    return start;
}

RunEnd runEndFrom(const sql::Pager &row)
{
    RunEnd end;
    end.ended = timeFrom(row.value(12));
    end.how = row.value(13).toString();
    end.written = row.value(14).toInt();
    end.passed = row.value(15).toInt();
    end.failed = row.value(16).toInt();
    end.alreadyProvisioned = row.value(17).toInt();
    end.nextFree = addressFrom(row.value(18));
    return end;
}

UnitRecord unitFrom(const sql::Pager &row)
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
    unit.station = row.value(22).toString();
    unit.operatorName = row.value(23).toString();
    unit.profileName = row.value(24).toString();
    unit.profileSha256 = row.value(25).toString();
    unit.toolVersion = row.value(26).toString();
    unit.order = row.value(27).toString();
    return unit;
}

} // namespace

QStringList Ledger::hookKeys()
{
    return {QStringLiteral("on-unit"), QStringLiteral("on-unit-stderr")};
}

QString Ledger::exportRecords(const std::function<void(const QJsonObject &)> &record)
{
    return exportRecords(ExportFilter{}, record);
}

QString Ledger::exportRecords(const ExportFilter &filter,
                              const std::function<void(const QJsonObject &)> &record)
{
    const auto inWindow = [&filter](const QDateTime &time) {
        return (!filter.since.isValid() || (time.isValid() && time >= filter.since)) &&
               (!filter.until.isValid() || (time.isValid() && time < filter.until));
    };
    // The runs chosen by station or id; each unit is chosen by its run's.
    QString runs, units;
    QVariantList values;
    if (!filter.station.isEmpty()) {
        runs += QStringLiteral(" station = ? AND");
        units += QStringLiteral(" r.station = ? AND");
        values << filter.station;
    }
    if (filter.run > 0) {
        runs += QStringLiteral(" id = ? AND");
        units += QStringLiteral(" u.run_id = ? AND");
        values << filter.run;
    }
    return read(QStringLiteral("read the records"), [&]() -> QString {
        sql::Pager run(database(),
                       QStringLiteral("SELECT %1 FROM runs WHERE%2 id > ? ORDER BY id LIMIT ?")
                           .arg(kRunColumns, runs),
                       values, {0});
        sql::Pager unit(database(),
                        QStringLiteral("SELECT %1 FROM units u JOIN runs r ON r.id = u.run_id"
                                       " WHERE%2 (u.run_id, u.sequence) > (?, ?)"
                                       " ORDER BY u.run_id, u.sequence LIMIT ?")
                            .arg(kUnitColumns, units),
                        values, {0, 1});
        const QStringList hook = hookKeys();
        bool unitAtHand = unit.next();
        while (run.next()) {
            const qint64 id = run.value(0).toLongLong();
            const RunStart start = runStartFrom(run);
            if (inWindow(start.started))
                record(start.toJson(id));
            for (; unitAtHand && unit.value(0).toLongLong() <= id; unitAtHand = unit.next()) {
                const UnitRecord found = unitFrom(unit);
                if (!inWindow(found.started))
                    continue;
                QJsonObject json = found.toJson();
                json.insert(hook.at(0), textOrNull(unit.value(20)));
                json.insert(hook.at(1), textOrNull(unit.value(21)));
                record(json);
            }
            if (!run.isNull(12) && inWindow(timeFrom(run.value(12))))
                record(runEndFrom(run).toJson(id));
        }
        return !run.error().isEmpty() ? run.error() : unit.error();
    });
}

} // namespace korva::production
