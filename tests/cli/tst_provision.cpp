#include "moduleemulator.h"
#include "provisioning.h"
#include "testsettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <optional>

using korva::emu::ModuleEmulator;
using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 30000;
// How long after it is done a unit is taken off, and the next one attached; a
// unit written twice stays longer than the 0.5 s between its writes.
constexpr int kSwapMs = 300;
constexpr int kSwapWrittenTwiceMs = 800;
// A unit that is not the default one in every byte but the channel.
const QByteArray kOtherUnit = QByteArray::fromHex("11223344556677880620031A1A0247");

int packetsWritten(const ModuleEmulator &emulator)
{
    return int(wireShape(emulator).count('P'));
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
        m_log = m_dir.filePath("units.jsonl");
        m_ledger = m_dir.filePath("ledger.sqlite");
        QFile::remove(m_log);
        QFile::remove(m_ledger);
        QFile profile(m_profile);
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(R"({"tx-power": "-21 dBm", "rf-frequency": "434"})");
        profile.close();
        // A job whose ports and addresses the command line replaces.
        QFile job(m_dir.filePath("job.json"));
        QVERIFY(job.open(QIODevice::WriteOnly));
        job.write(R"({"korva-job": 1, "ports": ["elsewhere/unit"], "addresses": "00010000-0001FFFF",
                      "target": 2, "order": "lot 7"})");
        m_emulator = std::make_unique<ModuleEmulator>();
        m_emulator->setLinkPath(m_link);
        m_emulator->setUnitSwap(kSwapMs, ModuleEmulator::kDefaultConfig);
    }

    // Units one after another, each taken off once programmed and a new one
    // attached at the same path: one line each, in order.
    void units_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<int>>("kept");
        QTest::addColumn<QString>("atFirst"); // "absent", "short", "gone" or nothing
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("told");

        QTest::newRow("three in a row, address carried")
            << QStringList{"--count", "3", "--local-address-from", "0000FFFF"} << QList<int>{} << ""
            << 0 << QStringList{"0000FFFF|passed||1", "00010000|passed||1", "00010001|passed||1"}
            << "";
        QTest::newRow("wrong byte kept: written twice, failed with both values")
            << QStringList{"--count", "1", "--keep-profile-address"} << QList<int>{10} << "" << 1
            << QStringList{"01020304|failed|tx-power:-21 dBm>0 dBm|2"}
            << "tx-power: expected -21 dBm, got 0 dBm";
        QTest::newRow("device absent at first, then attached")
            << QStringList{"--count", "1", "--local-address-from", "a0:b0:c0:d0"} << QList<int>{}
            << "absent" << 0 << QStringList{"A0B0C0D0|passed||1"} << "is not there yet: waiting";
        QTest::newRow("a short answer is told once")
            << QStringList{"--count", "1", "--keep-profile-address"} << QList<int>{} << "short" << 0
            << QStringList{"01020304|passed||1"}
            << "a module answers 10 of 15 bytes on %1: check the contact and the baud rate";
        QTest::newRow("a port given by number: its device recorded and shown")
            << QStringList{"BY-NUMBER", "--count", "1", "--keep-profile-address"} << QList<int>{}
            << "" << 0 << QStringList{"01020304|passed||1"} << "slot 1 %1: PASS 01020304";
        QTest::newRow("a unit gone before its packet is not counted")
            << QStringList{"--count", "2", "--keep-profile-address"} << QList<int>{} << "gone" << 1
            << QStringList{"01020304|failed|port-lost|0", "01020304|passed||1",
                           "01020304|passed||1"}
            << "";
        QTest::newRow("--count met by the range's last address")
            << QStringList{"--count", "2", "--addresses", "FFFFFFFE-FFFFFFFF"} << QList<int>{} << ""
            << 0 << QStringList{"FFFFFFFE|passed||1", "FFFFFFFF|passed||1"} << "";
        QTest::newRow("a job file under the options: its target of passed units")
            << QStringList{"--job", "JOB", "--keep-profile-address"} << QList<int>{} << "" << 0
            << QStringList{"01020304|passed||1", "01020304|passed||1"} << "";
        QTest::newRow("last address without --count: range used up")
            << QStringList{"--addresses", "FFFFFFFF-FFFFFFFF"} << QList<int>{} << "" << 7
            << QStringList{"FFFFFFFF|passed||1"}
            << "the address range FFFFFFFF-FFFFFFFF is used up";
    }

    void units()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<int>, kept);
        QFETCH(QString, atFirst);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        QFETCH(QString, told);
        told.replace("%1", m_link);
        arguments.replaceInStrings("JOB", m_dir.filePath("job.json"));
        m_emulator->setKeptBytes(kept);
        if (!kept.isEmpty())
            m_emulator->setUnitSwap(kSwapWrittenTwiceMs, ModuleEmulator::kDefaultConfig);
        if (atFirst == "absent")
            m_emulator->hangUp();
        if (atFirst == "short")
            m_emulator->setAnswerLength(10);
        // The first unit goes once its address is taken, before its packet.
        std::optional<WireTrigger> gone;
        if (atFirst == "gone")
            gone.emplace(*m_emulator, "+++", 100, [this] { m_emulator->hangUp(); });

        const bool byNumber = arguments.removeAll("BY-NUMBER") > 0;
        if (byNumber)
            mapPort(7, m_link);
        QProcess process;
        start(process, QStringList{"--port", byNumber ? "7" : m_link} + arguments);
        QByteArray err;
        if (atFirst == "gone") {
            QTRY_VERIFY(!m_emulator->isOpen());
            gone.reset();
            QTest::qWait(1000);
            QVERIFY(m_emulator->plugInNewUnit(ModuleEmulator::kDefaultConfig));
        } else if (!atFirst.isEmpty()) {
            QTRY_VERIFY((err += process.readAllStandardError()).contains(told.toUtf8()));
            QTest::qWait(1500);
            if (atFirst == "absent")
                QVERIFY(m_emulator->plugInNewUnit(ModuleEmulator::kDefaultConfig));
            m_emulator->setAnswerLength(-1);
        }
        QVERIFY(process.waitForFinished(kFinishMs));
        err += process.readAllStandardError();
        const QByteArray out = process.readAllStandardOutput();
        QCOMPARE(summarise(out), lines);
        QCOMPARE(unitRecords(out).value(0).value("device").toString(), m_link);
        QCOMPARE(process.exitCode(), code);
        if (!told.isEmpty())
            QCOMPARE(err.count(told.toUtf8()), 1);
        const qsizetype written = lines.size() - lines.filter(QRegularExpression("\\|0$")).size();
        QCOMPARE(packetsWritten(*m_emulator), int(kept.isEmpty() ? written : 2));
        QTRY_VERIFY(!m_emulator->inCommandMode());
        // A line that drops in command mode never gets its "---".
        QCOMPARE(wireFault(*m_emulator, atFirst == "gone"), QString());
    }

    // A unit is written under one address only: a late answer, the same unit
    // attached again or a read-back from elsewhere never lead to a second
    // write. A module known by its addresses that holds another value than
    // written differs; another module that answers a poll in the unit's place
    // is written from that poll's "+++".
    void writtenOnce_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("a poll answered late")
            << "late" << 128 + SIGTERM << QStringList{"00000100|passed||1"};
        QTest::newRow("attached again holding what it was written with")
            << "again" << 0 << QStringList{"00000100|passed||1", "00000101|passed||1"};
        QTest::newRow("read-back from another unit")
            << "foreign" << 1
            << QStringList{"00000100|failed|foreign-read-back|1", "00000101|passed||1"};
        QTest::newRow("stores another power level than written")
            << "power" << 1
            << QStringList{"00000100|failed|tx-power:-21 dBm>-9 dBm|2", "00000101|passed||1"};
        QTest::newRow("another module answers in the unit's place")
            << "other" << 0 << QStringList{"00000100|passed||1", "00000101|passed||1"};
    }

    void writtenOnce()
    {
        QFETCH(QString, scenario);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        m_emulator->setUnitSwap(scenario == "power" ? kSwapWrittenTwiceMs : -1,
                                ModuleEmulator::kDefaultConfig);
        QByteArray toModule;
        // Once a packet is taken and command mode left, the line answers with
        // another unit's block, or the unit holds another power level.
        const qsizetype packetDone = 3 + ModuleEmulator::kConfigSize + 3;
        m_emulator->setByteObserver([&](const WireByte &byte) {
            if (byte.direction != WireByte::Direction::ToModule)
                return;
            toModule.append(char(byte.value));
            const bool afterPacket = toModule.endsWith("---") && toModule.size() >= packetDone &&
                                     toModule.at(toModule.size() - 4) != '+';
            if (scenario == "foreign" && toModule.size() == packetDone)
                m_emulator->setConfig(kOtherUnit);
            if (scenario == "power" && afterPacket && packetsWritten(*m_emulator) <= 2) {
                QByteArray held = m_emulator->config();
                held[10] = 0x03;
                m_emulator->setConfig(held);
            }
        });
        QProcess process;
        start(process, {"--port", m_link, "--count", "2", "--local-address-from", "00000100"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains('\n'),
                                 kFinishMs);
        if (scenario == "late") {
            m_emulator->setAnswerDelayMs(450);
            QTest::qWait(1500);
            m_emulator->setAnswerDelayMs(0);
            QTest::qWait(4000);
            ::kill(pid_t(process.processId()), SIGTERM);
        } else if (scenario == "again") {
            const QByteArray programmed = m_emulator->config();
            m_emulator->hangUp();
            QTest::qWait(1000);
            QVERIFY(m_emulator->plugInNewUnit(programmed));
            QTest::qWait(3000);
            QCOMPARE(packetsWritten(*m_emulator), 1);
            QVERIFY(m_emulator->plugInNewUnit(ModuleEmulator::kDefaultConfig));
        } else if (scenario == "other") {
            QTest::qWait(600);
            m_emulator->setConfig(kOtherUnit);
        }
        QVERIFY(process.waitForFinished(kFinishMs));
        m_emulator->setByteObserver({});
        out += process.readAllStandardOutput();
        QCOMPARE(summarise(out), lines);
        QCOMPARE(process.exitCode(), code);
        QCOMPARE(packetsWritten(*m_emulator), int(lines.size()) + (scenario == "power"));
        QTRY_VERIFY(!m_emulator->inCommandMode());
        // A line hung up in a poll never gets that poll's "---".
        QCOMPARE(wireFault(*m_emulator, scenario == "again"), QString());
        if (scenario != "other")
            return;
        // The poll that met the other module went on to write it: no poll of
        // its own came before, and its answer was not asked for again.
        const QList<WireBurst> bursts = m_emulator->bursts();
        qsizetype answered = 0;
        while (answered < bursts.size() && bursts.at(answered).bytes != kOtherUnit)
            ++answered;
        QVERIFY(answered + 1 < bursts.size());
        QCOMPARE(bursts.at(answered + 1).bytes.size(), ModuleEmulator::kConfigSize);
    }

    // A stop is looked at before every unit and every write: what was under way
    // finishes its step, "---" follows, nothing new is written, a unit whose
    // packet left is read back and recorded as it is, a second signal ends at
    // once (that unit is sent, not verified), every unit with a packet sent is
    // in the log as on stdout, and the exit code tells whether the batch was
    // cut short.
    void stops_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("silent");      // no module answers
        QTest::addColumn<QByteArray>("after"); // the wire's shape; empty: after the second line
        QTest::addColumn<int>("delayMs");      // the signals come this long after it
        QTest::addColumn<QList<int>>("signalNumbers");
        QTest::addColumn<int>("code"); // -1: 128 + either of two signals
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("told");
        const QStringList two{"--count", "2"};
        const QList<int> term{SIGTERM};
        const QList<int> twice{SIGINT, SIGTERM};

        QTest::newRow("while waiting, no --count")
            << QStringList{} << true << QByteArray("+++") << 0 << QList<int>{SIGINT} << 0
            << QByteArray("+++---") << QStringList{} << "";
        QTest::newRow("while waiting, --count 2")
            << two << true << QByteArray("+++") << 0 << QList<int>{SIGINT} << 128 + SIGINT
            << QByteArray("+++---") << QStringList{} << "";
        QTest::newRow("unit taken, before the packet")
            << two << false << QByteArray("+++") << 100 << term << 128 + SIGTERM
            << QByteArray("+++---") << QStringList{} << "nothing was written";
        QTest::newRow("after the packet: read back, recorded")
            << two << false << QByteArray("+++P") << 0 << term << 128 + SIGTERM
            << QByteArray("+++P---+++---") << QStringList{"01020304|passed||1"} << "PASS";
        QTest::newRow("after the packet of the last unit --count asked for")
            << QStringList{"--count", "1"} << false << QByteArray("+++P") << 0 << term << 0
            << QByteArray("+++P---+++---") << QStringList{"01020304|passed||1"}
            << "as --count asked";
        QTest::newRow("after the packet, a second signal")
            << two << false << QByteArray("+++P") << 0 << twice << -1 << QByteArray("+++P---")
            << QStringList{"01020304|failed|stopped|1"} << "sent, not verified";
        QTest::newRow("between units, no --count")
            << QStringList{} << false << QByteArray() << 0 << term << 0 << QByteArray()
            << QStringList{"01020304|passed||1", "01020304|passed||1"} << "";
    }

    void stops()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, silent);
        QFETCH(QByteArray, after);
        QFETCH(int, delayMs);
        QFETCH(QList<int>, signalNumbers);
        QFETCH(int, code);
        QFETCH(QByteArray, wire);
        QFETCH(QStringList, lines);
        QFETCH(QString, told);
        m_emulator->setSilent(silent);
        QProcess process;
        std::atomic<qint64> pid = 0;
        WireTrigger stops(*m_emulator, after, delayMs, [&] { sendSignals(pid, signalNumbers); });
        start(process,
              QStringList{"--port", m_link, "--log", m_log, "--keep-profile-address"} + arguments);
        pid = process.processId();
        QByteArray out;
        if (after.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= 2,
                                     kFinishMs);
            sendSignals(pid, signalNumbers);
        }
        QVERIFY(process.waitForFinished(kFinishMs));
        out += process.readAllStandardOutput();
        if (code < 0)
            QVERIFY(process.exitCode() == 128 + SIGINT || process.exitCode() == 128 + SIGTERM);
        else
            QCOMPARE(process.exitCode(), code);
        QCOMPARE(summarise(out).mid(0, 2), lines);
        QCOMPARE(logged(), summarise(out));
        if (!wire.isEmpty())
            QCOMPARE(wireShape(*m_emulator), wire);
        QCOMPARE(wireFault(*m_emulator), QString());
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(err.contains(told.toUtf8()), err.constData());
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // A record that cannot be written whole stops the run before the next unit
    // (a log that takes no run record, before the first): the log is written
    // before stdout, the module is left in data mode and the message names what
    // failed.
    void recordFailures_data()
    {
        QTest::addColumn<bool>("logOnFullDisk");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("loggedLines");
        QTest::addColumn<int>("packets");
        QTest::newRow("log") << true << "cannot write to /dev/full: No space left on device" << 0
                             << 0;
        QTest::newRow("stdout") << false
                                << "cannot write to standard output: No space left on "
                                   "device"
                                << 1 << 1;
    }

    void recordFailures()
    {
        QFETCH(bool, logOnFullDisk);
        QFETCH(QString, message);
        QFETCH(int, loggedLines);
        QFETCH(int, packets);
        QProcess process;
        if (!logOnFullDisk)
            process.setStandardOutputFile("/dev/full");
        start(process, {"--port", m_link, "--count", "3", "--keep-profile-address", "--log",
                        logOnFullDisk ? QString("/dev/full") : m_log});
        QVERIFY(process.waitForFinished(kFinishMs));
        QCOMPARE(process.exitCode(), 6);
        QVERIFY(process.readAllStandardError().contains(message.toUtf8()));
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
        QCOMPARE(logged().size(), loggedLines);
        QCOMPARE(packetsWritten(*m_emulator), packets);
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // The command run after each unit gets the unit's line on its stdin; how it
    // ended and its stderr are recorded in the log after the unit, and a
    // failure is said on stderr without ending the run.
    void onUnit()
    {
        const QString handed = m_dir.filePath("handed.json");
        QProcess process;
        start(process, {"--port", m_link, "--count", "1", "--keep-profile-address", "--log", m_log,
                        "--on-unit",
                        QStringLiteral("cat > '%1'; echo label jammed >&2; exit 3").arg(handed)});
        QVERIFY(process.waitForFinished(kFinishMs));
        QCOMPARE(process.exitCode(), 0);
        QFile file(handed);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // The unit's line as printed, and what a label needs besides.
        const QJsonObject given = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonObject printed =
            QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        for (auto field = printed.begin(); field != printed.end(); ++field)
            QCOMPARE(given.value(field.key()), field.value());
        QCOMPARE(given.value("fields").toObject().value("rf-frequency").toString(),
                 QString("434.000"));
        QVERIFY(process.readAllStandardError().contains(": exit 3: label jammed"));
        QFile log(m_log);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QJsonObject outcome;
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (QJsonDocument::fromJson(line).object().value("type") == "on-unit")
                outcome = QJsonDocument::fromJson(line).object();
        }
        QCOMPARE(outcome.value("status").toString(), QString("exit 3"));
        QCOMPARE(outcome.value("stderr").toString(), QString("label jammed\n"));
    }

    // Refused before any port is opened: nothing reaches the module.
    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("addresses past FFFFFFFF")
            << QStringList{"--local-address-from", "FFFFFFFE", "--count", "3"}
            << "3 units do not fit the addresses FFFFFFFE-FFFFFFFF";
        QTest::newRow("no address for the units")
            << QStringList{} << "provision needs --addresses FROM-TO";
        QTest::newRow("two sources of addresses")
            << QStringList{"--local-address-from", "00000001", "--keep-profile-address"}
            << "give one of --addresses";
        QTest::newRow("not an address")
            << QStringList{"--local-address-from", "12345"} << "is not an address";
        QTest::newRow("log not writable")
            << QStringList{"--log", "/nonexistent/units.jsonl", "--keep-profile-address"}
            << "cannot open the log";
        QTest::newRow("port 0") << QStringList{"--port", "0", "--keep-profile-address"}
                                << "port 0 from --port is no port number";
        QTest::newRow("one port twice") << QStringList{"--port", "LINK"} << "given twice";
        QTest::newRow("a job file that is not one")
            << QStringList{"--job", "PROFILE"} << "unknown key \"rf-frequency\"";
    }

    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        arguments.replaceInStrings("LINK", m_link);
        arguments.replaceInStrings("PROFILE", m_profile);
        QProcess process;
        start(process, QStringList{"--port", m_link} + arguments);
        QVERIFY(process.waitForFinished(kFinishMs));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(process.readAllStandardError().contains(message.toUtf8()), qPrintable(message));
        QVERIFY(m_emulator->receivedBytes().isEmpty());
    }

private:
    void start(QProcess &process, const QStringList &arguments)
    {
        process.setProgram(QStringLiteral(KORVA_CLI_PROGRAM));
        process.setArguments(
            QStringList{"provision", "--profile", m_profile, "--ledger", m_ledger} + arguments);
        process.start();
        QVERIFY(process.waitForStarted());
    }

    // The unit records of the log, which also holds the run's start and end.
    QStringList logged() const
    {
        QFile log(m_log);
        return summarise(log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray());
    }

    QTemporaryDir m_dir;
    QString m_link;
    QString m_profile;
    QString m_log;
    QString m_ledger;
    std::unique_ptr<ModuleEmulator> m_emulator;
};

QTEST_GUILESS_MAIN(TestProvision)
#include "tst_provision.moc"
