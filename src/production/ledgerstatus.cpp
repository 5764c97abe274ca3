#include "production/ledger.h"

#include "production/ledgersql.h"

#include <QSqlDatabase>

namespace korva::production
{

namespace
{

// Units stopped between their packet and its read-back are neither passed nor
// failed: nobody knows what they hold.
const QString kNotVerified = QStringLiteral("stopped");

void count(Ledger::Yield &yield, const QString &result, const QString &errorClass, int units)
{
    if (result == QLatin1String("passed"))
        yield.passed += units;
    else if (result == QLatin1String("already-provisioned"))
        yield.alreadyProvisioned += units;
    else if (errorClass == kNotVerified)
        yield.notVerified += units;
    else
        yield.failed += units;
}

} // namespace

std::optional<double> Ledger::Yield::percent() const
{
    if (passed + failed == 0)
        return std::nullopt;
    return 100.0 * passed / (passed + failed);
}

Ledger::Result<Ledger::Status> Ledger::status(const AddressRange &range)
{
    Result<Status> result;
    Status &status = result.value;
    status.range = range;
    result.error = read(QStringLiteral("read the status"), [&]() -> QString {
        QSqlQuery query(database());
        query.setForwardOnly(true);
        QString error =
            sql::run(query,
                     QStringLiteral("SELECT station, state, COUNT(*) FROM addresses"
                                    " WHERE address BETWEEN ? AND ? GROUP BY station, state"),
                     {qint64(range.first), qint64(range.last)});
        if (!error.isEmpty())
            return error;
        while (query.next()) {
            const std::optional<AddressState> state = stateFromName(query.value(1).toString());
            if (!state)
                continue;
            const int addresses = query.value(2).toInt();
            status.perState[int(*state)] += addresses;
            status.perStation[query.value(0).toString()][int(*state)] += addresses;
        }
        query.finish();

        // A row per station, day and outcome: as many as the line has
        // stations and days, whatever the number of units.
        error =
            sql::run(query, QStringLiteral("SELECT r.station, substr(u.started, 1, 10), u.result,"
                                           " u.error_class, COUNT(*) FROM units u JOIN runs r ON"
                                           " r.id = u.run_id GROUP BY r.station,"
                                           " substr(u.started, 1, 10), u.result, u.error_class"));
        if (!error.isEmpty())
            return error;
        while (query.next()) {
            const QString unitResult = query.value(2).toString();
            const QString errorClass = query.value(3).toString();
            const int units = query.value(4).toInt();
            count(status.unitsPerStation[query.value(0).toString()], unitResult, errorClass, units);
            count(status.unitsPerDay[query.value(1).toString()], unitResult, errorClass, units);
            if (unitResult == QLatin1String("failed") && errorClass != kNotVerified)
                status.failuresByClass[errorClass] += units;
        }
        query.finish();
        bool released = false;
        return lowestFree(query, range, status.nextFree, released);
    });
    return result;
}

} // namespace korva::production
