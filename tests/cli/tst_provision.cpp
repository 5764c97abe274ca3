#include "moduleemulator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using korva::emu::ModuleEmulator;

namespace
{

constexpr int kFinishMs = 30000;
// Longer than the 0.5 s before a second write, so a unit leaves only once done.
constexpr int kSwapMs = 800;

// Each unit's line as "local-address|result|differences|writes".
QStringList summarise(const QByteArray &lines)
{
    QStringList units;
    for (const QByteArray &line : lines.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject unit = QJsonDocument::fromJson(line).object();
        QStringList differing;
        for (const QJsonValue &key : unit.value("differences").toArray())
            differing << key.toString();
        units << QStringLiteral("%1|%2|%3|%4")
                     .arg(unit.value("local-address").toString(), unit.value("result").toString(),
                          differing.join(u','))
                     .arg(unit.value("writes").toInt());
    }
    return units;
}

int packetsWritten(const ModuleEmulator &emulator)
{
    int packets = 0;
    for (const auto &burst : emulator.bursts())
        packets += burst.direction == korva::emu::WireByte::Direction::ToModule &&
                   burst.bytes.size() == ModuleEmulator::kConfigSize;
    return packets;
}

} // namespace

class TestProvision : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_link = m_dir.filePath("unit");
        m_profile = m_dir.filePath("profile.json");
        QFile profile(m_profile);
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
        profile.close();
        m_emulator = std::make_unique<ModuleEmulator>();
        m_emulator->setLinkPath(m_link);
        m_emulator->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
    }

    void start(QProcess &process, const QStringList &arguments)
    {
        process.setProgram(QStringLiteral(KORVA_CLI_PROGRAM));
        process.setArguments(QStringList{"provision", "--port", m_link, "--profile", m_profile} +
                             arguments);
        process.start();
        QVERIFY(process.waitForStarted());
    }

    // Units one after another, each taken off once programmed and a new one
    // attached at the same path: one line each, in order.
    void units_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<int>>("kept");
        QTest::addColumn<bool>("absentAtStart");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("packets");

        QTest::newRow("three in a row, address carried")
            << QStringList{"--count", "3", "--local-address-from", "0000FFFF"} << QList<int>{}
            << false << 0 << QStringList{"0000FFFF|ok||1", "00010000|ok||1", "00010001|ok||1"} << 3;
        QTest::newRow("wrong byte kept: written twice, failed")
            << QStringList{"--count", "1"} << QList<int>{10} << false << 1
            << QStringList{"01020304|failed|tx-power|2"} << 2;
        QTest::newRow("device absent at first, then attached")
            << QStringList{"--count", "1", "--local-address-from", "a0:b0:c0:d0"} << QList<int>{}
            << true << 0 << QStringList{"A0B0C0D0|ok||1"} << 1;
    }

    void units()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<int>, kept);
        QFETCH(bool, absentAtStart);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        QFETCH(int, packets);
        m_emulator->setKeptBytes(kept);
        if (absentAtStart)
            m_emulator->hangUp();

        QProcess process;
        start(process, arguments);
        if (absentAtStart) {
            QByteArray err;
            QTRY_VERIFY(
                (err += process.readAllStandardError()).contains("Waiting for a module on"));
            QTest::qWait(1500);
            QVERIFY(m_emulator->plugInNewUnit(ModuleEmulator::kDefaultConfig));
        }
        QVERIFY(process.waitForFinished(kFinishMs));
        QCOMPARE(summarise(process.readAllStandardOutput()), lines);
        QCOMPARE(process.exitCode(), code);
        QCOMPARE(packetsWritten(*m_emulator), packets);
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // A stop between units ends the run at once; every finished unit is in the
    // log as on stdout, and the module is left in data mode.
    void sigtermKeepsEveryFinishedUnit()
    {
        const QString log = m_dir.filePath("units.jsonl");
        QProcess process;
        start(process, {"--log", log, "-q"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= 2,
                                 kFinishMs);
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(kFinishMs));
        out += process.readAllStandardOutput();
        QCOMPARE(process.exitCode(), 0);
        QFile written(log);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), out);
        QCOMPARE(summarise(out).mid(0, 2), (QStringList{"01020304|ok||1", "01020304|ok||1"}));
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // Refused before the port is opened: nothing reaches the module.
    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("addresses past FFFFFFFF")
            << QStringList{"--local-address-from", "FFFFFFFE", "--count", "3"}
            << "would pass FFFFFFFF";
        QTest::newRow("not an address")
            << QStringList{"--local-address-from", "12345"} << "is not an address";
        QTest::newRow("log not writable")
            << QStringList{"--log", "/nonexistent/units.jsonl"} << "cannot open the log";
    }

    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess process;
        start(process, arguments);
        QVERIFY(process.waitForFinished(kFinishMs));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(process.readAllStandardError().contains(message.toUtf8()), qPrintable(message));
        QVERIFY(m_emulator->receivedBytes().isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QString m_link;
    QString m_profile;
    std::unique_ptr<ModuleEmulator> m_emulator;
};

QTEST_GUILESS_MAIN(TestProvision)
#include "tst_provision.moc"
