#include "cliprocess.h"
#include "moduleemulator.h"
#include "pgserver.h"
#include "provisioning.h"
#include "wire.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <optional>
#include <vector>

using korva::emu::ModuleEmulator;
using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 90000;
constexpr int kSwapMs = 300;

// Every unit the ledger recorded, in the order of its runs.
QList<QJsonObject> ledgerUnits(const QString &where)
{
    return unitRecords(runCli({"ledger", "export", "--ledger", where}).out.toUtf8());
}

} // namespace

class TestProvisionLedger : public QObject
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
    }

    void init()
    {
        m_lines.clear();
        ++m_case;
    }

    // Stations at once on one ledger, as runs of their own or as the slots of
    // one run, each on a line whose units are swapped as they are done: no
    // address is given twice, --count is a run's total over its slots, every
    // packet on every line is a unit recorded for that line, in order, and each
    // line carries only polls and whole Sets, with the pauses of a port on its
    // own (a unit whose line drops mid-Set is sent, not verified).
    void stations_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<int>("runs");
        QTest::addColumn<int>("slotsEach");
        QTest::addColumn<int>("count"); // a run's; 0: until stopped after six units
        QTest::addColumn<QString>("fault");
        for (const char *database : {"sqlite", "postgres"})
            QTest::addRow("%s, four runs", database) << database << 4 << 1 << 5 << "";
        QTest::newRow("four slots of one run") << "sqlite" << 1 << 4 << 10 << "";
        QTest::newRow("four slots, one adapter gone mid-unit")
            << "sqlite" << 1 << 4 << 8 << "vanish";
        QTest::newRow("four slots, stopped") << "sqlite" << 1 << 4 << 0 << "stop";
        QTest::newRow("two slots, one unit: the other waits, then ends")
            << "sqlite" << 1 << 2 << 1 << "wait";
    }

    void stations()
    {
        QFETCH(QString, database);
        QFETCH(int, runs);
        QFETCH(int, slotsEach);
        QFETCH(int, count);
        QFETCH(QString, fault);
        const QString where = newLedger(database);
        QVERIFY2(!where.isEmpty(), qPrintable(m_server->error()));
        for (int i = 0; i < runs * slotsEach; ++i)
            station();
        ModuleEmulator &first = *m_lines.front();
        // The first line goes the moment its first packet is through.
        std::optional<WireTrigger> vanish;
        if (fault == "vanish")
            vanish.emplace(first, "+++P", 0, [&first] { first.hangUp(); });
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int run = 0; run < runs; ++run) {
            QStringList arguments{"--addresses", "00010000-0001FFFF", "-q"};
            if (count > 0)
                arguments << "--count" << QString::number(count);
            for (int slot = 2; slot <= slotsEach; ++slot)
                arguments << "--port" << linkOf(run * slotsEach + slot);
            processes.push_back(std::make_unique<QProcess>());
            startProvision(*processes.back(), run * slotsEach + 1, where, arguments);
        }
        QByteArray out;
        if (fault == "vanish") {
            QTRY_VERIFY_WITH_TIMEOUT(!first.isOpen(), kFinishMs);
            QTest::qWait(1000);
            QVERIFY(first.plugInNewUnit(ModuleEmulator::kDefaultConfig));
        } else if (fault == "stop") {
            QTRY_VERIFY_WITH_TIMEOUT(
                (out += processes[0]->readAllStandardOutput()).count('\n') >= 6, kFinishMs);
            ::kill(pid_t(processes[0]->processId()), SIGTERM);
        }
        QList<int> codes;
        QString shown;
        for (const auto &process : processes) {
            const Outcome outcome = finish(*process);
            codes << outcome.code;
            out += outcome.out.toUtf8();
            shown += outcome.err;
        }
        vanish.reset();

        const QList<QJsonObject> units = unitRecords(out);
        const auto addressOf = [](const QJsonObject &unit) {
            return unit.value("address").toString().toUInt(nullptr, 16);
        };
        QSet<quint32> addresses;
        int failed = 0;
        for (const QJsonObject &unit : units) {
            QVERIFY(unit.value("packet-left").toBool());
            addresses.insert(addressOf(unit));
            failed += unit.value("result") != "passed";
        }
        QCOMPARE(addresses.size(), units.size());
        if (count > 0) {
            QCOMPARE(units.size(), runs * count);
            QCOMPARE(*std::max_element(addresses.begin(), addresses.end()),
                     0x10000 + quint32(runs * count) - 1);
        }
        if (fault != "stop")
            QCOMPARE(failed, fault == "vanish" ? 1 : 0);
        QCOMPARE(shown.contains("sent, not verified"), fault == "vanish");
        if (fault == "wait")
            QVERIFY2(shown.contains("it waits for the units under way on the other slots"),
                     qPrintable(shown));
        QCOMPARE(codes, QList<int>(runs, failed > 0 ? 1 : 0));
        QCOMPARE(ledgerUnits(where).size(), units.size());
        QSet<quint32> onTheWire;
        for (int i = 1; i <= int(m_lines.size()); ++i) {
            const ModuleEmulator &line = *m_lines[size_t(i - 1)];
            QList<quint32> recorded;
            for (const QJsonObject &unit : units) {
                if (unit.value("device") == linkOf(i))
                    recorded << addressOf(unit);
            }
            QCOMPARE(packetAddresses(line), recorded);
            onTheWire += QSet<quint32>(recorded.cbegin(), recorded.cend());
            QCOMPARE(wireFault(line, fault == "vanish" && i == 1), QString());
            QTRY_VERIFY(!line.inCommandMode());
        }
        QCOMPARE(onTheWire, addresses);
        const Outcome check = runCli({"ledger", "check", "--ledger", where});
        QVERIFY2(check.code == 0 && check.out.contains("No faults.") &&
                     check.out.contains("never recorded") == (fault == "vanish"),
                 qPrintable(check.out));
    }

    // However a run ends (a stop, or killed at any point of a unit), the same
    // command again goes on with the next free address: none is given twice,
    // and an address whose outcome the run never recorded, or recorded as
    // sent but not verified, is listed. A stop after the packet lets the unit
    // be read back and recorded; a second stop leaves it sent, not verified.
    void resumes_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QList<int>>("signalNumbers");
        QTest::addColumn<QByteArray>("after"); // the wire's shape; empty: after the first line
        QTest::addColumn<int>("delayMs");      // the signals come this long after it
        QTest::addColumn<QString>("left");     // what the first address is left as
        QTest::addColumn<QString>("shown");    // on the first run's stderr
        const QList<int> kill{SIGKILL};
        const QList<int> term{SIGTERM};
        const QByteArray packet = "+++P";
        QTest::newRow("stopped after a unit") << "sqlite" << term << QByteArray() << 0 << ""
                                              << "PASS";
        QTest::newRow("killed with its address taken, before the packet")
            << "postgres" << kill << QByteArray("+++") << 100 << "sent"
            << "";
        QTest::newRow("killed after the packet") << "sqlite" << kill << packet << 0 << "sent"
                                                 << "";
        QTest::newRow("killed in the read-back")
            << "postgres" << kill << packet + "---+++" << 0 << "sent"
            << "";
        QTest::newRow("stopped after the packet") << "sqlite" << term << packet << 0 << ""
                                                  << "PASS 00020000";
        QTest::newRow("stopped twice after the packet")
            << "postgres" << QList<int>{SIGINT, SIGTERM} << packet << 0 << "sent"
            << "sent, not verified 00020000";
    }

    void resumes()
    {
        QFETCH(QString, database);
        QFETCH(QList<int>, signalNumbers);
        QFETCH(QByteArray, after);
        QFETCH(int, delayMs);
        QFETCH(QString, left);
        QFETCH(QString, shown);
        const QString where = newLedger(database);
        QVERIFY2(!where.isEmpty(), qPrintable(m_server->error()));
        ModuleEmulator &line = station(-1);
        const QStringList arguments{"--addresses", "00020000-0002FFFF", "--count", "3"};
        Outcome stopped;
        {
            QProcess first;
            std::atomic<qint64> pid = 0;
            WireTrigger stops(line, after, delayMs, [&] { sendSignals(pid, signalNumbers); });
            startProvision(first, 1, where, arguments);
            pid = first.processId();
            if (after.isEmpty()) {
                QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), kFinishMs);
                sendSignals(pid, signalNumbers);
            }
            stopped = finish(first);
        }
        QVERIFY2(stopped.err.contains(shown), qPrintable(stopped.err));
        // A killed run cannot send its "---".
        QCOMPARE(wireFault(line, signalNumbers.contains(SIGKILL)), QString());

        QVERIFY(line.plugInNewUnit(ModuleEmulator::kDefaultConfig));
        QProcess again;
        startProvision(again, 1, where,
                       QStringList{"--addresses", "00020000-0002FFFF", "--count", "1"});
        const Outcome resumed = finish(again);
        QCOMPARE(resumed.code, 0);
        QCOMPARE(summarise(resumed.out.toUtf8()), QStringList{"00020001|passed||1"});
        QVERIFY2(resumed.err.contains("next free address: 00020002"), qPrintable(resumed.err));

        QSet<QString> issued;
        for (const QJsonObject &unit : ledgerUnits(where)) {
            if (unit.value("packet-left").toBool()) {
                QVERIFY(!issued.contains(unit.value("address").toString()));
                issued.insert(unit.value("address").toString());
            }
        }
        const Outcome check = runCli({"ledger", "check", "--ledger", where});
        QCOMPARE(check.code, 0);
        QCOMPARE(check.out.contains("never recorded"), !left.isEmpty());
        QVERIFY2(left.isEmpty() || check.out.contains("00020000 " + left), qPrintable(check.out));
    }

    // A ledger that can no longer be written stops the run before the next
    // unit, with the module in data mode and a message that names the ledger:
    // an SQLite file another program keeps locked (once its log is open, the
    // folder's permissions no longer matter), a server turned read-only.
    void readOnlyLedger_data()
    {
        QTest::addColumn<QString>("database");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgres") << "postgres";
    }

    void readOnlyLedger()
    {
        QFETCH(QString, database);
        const QString where = newLedger(database);
        QVERIFY2(!where.isEmpty(), qPrintable(m_server->error()));
        const ModuleEmulator &line = station();
        QProcess process;
        startProvision(process, 1, where, {"--addresses", "00030000-0003FFFF", "--count", "3"});
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), kFinishMs);
        Outcome outcome;
        if (database == "sqlite") {
            {
                QSqlDatabase lock = QSqlDatabase::addDatabase("QSQLITE", "lock");
                lock.setDatabaseName(where);
                QVERIFY(lock.open() && QSqlQuery(lock).exec("BEGIN EXCLUSIVE"));
                outcome = finish(process);
            }
            QSqlDatabase::removeDatabase("lock");
        } else {
            QVERIFY(setReadOnly(true));
            outcome = finish(process);
            QVERIFY(setReadOnly(false));
        }
        QCOMPARE(outcome.code, 6);
        QVERIFY2(outcome.err.contains("korva-cli: ledger ") &&
                     outcome.err.contains(database == "sqlite" ? "database is locked"
                                                               : "read-only transaction"),
                 qPrintable(outcome.err));
        QCOMPARE(summarise(outcome.out.toUtf8()), QStringList{"00030000|passed||1"});
        QCOMPARE(packetAddresses(line).size(), 1);
        QTRY_VERIFY(!line.inCommandMode());
    }

    // A unit the ledger holds as passed is recognised before anything is
    // written (the poll that meets it ends with "---" alone): left alone and
    // recorded (not counted), or with --reprovision written again under the
    // address it holds.
    void alreadyProvisioned_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("left alone")
            << QStringList{}
            << QStringList{"00040000|already-provisioned||0", "00040001|passed||1"};
        QTest::newRow("--reprovision")
            << QStringList{"--reprovision"} << QStringList{"00040000|passed||1"};
    }

    void alreadyProvisioned()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, lines);
        const QString where = newLedger("sqlite");
        ModuleEmulator &line = station(-1);
        const QStringList once{"--addresses", "00040000-0004FFFF", "--count", "1"};
        QProcess first;
        startProvision(first, 1, where, once);
        QCOMPARE(finish(first).code, 0);
        line.clearLog();

        QProcess again;
        startProvision(again, 1, where, once + arguments);
        if (lines.size() > 1) {
            QTRY_VERIFY_WITH_TIMEOUT(again.canReadLine(), kFinishMs);
            QVERIFY(line.plugInNewUnit(ModuleEmulator::kDefaultConfig));
        }
        const Outcome outcome = finish(again);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(summarise(outcome.out.toUtf8()), lines);
        QCOMPARE(outcome.err.contains("already provisioned as 00040000 on "), lines.size() > 1);
        QCOMPARE(packetAddresses(line).size(), 1);
        QCOMPARE(wireShape(line).startsWith("+++---"), lines.size() > 1);
        QCOMPARE(wireFault(line), QString());
        const Outcome check = runCli({"ledger", "check", "--ledger", where});
        QVERIFY2(check.code == 0 && !check.out.contains("never recorded"), qPrintable(check.out));
    }

    // Every unit keeping the profile's address is refused before any is
    // written when the ledger issued that address: exit 2, naming the address
    // and its record.
    void keptAddress()
    {
        const QString where = newLedger("sqlite");
        ModuleEmulator &line = station(-1);
        QProcess first;
        startProvision(first, 1, where, {"--addresses", "00050000-0005FFFF", "--count", "1"});
        QCOMPARE(finish(first).code, 0);
        line.clearLog();
        QFile profile(m_dir.filePath("kept.json"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"local-address": "00050000"})");
        profile.close();
        QProcess kept;
        startProvision(kept, 1, where,
                       {"--profile", profile.fileName(), "--keep-profile-address", "--count", "1"});
        const Outcome outcome = finish(kept);
        QCOMPARE(outcome.code, 2);
        QVERIFY2(outcome.err.contains("the profile's local address 00050000 was issued by the "
                                      "ledger SQLite ") &&
                     outcome.err.contains(": passed, taken ") &&
                     outcome.err.contains(" at station-1 by run 1 (unit 1)"),
                 qPrintable(outcome.err));
        QVERIFY(line.bursts().isEmpty());
    }

private:
    // A ledger of this test case's own: an SQLite file, or a database on the server.
    QString newLedger(const QString &database)
    {
        if (database == "sqlite") {
            QDir(m_dir.path()).mkdir(QString::number(m_case));
            return m_dir.filePath(QStringLiteral("%1/ledger.sqlite").arg(m_case));
        }
        return m_server->createDatabase(QStringLiteral("case%1").arg(m_case));
    }

    // An emulated station whose units are swapped once programmed (or stay).
    ModuleEmulator &station(int swapMs = kSwapMs)
    {
        m_lines.push_back(std::make_unique<ModuleEmulator>());
        m_lines.back()->setLinkPath(linkOf(int(m_lines.size())));
        m_lines.back()->setUnitSwap(swapMs, ModuleEmulator::kDefaultConfig);
        return *m_lines.back();
    }

    QString linkOf(int station) const
    {
        return m_dir.filePath(QStringLiteral("%1-station%2").arg(m_case).arg(station));
    }

    // korva-cli provision on one station; as root, without the capabilities that
    // override file permissions, so a read-only ledger is read-only to it.
    void startProvision(QProcess &process, int station, const QString &where,
                        const QStringList &arguments)
    {
        QStringList command{QStringLiteral(KORVA_CLI_PROGRAM),
                            "provision",
                            "--profile",
                            m_dir.filePath("profile.json"),
                            "--port",
                            linkOf(station),
                            "--ledger",
                            where,
                            "--station",
                            QStringLiteral("station-%1").arg(station)};
        if (::geteuid() == 0)
            command = QStringList{"setpriv", "--bounding-set",
                                  "-dac_override,-dac_read_search,-fowner", "--"} +
                      command;
        process.start(command.takeFirst(), command + arguments);
        QVERIFY(process.waitForStarted());
    }

    bool setReadOnly(bool readOnly)
    {
        return m_server->sql("postgres",
                             readOnly ? "ALTER SYSTEM SET default_transaction_read_only = on"
                                      : "ALTER SYSTEM RESET default_transaction_read_only") &&
               m_server->sql("postgres", "SELECT pg_reload_conf()");
    }

    QTemporaryDir m_dir;
    std::unique_ptr<PgServer> m_server;
    std::vector<std::unique_ptr<ModuleEmulator>> m_lines;
    int m_case = 0;
};

QTEST_GUILESS_MAIN(TestProvisionLedger)
#include "tst_provisionledger.moc"
