#include "cliprocess.h"
#include "moduleemulator.h"
#include "pgserver.h"
#include "provisioning.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <sys/resource.h>

using korva::emu::ModuleEmulator;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 60000;
constexpr int kSwapMs = 300;
// The poll that finds a unit and Set's "+++" come first: the next byte is the packet's.
constexpr int kPacketStarts = 10;

// Whether a process of the group still runs (a zombie runs no more).
bool groupAlive(qint64 group)
{
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
        if (fields.size() > 2 && fields[0] != "Z" && fields[2].toLongLong() == group)
            return true;
    }
    return false;
}

QList<QJsonObject> jsonLines(const QByteArray &bytes)
{
    QList<QJsonObject> records;
    for (const QByteArray &line : bytes.split('\n'))
        if (!line.isEmpty())
            records << QJsonDocument::fromJson(line).object();
    return records;
}

} // namespace

// Faults between the ledger, the journal, the slots and the signals, each
// through korva-cli as a process on emulated slots against a real ledger:
// what a user relies on is asserted, the unit's record in the journal, what
// the slot showed, the exit code, the ledger after `ledger sync`, and the
// module back in data mode.
class TestRecordFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile profile(m_dir.filePath("profile.json"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm"})");
        m_server = std::make_unique<PgServer>();
        QVERIFY2(m_server->isRunning(), qPrintable(m_server->error()));
        QVERIFY(m_server->sql("postgres", "CREATE ROLE line LOGIN"));
    }

    void init()
    {
        ++m_case;
        QVERIFY(QDir(m_dir.path()).mkpath(caseFile("data")));
        m_line = std::make_unique<ModuleEmulator>();
        m_line->setLinkPath(caseFile("slot"));
        m_line->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
    }

    // The ledger refuses the unit's record once its packet has left: the unit
    // is in the journal, shown as not recorded and not counted, the run halts
    // before the next unit with exit 6 naming the ledger, and once the ledger
    // is whole again `ledger check` finds the unit missing and `ledger sync`
    // carries it in, once.
    void ledgerRefuses_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("timeoutS"); // --ledger-timeout
        QTest::addColumn<QString>("told"); // in the run's last message
        QTest::newRow("sqlite, locked by another connection")
            << "sqlite"
            << "lock" << 10 << "database is locked";
        QTest::newRow("sqlite, disk full") << "sqlite"
                                           << "full" << 10 << "cannot record unit 1";
        QTest::newRow("postgres, server stopped fast")
            << "postgres"
            << "stop fast" << 10 << "cannot record unit 1";
        QTest::newRow("postgres, server stopped immediately")
            << "postgres"
            << "stop immediate" << 10 << "cannot record unit 1";
        QTest::newRow("postgres, privilege revoked") << "postgres"
                                                     << "revoke" << 10 << "permission denied";
        QTest::newRow("postgres, backend hung")
            << "postgres"
            << "hang" << 2 << "no answer within 2 s (--ledger-timeout)";
        QTest::newRow("postgres, whole server hung")
            << "postgres"
            << "hang server" << 2 << "no answer within 2 s (--ledger-timeout)";
    }

    void ledgerRefuses()
    {
        QFETCH(QString, database);
        QFETCH(QString, fault);
        QFETCH(int, timeoutS);
        QFETCH(QString, told);
        const QString where = newLedger(database, fault == "revoke" ? "line" : "korva");
        QVERIFY2(!where.isEmpty(), qPrintable(m_server->error()));
        QSqlDatabase locker;
        QList<qint64> hung;
        QElapsedTimer sinceFault;
        const auto inject = [&](qint64 pid) {
            sinceFault.start();
            if (fault == "lock") {
                locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
                locker.setDatabaseName(where);
                QVERIFY(locker.open() && QSqlQuery(locker).exec("BEGIN EXCLUSIVE"));
            } else if (fault == "full") {
                const rlimit full{rlim_t(journalBytes() + 4096), RLIM_INFINITY};
                QCOMPARE(::prlimit(pid_t(pid), RLIMIT_FSIZE, &full, nullptr), 0);
            } else if (fault.startsWith("stop")) {
                QVERIFY2(m_server->stop(fault.section(' ', 1)), qPrintable(m_server->error()));
            } else if (fault == "revoke") {
                QVERIFY(m_server->sql(databaseName(), "REVOKE INSERT ON units FROM line"));
            } else if (fault.startsWith("hang")) {
                hung << korvaBackend();
                if (fault == "hang server")
                    hung << m_server->mainProcess();
                for (const qint64 process : std::as_const(hung))
                    QVERIFY(process > 0 && ::kill(pid_t(process), SIGSTOP) == 0);
            }
        };
        Outcome outcome;
        provision(where, {"--ledger-timeout", QString::number(timeoutS)}, kPacketStarts, inject,
                  outcome);
        const qint64 faultToEndMs = sinceFault.elapsed();
        if (fault == "lock") {
            locker.close();
            locker = {};
            QSqlDatabase::removeDatabase("locker");
        } else if (fault.startsWith("stop")) {
            QVERIFY2(m_server->start(), qPrintable(m_server->error()));
        } else if (fault == "revoke") {
            QVERIFY(m_server->sql(databaseName(), "GRANT INSERT ON units TO line"));
        } else {
            for (const qint64 process : std::as_const(hung))
                ::kill(pid_t(process), SIGCONT);
        }
        // The first call that found no answer ends the run: the run's end is
        // not waited for again, nor a new connection to a server that accepts none.
        if (!hung.isEmpty())
            QVERIFY2(faultToEndMs < (timeoutS + 3) * 1000,
                     qPrintable(QString::number(faultToEndMs)));

        QCOMPARE(outcome.code, 6);
        QVERIFY2(
            outcome.err.contains("slot 1 " + caseFile("slot") + ": PASS, NOT RECORDED 00050000") &&
                outcome.err.contains("total: passed 0,") &&
                outcome.err.contains("korva-cli: ledger ") && outcome.err.contains(told) &&
                outcome.err.contains("journal: " + journalPath()),
            qPrintable(outcome.err));
        QCOMPARE(
            jsonLines(outcome.out.toUtf8()).value(0).value("ledger-error").toString().isEmpty(),
            false);
        QCOMPARE(packetAddresses(*m_line), QList<quint32>{0x50000});
        QTRY_VERIFY(!m_line->inCommandMode());
        QCOMPARE(journalUnit(1).value("result").toString(), QString("passed"));
        QCOMPARE(journalUnit(1).value("ledger").toString(), QString("pending"));
        QVERIFY(!journalTook(1));

        const Outcome missing = runWithData({"ledger", "check", "--ledger", where});
        QVERIFY2(missing.code == 1 && missing.out.contains("unit 1 of run 1 (00050000, passed)"),
                 qPrintable(missing.out + missing.err));
        const Outcome synced = runWithData({"ledger", "sync", "--ledger", where});
        QVERIFY2(synced.code == 0 && synced.out.contains("Carried 1 unit record"),
                 qPrintable(synced.out + synced.err));
        QVERIFY(journalTook(1));
        const Outcome again = runWithData({"ledger", "sync", "--ledger", where});
        QVERIFY2(again.code == 0 && again.out.contains("Nothing to carry"), qPrintable(again.out));
        const Outcome check = runWithData({"ledger", "check", "--ledger", where});
        QVERIFY2(check.code == 0 && check.out.contains("No faults."), qPrintable(check.out));
        QCOMPARE(summarise(runCli({"ledger", "export", "--ledger", where}).out.toUtf8()),
                 QStringList{"00050000|passed||1"});
    }

    // A stop while a unit is under way: the unit is on the same record in the
    // journal and the ledger, and a stop while the ledger hangs is honoured
    // without waiting for the ledger's bound, nor for a new connection to a
    // server that accepts none.
    void stops_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("hang"); // what stops answering once the packet left
        QTest::addColumn<int>("atByte");   // the stop, after this byte to the module
        QTest::addColumn<int>("code");
        QTest::newRow("between packet and read-back") << "sqlite"
                                                      << "" << kPacketStarts + 2 << 128 + SIGTERM;
        QTest::newRow("while the ledger hangs") << "postgres"
                                                << "backend" << kPacketStarts << 6;
        QTest::newRow("while the whole server hangs") << "postgres"
                                                      << "server" << kPacketStarts << 6;
    }

    void stops()
    {
        QFETCH(QString, database);
        QFETCH(QString, hang);
        QFETCH(int, atByte);
        QFETCH(int, code);
        const QString where = newLedger(database, "korva");
        QList<qint64> hung;
        QElapsedTimer sinceStop;
        const auto stop = [&](qint64 pid) {
            if (!hang.isEmpty()) {
                hung << korvaBackend();
                if (hang == "server")
                    hung << m_server->mainProcess();
                for (const qint64 process : std::as_const(hung))
                    QVERIFY(process > 0 && ::kill(pid_t(process), SIGSTOP) == 0);
                QTest::qWait(1500); // the unit's record is on its way to the ledger
            }
            ::kill(pid_t(pid), SIGTERM);
            sinceStop.start();
        };
        Outcome outcome;
        provision(where, {"--ledger-timeout", "600"}, atByte, stop, outcome);
        const qint64 stoppingMs = sinceStop.elapsed();
        for (const qint64 process : std::as_const(hung))
            ::kill(pid_t(process), SIGCONT);
        QCOMPARE(outcome.code, code);
        // The grace of a call under way is half a second; a new connection to
        // a server that accepts none would wait its 5 s connection timeout.
        if (!hang.isEmpty())
            QVERIFY2(stoppingMs < 4000, qPrintable(QString::number(stoppingMs)));
        QTRY_VERIFY(!m_line->inCommandMode());
        const QJsonObject unit = journalUnit(1);
        QCOMPARE(unit.value("packet-left").toBool(), true);
        // What the slot showed agrees with the record: a pass, or a unit to set aside.
        const QString slot = "slot 1 " + caseFile("slot") + ": ";
        QVERIFY2(unit.value("result") == "passed"
                     ? outcome.err.contains(slot + "PASS")
                     : outcome.err.contains(slot + "FAIL 00050000") ||
                           outcome.err.contains(slot + "sent, not verified 00050000"),
                 qPrintable(outcome.err));
        QCOMPARE(journalTook(1), hang.isEmpty());
        if (!hang.isEmpty())
            QCOMPARE(runWithData({"ledger", "sync", "--ledger", where}).code, 0);
        const QList<QJsonObject> recorded =
            unitRecords(runCli({"ledger", "export", "--ledger", where}).out.toUtf8());
        QCOMPARE(recorded.size(), 1);
        for (const char *key : {"result", "address", "address-state", "error-class"})
            QCOMPARE(recorded[0].value(key), unit.value(key));
        const Outcome check = runWithData({"ledger", "check", "--ledger", where});
        QVERIFY2(check.code == 0, qPrintable(check.out));
    }

    // The command after each unit: its whole group ends at the limit whatever
    // the shell did, a Ctrl-C ends the final wait for it, its outcome is stored
    // with the unit, a failure is said with the unit's slot and address, and
    // with --on-unit-required a failed command fails the unit.
    void hooks_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("told");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("hookStatus");
        QTest::newRow("leaves a child that ignores SIGTERM")
            << QStringList{"--on-unit",
                           "echo $$ > GROUP; (trap '' TERM; exec sleep 300) & exec sleep 100",
                           "--on-unit-timeout", "1"}
            << 0 << ": --on-unit for 00050000 (run 1 unit 1): timed out after 1 s"
            << "passed"
            << "timed out after 1 s";
        QTest::newRow("Ctrl-C in the final wait")
            << QStringList{"--on-unit", "echo $$ > GROUP; exec sleep 100", "--on-unit-timeout",
                           "60"}
            << 128 + SIGINT << "Ctrl-C ends them"
            << "passed"
            << "stopped with the run";
        QTest::newRow("required, fails")
            << QStringList{"--on-unit", "echo no label >&2; exit 3", "--on-unit-required"} << 1
            << "FAIL 00050000 --on-unit exit 3: no label"
            << "failed"
            << "exit 3";
        QTest::newRow("required, passes with the label's fields")
            << QStringList{"--on-unit", "cat > HANDED", "--on-unit-required"} << 0
            << "PASS 00050000"
            << "passed"
            << "exit 0";
    }

    void hooks()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, told);
        QFETCH(QString, result);
        QFETCH(QString, hookStatus);
        const QString where = newLedger("sqlite", {});
        arguments.replaceInStrings("GROUP", caseFile("group"));
        arguments.replaceInStrings("HANDED", caseFile("handed.json"));
        QProcess process;
        startProvision(process, where, QStringList{"--count", "1"} + arguments);
        if (code == 128 + SIGINT) {
            QByteArray err;
            QTRY_VERIFY_WITH_TIMEOUT(
                (err += process.readAllStandardError()).contains(told.toUtf8()), kFinishMs);
            ::kill(pid_t(process.processId()), SIGINT);
        }
        const Outcome outcome = finish(process, kFinishMs);
        QCOMPARE(outcome.code, code);
        if (code != 128 + SIGINT)
            QVERIFY2(outcome.err.contains(told), qPrintable(outcome.err));
        QCOMPARE(summarise(outcome.out.toUtf8()).value(0).section('|', 0, 1), "00050000|" + result);
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "ledger");
        db.setDatabaseName(where);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec("SELECT result, hook_status, address_state FROM units") && query.next());
        QCOMPARE(query.value(0).toString(), result);
        QCOMPARE(query.value(1).toString(), hookStatus);
        QCOMPARE(query.value(2).toString(), result);
        query = QSqlQuery();
        db.close();
        db = {};
        QSqlDatabase::removeDatabase("ledger");
        QFile group(caseFile("group"));
        if (group.open(QIODevice::ReadOnly))
            QVERIFY(!groupAlive(group.readAll().trimmed().toLongLong()));
        QFile handed(caseFile("handed.json"));
        if (handed.open(QIODevice::ReadOnly)) {
            const QJsonObject label = QJsonDocument::fromJson(handed.readAll()).object();
            QCOMPARE(label.value("station").toString(), QString("station-1"));
            QCOMPARE(label.value("profile").toString(), QString("profile.json"));
            QCOMPARE(label.value("profile-sha256").toString().size(), 64);
            QCOMPARE(label.value("result").toString(), QString("passed"));
            const QJsonObject fields = label.value("fields").toObject();
            QCOMPARE(fields.value("local-address").toString(), QString("00050000"));
            QCOMPARE(fields.value("tx-power").toString(), QString("-21 dBm"));
        }
        QTRY_VERIFY(!m_line->inCommandMode());
    }

private:
    QString caseFile(const QString &name) const
    {
        return m_dir.filePath(QStringLiteral("%1/%2").arg(m_case).arg(name));
    }
    QString databaseName() const { return QStringLiteral("case%1").arg(m_case); }

    // An SQLite file, or a database on the server owned by `owner`.
    QString newLedger(const QString &database, const QString &owner)
    {
        if (database == "sqlite")
            return caseFile("ledger.sqlite");
        QString url = m_server->createDatabase(databaseName());
        if (url.isEmpty() ||
            !m_server->sql("postgres",
                           QString("ALTER DATABASE %1 OWNER TO %2").arg(databaseName(), owner)))
            return {};
        return url.replace("korva@", owner + '@');
    }

    qint64 korvaBackend()
    {
        return m_server
            ->value("postgres", QString("SELECT pid FROM pg_stat_activity WHERE application_name = "
                                        "'korva' AND datname = '%1'")
                                    .arg(databaseName()))
            .toLongLong();
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", caseFile("data"));
        return environment;
    }

    QString journalPath() const
    {
        const QDir folder(caseFile("data/KORVA/journal"));
        return folder.filePath(folder.entryList({"*.jsonl"}, QDir::Files).value(0));
    }
    qint64 journalBytes() const { return QFileInfo(journalPath()).size(); }
    QList<QJsonObject> journal() const
    {
        QFile file(journalPath());
        return jsonLines(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    QJsonObject journalUnit(int sequence) const
    {
        for (const QJsonObject &record : journal())
            if (record.value("type") == "unit" && record.value("sequence") == sequence)
                return record;
        return {};
    }
    bool journalTook(int sequence) const
    {
        for (const QJsonObject &record : journal())
            if (record.value("type") == "ledger-took" && record.value("record") == "unit" &&
                record.value("sequence") == sequence)
                return true;
        return false;
    }

    Outcome runWithData(const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        startCli(process, arguments);
        return finish(process, kFinishMs);
    }

    void startProvision(QProcess &process, const QString &where, const QStringList &arguments)
    {
        process.setProcessEnvironment(environment());
        startCli(process, QStringList{"provision", "--profile", m_dir.filePath("profile.json"),
                                      "--port", caseFile("slot"), "--ledger", where, "--station",
                                      "station-1", "--addresses", "00050000-0005FFFF"} +
                              arguments);
        QVERIFY(process.waitForStarted());
    }

    // provision with --count 3; `act` runs on this thread once the module has
    // taken `atByte` bytes, given the process id.
    void provision(const QString &where, const QStringList &arguments, int atByte,
                   const std::function<void(qint64)> &act, Outcome &outcome)
    {
        std::atomic<int> seen = 0;
        m_line->setByteObserver([&](const WireByte &byte) {
            if (byte.direction == WireByte::Direction::ToModule)
                ++seen;
        });
        QProcess process;
        startProvision(process, where, QStringList{"--count", "3"} + arguments);
        QTRY_VERIFY_WITH_TIMEOUT(seen >= atByte, kFinishMs);
        act(process.processId());
        outcome = finish(process, kFinishMs);
        m_line->setByteObserver({});
    }

    QTemporaryDir m_dir;
    std::unique_ptr<PgServer> m_server;
    std::unique_ptr<ModuleEmulator> m_line;
    int m_case = 0;
};

QTEST_GUILESS_MAIN(TestRecordFaults)
#include "tst_recordfaults.moc"
