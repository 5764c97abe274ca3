#include "ledgerscale.h"

#include "ledgerbench.h"
#include "processinfo.h"
#include "production/ledger.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace korva::bench
{

using namespace production;

namespace
{

constexpr qint64 kFirst = 0x01000000;
const AddressRange kRange{quint32(kFirst), 0x01FFFFFF};

// A connection of the benchmark's own for the bulk inserts, beside the ledger's.
class Filler
{
public:
    explicit Filler(const LedgerLocation &where)
        : m_sqlite(where.kind == LedgerLocation::Kind::Sqlite)
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(m_sqlite ? "QSQLITE" : "QPSQL", QStringLiteral("filler"));
        db.setDatabaseName(m_sqlite ? where.path : where.database);
        db.setHostName(where.host);
        db.setPort(where.port);
        db.setUserName(where.user);
        if (!db.open())
            m_error = db.lastError().text();
        else if (m_sqlite)
            run(QStringLiteral("PRAGMA cache_size = -262144"));
    }
    ~Filler() { QSqlDatabase::removeDatabase(QStringLiteral("filler")); }
    Filler(const Filler &) = delete;
    Filler &operator=(const Filler &) = delete;

    QString error() const { return m_error; }

    // The addresses from `from` to `to` passed by run 1, each with its unit
    // record (numbered by its address), and the span from the range's first
    // address that holds them.
    QString fill(qint64 from, qint64 to)
    {
        const QString numbers =
            m_sqlite ? QStringLiteral("WITH RECURSIVE n(i) AS (SELECT %1 UNION ALL SELECT i + 1"
                                      " FROM n WHERE i < %2) SELECT i FROM n")
                           .arg(from)
                           .arg(to)
                     : QStringLiteral("SELECT generate_series(%1, %2) AS i").arg(from).arg(to);
        const QString now = timeText(currentTime());
        for (const QString &statement :
             {QStringLiteral("BEGIN"),
              QStringLiteral("INSERT INTO addresses (address, state, run_id, station, taken,"
                             " changed) SELECT i, 'passed', 1, 'bench', '%1', '%1' FROM (%2) AS n")
                  .arg(now, numbers),
              QStringLiteral(
                  "INSERT INTO units (run_id, sequence, slot, started, ended, device,"
                  " adapter_serial, adapter_location, block_before, packet, read_back,"
                  " packet_left, address, address_state, reprovision, result, differences,"
                  " error_class, error, writes) SELECT 1, i - %3, 1, '%1', '%1',"
                  " '/dev/ttyUSB0', 'A10K3D', '1-1.2', '7F7F7F7F010203040620001E1E0023',"
                  " '7F7F7F7F000100000620071E1E0023', '7F7F7F7F000100000620071E1E0023', 1, i,"
                  " 'passed', 0, 'passed', '[]', '', '', 1 FROM (%2) AS n")
                  .arg(now, numbers)
                  .arg(kFirst - 1),
              QStringLiteral("INSERT INTO issued_spans (low, high) SELECT %1, %1 WHERE NOT EXISTS"
                             " (SELECT 1 FROM issued_spans WHERE low = %1)")
                  .arg(kFirst),
              QStringLiteral("UPDATE issued_spans SET high = %1 WHERE low = %2")
                  .arg(to)
                  .arg(kFirst),
              QStringLiteral("COMMIT")})
            if (const QString error = run(statement); !error.isEmpty())
                return error;
        return {};
    }

private:
    QString run(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("filler")));
        return query.exec(statement) ? QString() : query.lastError().text();
    }

    bool m_sqlite;
    QString m_error;
};

// Runs a program to its end; its exit code, wall time, peak resident memory
// (read every 20 ms while it runs) and the last line of its output.
struct Measured {
    int code = -1;
    double seconds = 0;
    double peakMiB = 0;
    QByteArray lastLine;
};

Measured runMeasured(const QString &program, const QStringList &arguments)
{
    Measured measured;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted())
        return measured;
    const QString pid = QString::number(process.processId());
    QByteArray tail;
    qint64 peakKiB = 0;
    do {
        peakKiB = std::max(peakKiB, peakResidentKiB(pid));
        tail = (tail + process.readAllStandardOutput()).right(4096);
    } while (!process.waitForFinished(20));
    measured.seconds = double(clock.nsecsElapsed()) / 1e9;
    tail = (tail + process.readAllStandardOutput()).trimmed();
    measured.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    measured.peakMiB = double(peakKiB) / 1024.0;
    measured.lastLine = tail.split('\n').constLast();
    return measured;
}

} // namespace

LedgerScaleFigures measureLedgerScale(const QString &where, const QList<qint64> &sizes,
                                      int takesPerSize)
{
    LedgerScaleFigures figures;
    const LedgerLocation location = std::get<LedgerLocation>(parseLedgerSpec(where));
    BenchRun run = startBenchRun(location);
    figures.failure = run.failure;
    // Every address is issued from the range's first up, by bulk inserts or
    // by the takes measured.
    qint64 issued = 0;
    for (const qint64 size : sizes) {
        if (!figures.failure.isEmpty())
            break;
        if (size > issued) {
            Filler filler(location);
            figures.failure = filler.error();
            if (figures.failure.isEmpty())
                figures.failure = filler.fill(kFirst + issued, kFirst + size - 1);
            issued = size;
        }
        Samples samples;
        for (int take = 0; figures.failure.isEmpty() && take < takesPerSize; ++take) {
            QElapsedTimer clock;
            clock.start();
            const auto taken = run.ledger->reserve(kRange, run.id, QStringLiteral("bench"));
            const double ms = double(clock.nsecsElapsed()) / 1e6;
            if (!taken.ok() || !taken.value) {
                figures.failure = taken.ok() ? QStringLiteral("range used up") : taken.error;
                break;
            }
            samples.add(ms);
            figures.failure = run.ledger->markSent(*taken.value);
            if (figures.failure.isEmpty())
                figures.failure = run.ledger->recordUnit(
                    passedUnit(run.id, int(*taken.value - kFirst) + 1, *taken.value));
            ++issued;
        }
        figures.takeMs << QPair<qint64, Samples>{size, samples};
    }
    if (!figures.failure.isEmpty())
        return figures;
    const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/korva-cli");
    const Measured status = runMeasured(cli, {QStringLiteral("ledger"), QStringLiteral("status"),
                                              QStringLiteral("--ledger"), where});
    figures.statusSeconds = status.seconds;
    figures.statusPeakMiB = status.peakMiB;
    if (status.code != 0)
        figures.failure = QStringLiteral("ledger status: exit %1").arg(status.code);
    const Measured check = runMeasured(cli, {QStringLiteral("ledger"), QStringLiteral("check"),
                                             QStringLiteral("--ledger"), where});
    figures.checkSeconds = check.seconds;
    figures.checkPeakMiB = check.peakMiB;
    figures.checkOutcome =
        check.code == 0
            ? QString::fromUtf8(check.lastLine)
            : QStringLiteral("exit %1: %2").arg(check.code).arg(QString::fromUtf8(check.lastLine));
    return figures;
}

} // namespace korva::bench
