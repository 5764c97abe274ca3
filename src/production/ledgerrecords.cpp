#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>

namespace korva::production
{

namespace
{

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

Ledger::Result<qint64> Ledger::startRun(const RunStart &run)
{
    Result<qint64> result;
    const QDateTime started = run.started.isValid() ? run.started : currentTime();
    result.error = write(QStringLiteral("start a run"), false, [&](QSqlQuery &query) -> QString {
        const QString error = sql::run(
            query,
            QStringLiteral("INSERT INTO runs (station, host, operator, tool_version, profile_name,"
                           " profile_sha256, address_range, ports, baud, band, started, order_name)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"),
            {sql::text(run.station), sql::text(run.host), sql::text(run.operatorName),
             sql::text(run.toolVersion), sql::text(run.profileName), sql::text(run.profileSha256),
             sql::text(run.range), sql::text(run.ports), run.baud, sql::text(run.band),
             timeText(started), sql::text(run.order)});
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

QString Ledger::recordUnit(const UnitRecord &unit, bool *alreadyThere)
{
    if (alreadyThere)
        *alreadyThere = false;
    return write(
        QStringLiteral("record unit %1").arg(unit.sequence), false,
        [&](QSqlQuery &query) -> QString {
            QString error = sql::run(
                query, QStringLiteral("SELECT 1 FROM units WHERE run_id = ? AND sequence = ?"),
                {unit.runId, unit.sequence});
            if (!error.isEmpty())
                return error;
            if (query.next()) {
                if (alreadyThere)
                    *alreadyThere = true;
                return {};
            }
            if (unit.address && unit.addressState)
                if (const QString error = moveAddress(query, *unit.address, *unit.addressState,
                                                      unit.runId, unit.reprovision);
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

QString Ledger::recordHookOutcome(qint64 runId, int sequence, const QString &status,
                                  const QString &stderrTail)
{
    return write(QStringLiteral("record the --on-unit outcome of unit %1").arg(sequence), false,
                 [&](QSqlQuery &query) -> QString {
                     const QString error =
                         sql::run(query,
                                  QStringLiteral("UPDATE units SET hook_status = ?, hook_stderr = ?"
                                                 " WHERE run_id = ? AND sequence = ?"),
                                  {sql::text(status), sql::text(stderrTail), runId, sequence});
                     if (!error.isEmpty())
                         return error;
                     return query.numRowsAffected() == 1 ? QString()
                                                         : QStringLiteral("there is no such unit");
                 });
}

Ledger::Result<QSet<int>> Ledger::unitSequences(qint64 runId)
{
    Result<QSet<int>> result;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    const QString error =
        sql::run(query, QStringLiteral("SELECT sequence FROM units WHERE run_id = ?"), {runId});
    if (!error.isEmpty()) {
        result.error = failure(QStringLiteral("read the units of run %1").arg(runId), error);
        return result;
    }
    while (query.next())
        result.value.insert(query.value(0).toInt());
    return result;
}

} // namespace korva::production
