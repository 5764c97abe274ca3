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

#include <csignal>
#include <memory>
#include <vector>

using korva::emu::ModuleEmulator;
using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 90000;
constexpr int kSwapMs = 300;

// Every pause on one line at least as long as a single port alone keeps it.
void checkGaps(const ModuleEmulator &emulator)
{
    const QList<WireBurst> sent = sentBursts(emulator);
    for (qsizetype i = 0; i + 1 < sent.size(); ++i) {
        const QByteArray &now = sent.at(i).bytes;
        const QByteArray &next = sent.at(i + 1).bytes;
        int pauseMs = 0;
        if (now == "+++")
            pauseMs = next.size() == ModuleEmulator::kConfigSize ? 200 : 100;
        else if (now.size() == ModuleEmulator::kConfigSize)
            pauseMs = 200;
        else if (now == "---" && i > 0 &&
                 sent.at(i - 1).bytes.size() == ModuleEmulator::kConfigSize)
            pauseMs = 500;
        QVERIFY2(gapAtLeast(sent.at(i), sent.at(i + 1), pauseMs),
                 qPrintable(QStringLiteral("%1 ms after %2 at %3 us")
                                .arg(pauseMs)
                                .arg(QString::fromLatin1(now.toHex()))
                                .arg(sent.at(i).lastUsec)));
    }
}

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
    // line keeps the pauses of a port on its own.
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
        int toFirst = 0;
        if (fault == "vanish") {
            // The first line goes the moment its first packet is through.
            first.setByteObserver([&](const WireByte &byte) {
                if (byte.direction == WireByte::Direction::ToModule &&
                    ++toFirst == 9 + ModuleEmulator::kConfigSize)
                    first.hangUp();
            });
        }
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
        for (const auto &process : processes) {
            const Outcome outcome = finish(*process);
            codes << outcome.code;
            out += outcome.out.toUtf8();
        }
        first.setByteObserver({});

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
            checkGaps(line);
            QTRY_VERIFY(!line.inCommandMode());
        }
        QCOMPARE(onTheWire, addresses);
        const Outcome check = runCli({"ledger", "check", "--ledger", where});
        QVERIFY2(check.code == 0 && check.out.contains("No faults.") &&
                     !check.out.contains("never recorded"),
                 qPrintable(check.out));
    }

    // However a run ends (a stop, or killed at any point of a unit), the same
    // command again goes on with the next free address: none is given twice,
    // and an address whose outcome the killed run never recorded is listed.
    void resumes_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("afterBytes"); // 0: after the first line; -1: before Set
        QTest::addColumn<QString>("left");   // what the first address is left as
        QTest::newRow("stopped after a unit") << "sqlite" << int(SIGTERM) << 0 << "";
        QTest::newRow("killed before Set") << "sqlite" << int(SIGKILL) << -1 << "reserved";
        QTest::newRow("killed before the packet") << "postgres" << int(SIGKILL) << 9 << "sent";
        QTest::newRow("killed after the packet")
            << "sqlite" << int(SIGKILL) << 9 + ModuleEmulator::kConfigSize << "sent";
        QTest::newRow("killed in the read-back")
            << "postgres" << int(SIGKILL) << 12 + ModuleEmulator::kConfigSize << "sent";
    }

    void resumes()
    {
        QFETCH(QString, database);
        QFETCH(int, signalNumber);
        QFETCH(int, afterBytes);
        QFETCH(QString, left);
        const QString where = newLedger(database);
        QVERIFY2(!where.isEmpty(), qPrintable(m_server->error()));
        ModuleEmulator &line = station(-1);
        const QStringList arguments{"--addresses", "00020000-0002FFFF", "--count", "3"};
        QProcess first;
        std::atomic<qint64> pid = 0;
        std::atomic<int> seen = 0;
        line.setByteObserver([&](const WireByte &byte) {
            if (byte.direction == WireByte::Direction::ToModule && ++seen == afterBytes)
                ::kill(pid_t(pid.load()), signalNumber);
        });
        startProvision(first, 1, where, arguments);
        pid = first.processId();
        if (afterBytes == 0) {
            QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), kFinishMs);
            ::kill(pid_t(pid.load()), signalNumber);
        } else if (afterBytes < 0) {
            // The address is taken once the finding read ends; Set follows 0.5 s later.
            QTRY_COMPARE_WITH_TIMEOUT(line.receivedBytes(), QByteArray("+++---"), kFinishMs);
            QTest::qWait(250);
            ::kill(pid_t(pid.load()), signalNumber);
        }
        finish(first);
        line.setByteObserver({});

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
    // written: left alone and recorded (not counted), or with --reprovision
    // written again under the address it holds.
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
