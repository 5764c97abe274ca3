#pragma once

#include "pgserver.h"
#include "production/ledger.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// What the ledger's tests share: ledgers on a real SQLite file or on the
// private PostgreSQL server, opened as the program opens them, and written
// behind the ledger's back as a damaged or tampered ledger would be.
namespace ledgertest
{

using namespace korva::production;

inline LedgerLocation locationOf(const QString &where)
{
    return std::get<LedgerLocation>(parseLedgerSpec(where));
}

inline std::unique_ptr<Ledger> openLedger(const QString &where, QString &error,
                                          Ledger::OpenMode mode = Ledger::OpenMode::CreateIfMissing)
{
    auto opened = Ledger::open(locationOf(where), mode);
    if (const auto *refusal = std::get_if<QString>(&opened)) {
        error = *refusal;
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<Ledger>>(opened));
}

// A unit's record as a slot makes it, for an address brought to `state`.
inline UnitRecord unitRecord(qint64 runId, int sequence, quint32 address, AddressState state)
{
    UnitRecord unit;
    unit.runId = runId;
    unit.sequence = sequence;
    unit.started = currentTime();
    unit.ended = unit.started.addMSecs(1100);
    unit.device = QStringLiteral("/dev/ttyUSB0");
    unit.before = QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");
    unit.packetLeft = state != AddressState::Released;
    unit.address = address;
    unit.addressState = state;
    unit.result =
        state == AddressState::Passed ? QStringLiteral("passed") : QStringLiteral("failed");
    if (unit.packetLeft) {
        unit.packet = QByteArray::fromHex("7F7F7F7F000100000620071E1E0023");
        unit.readBack = unit.packet;
        unit.writes = 1;
    } else {
        unit.errorClass = QStringLiteral("port-lost");
    }
    if (state == AddressState::Sent)
        unit.errorClass = QStringLiteral("stopped");
    if (state == AddressState::Failed)
        unit.differences << FieldDifference{QStringLiteral("tx-power"), QStringLiteral("-21 dBm"),
                                            QStringLiteral("0 dBm")};
    return unit;
}

// One unit as a slot runs it: take, mark sent, record with its outcome (a
// released unit gives its address back in its record). The address, or the
// failure.
inline std::variant<quint32, QString> provisionUnit(Ledger &ledger, const AddressRange &range,
                                                    qint64 run, int sequence, AddressState state,
                                                    const QString &station = QStringLiteral("line"))
{
    const auto taken = ledger.reserve(range, run, station);
    if (!taken.ok() || !taken.value)
        return taken.ok() ? QStringLiteral("range used up") : taken.error;
    QString failure =
        state == AddressState::Released ? QString() : ledger.markSent(*taken.value, run);
    if (failure.isEmpty())
        failure = ledger.recordUnit(unitRecord(run, sequence, *taken.value, state));
    if (!failure.isEmpty())
        return failure;
    return *taken.value;
}

// Ledgers for the rows of a data-driven test whose tags begin with their
// database ("sqlite: ..." or "postgres: ..."): an SQLite file in a folder of its
// own, or a database on the private server, started at the first.
class LedgerFixture
{
public:
    // A new, empty ledger; empty if the server failed (see serverError()).
    QString newLedger()
    {
        const QString name = QStringLiteral("ledger_%1").arg(++m_ledgers);
        if (isSqlite()) {
            QDir(m_dir.path()).mkpath(name);
            return m_dir.filePath(name + QStringLiteral("/ledger.sqlite"));
        }
        if (!m_server)
            m_server = std::make_unique<PgServer>();
        return m_server->createDatabase(name);
    }
    QString serverError() const { return m_server ? m_server->error() : QString(); }
    PgServer *server() const { return m_server.get(); }
    QString folder() const { return m_dir.path(); }
    static bool isSqlite() { return QByteArray(QTest::currentDataTag()).startsWith("sqlite"); }
    // What the current row does: the part of its tag after the database.
    static QString rowCase()
    {
        return QString::fromUtf8(QTest::currentDataTag()).section(u':', 1).trimmed();
    }

    // Runs statements on a ledger's database behind its back, in one
    // transaction; the database's complaint, or empty.
    QString tamper(const QString &where, const QStringList &statements)
    {
        const LedgerLocation location = locationOf(where);
        if (location.kind == LedgerLocation::Kind::Postgres)
            return m_server->sql(location.database,
                                 QStringLiteral("BEGIN; %1; COMMIT").arg(statements.join(u';')))
                       ? QString()
                       : m_server->error();
        QString error;
        {
            QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
            db.setDatabaseName(location.path);
            if (!db.open())
                error = db.lastError().text();
            QSqlQuery query(db);
            for (const QString &statement :
                 QStringList{"BEGIN"} + statements + QStringList{"COMMIT"})
                if (error.isEmpty() && !query.exec(statement))
                    error = query.lastError().text();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
        return error;
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PgServer> m_server;
    int m_ledgers = 0;
};

// `count` unit rows of run `run` for the addresses from `first` up, passed, in
// one statement: a ledger of many records made quickly (their addresses are
// not taken; the caller inserts those when it needs them).
inline QString bulkUnits(int run, qint64 first, int count)
{
    return QStringLiteral(
               "INSERT INTO units (run_id, sequence, slot, started, ended, device, adapter_serial,"
               " adapter_location, block_before, packet, read_back, packet_left, address,"
               " address_state, reprovision, result, differences, error_class, error, writes)"
               " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %3)"
               " SELECT %1, i, 1, '%4', '%4', '/dev/ttyUSB0', 'A10K3D', '1-1.2',"
               " '7F7F7F7F010203040620001E1E0023', '7F7F7F7F000100000620071E1E0023',"
               " '7F7F7F7F000100000620071E1E0023', 1, %2 + i - 1, 'passed', 0, 'passed', '[]',"
               " '', '', 1 FROM n")
        .arg(run)
        .arg(first)
        .arg(count)
        .arg(timeText(currentTime()));
}

// The addresses of those units, passed by run `run`.
inline QString bulkAddresses(int run, qint64 first, int count)
{
    return QStringLiteral("INSERT INTO addresses (address, state, run_id, station, taken, changed)"
                          " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                          " WHERE i < %3) SELECT %2 + i - 1, 'passed', %1, 'bulk', '%4', '%4'"
                          " FROM n")
        .arg(run)
        .arg(first)
        .arg(count)
        .arg(timeText(currentTime()));
}

} // namespace ledgertest
