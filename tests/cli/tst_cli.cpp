#include "moduleemulator.h"
#include "testsettings.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using korva::emu::ModuleEmulator;
using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

constexpr int kFinishMs = 20000;

// 7F7F7F7F 01020304 0620 with Tx Power -21 dBm (code 7) instead of 0 dBm.
const QByteArray kPacket = QByteArray::fromHex("7F7F7F7F010203040620071E1E0023");

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

void start(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(KORVA_CLI_PROGRAM));
    process.setArguments(arguments);
    process.start();
    process.closeWriteChannel(); // stdin is no terminal, and empty
}

Outcome finish(QProcess &process)
{
    if (!process.waitForFinished(kFinishMs))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Outcome runCli(const QStringList &arguments)
{
    QProcess process;
    start(process, arguments);
    return finish(process);
}

QList<QByteArray> sent(const ModuleEmulator &emulator)
{
    QList<QByteArray> bursts;
    for (const WireBurst &burst : emulator.bursts())
        if (burst.direction == WireByte::Direction::ToModule)
            bursts << burst.bytes;
    return bursts;
}

// What the tool wrote once the command-mode strings are taken out: a whole
// packet or nothing, never a part of one.
QByteArray packetsSent(const ModuleEmulator &emulator)
{
    return emulator.receivedBytes().replace("+++", "").replace("---", "");
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        removeSettingsFile();
        m_emulator = std::make_unique<ModuleEmulator>();
        QVERIFY(m_emulator->isOpen());
    }

    // Every verb against the module: its exit code, what it printed and what went
    // on the wire ("R" stands for the read's "+++" and "---").
    void verbs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // a part of stdout + stderr
        QTest::addColumn<QList<QByteArray>>("wire");
        const QByteArray on = "+++", off = "---";
        const QList<QByteArray> read{on, off};
        const QList<QByteArray> write{on, off, on, kPacket, off, on, off};

        QTest::newRow("read text")
            << QStringList{"read"} << "" << 0 << "RF Frequency         433.920   06 20" << read;
        QTest::newRow("read hex") << QStringList{"read", "--format", "hex"} << "" << 0
                                  << "7F7F7F7F010203040620001E1E0023\n"
                                  << read;
        QTest::newRow("read 868") << QStringList{"read", "--band", "868mhz"} << "" << 0 << "867.840"
                                  << read;
        QTest::newRow("no answer, one retry")
            << QStringList{"read"} << "silent" << 4
            << "No Response from Modem. Check Comms Port & Baud rate"
            << QList<QByteArray>{on, off, on, off};
        QTest::newRow("short answer") << QStringList{"read", "--retries", "0"} << "short" << 4
                                      << "a short answer: 9 of 15 bytes" << read;
        QTest::newRow("no device") << QStringList{"read", "--port", "9"} << "" << 3
                                   << "Please select a valid comms port" << QList<QByteArray>{};
        QTest::newRow("write") << QStringList{"write", "--set", "tx-power=-21 dBm"} << "" << 0
                               << "Tx Power             -21 dBm   07" << write;
        QTest::newRow("write ignored")
            << QStringList{"write", "--set", "tx-power=-21 dBm"} << "ignore" << 1
            << "tx-power: written -21 dBm, the module holds 0 dBm" << write;
        QTest::newRow("write ignored, no verify")
            << QStringList{"write", "--set", "tx-power=-21 dBm", "--no-verify"} << "ignore" << 0
            << "0 dBm" << write;
        QTest::newRow("refused value")
            << QStringList{"write", "--set", "tx-power=-21 dBm", "--set", "rf-frequency=600"} << ""
            << 2 << "rf-frequency: Incorrect Frequency value" << QList<QByteArray>{};
        QTest::newRow("dry run") << QStringList{"write", "--dry-run", "--format",
                                                "hex",   "--set",     "tx-power=-21 dBm"}
                                 << "" << 0 << "7F7F7F7F010203040620071E1E0023\n"
                                 << read;
        QTest::newRow("verify same") << QStringList{"verify", "--set", "local-address=1:2:3:4"}
                                     << "" << 0 << "01020304" << read;
        QTest::newRow("verify differs")
            << QStringList{"verify", "--set", "rf-frequency=434.5", "--set", "tx-power=0 dbm"} << ""
            << 1 << "rf-frequency: expected 434.500, the module holds 433.920\n"
            << read;
        QTest::newRow("reset defaults")
            << QStringList{"reset-defaults", "--yes", "--format", "hex"} << "" << 0
            << "00000000000000000620001E1E0023"
            << QList<QByteArray>{on,
                                 off,
                                 on,
                                 QByteArray::fromHex("0000000000000000062000"
                                                     "1E1E0023"),
                                 off,
                                 on,
                                 off};
        QTest::newRow("reset asks")
            << QStringList{"reset-defaults"} << "" << 2 << "give --yes" << QList<QByteArray>{};
    }
    void verbs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, behaviour);
        QFETCH(int, code);
        QFETCH(QString, output);
        QFETCH(QList<QByteArray>, wire);
        m_emulator->setSilent(behaviour == QLatin1String("silent"));
        m_emulator->setAnswerLength(behaviour == QLatin1String("short") ? 9 : -1);
        m_emulator->setIgnorePacket(behaviour == QLatin1String("ignore"));
        if (!arguments.contains(QLatin1String("--port")))
            arguments << QStringLiteral("--port") << m_emulator->devicePath();

        const Outcome outcome = runCli(arguments);
        QVERIFY2((outcome.out + outcome.err).contains(output),
                 qPrintable(outcome.out + outcome.err));
        QCOMPARE(outcome.code, code);
        QTRY_COMPARE(sent(*m_emulator), wire);
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    // What read prints as JSON is a profile: writing it onto another module and
    // verifying gives that module the same block.
    void jsonCloneRoundTrip()
    {
        const QByteArray source = QByteArray::fromHex("0A0B0C0D112233440640051E0C0311");
        QVERIFY(m_emulator->setConfig(source));
        const Outcome read = runCli(
            {"read", "--format", "json", "--band", "868Mhz", "--port", m_emulator->devicePath()});
        QCOMPARE(read.code, 0);
        QVERIFY2(read.out.contains("\"block\": \"0A0B0C0D112233440640051E0C0311\""),
                 qPrintable(read.out));
        QTemporaryDir dir;
        QFile profile(dir.filePath(QStringLiteral("unit.json")));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write(read.out.toUtf8());
        profile.close();

        ModuleEmulator other;
        const QString port = other.devicePath();
        // A profile that gives every value needs nothing from the module for a dry run.
        const Outcome dryRun = runCli({"write", "--dry-run", "--format", "hex", "--profile",
                                       profile.fileName(), "--port", port});
        QCOMPARE(dryRun.out, QStringLiteral("0A0B0C0D112233440640051E0C0311\n"));
        QVERIFY(other.receivedBytes().isEmpty());
        QCOMPARE(runCli({"write", "--profile", profile.fileName(), "--port", port}).code, 0);
        QCOMPARE(other.config(), source);
        QCOMPARE(runCli({"verify", "--profile", profile.fileName(), "--port", port}).code, 0);
        QCOMPARE(runCli({"read", "--format", "hex", "--port", port}).out,
                 QStringLiteral("0A0B0C0D112233440640051E0C0311\n"));
    }

    // The port map and the window's stored port and rate are shared with the window.
    void storedPortAndMap()
    {
        QCOMPARE(runCli({"read"}).code, 2);
        mapPort(4, m_emulator->devicePath());
        const Outcome ports = runCli({"ports"});
        QVERIFY2(ports.out.contains(QStringLiteral(" 4  ") + m_emulator->devicePath()),
                 qPrintable(ports.out));
        QSettings store(QSettings::IniFormat, QSettings::UserScope, korva::kSettingsOrganization,
                        korva::kSettingsApplication);
        store.setValue(QStringLiteral("Settings/Port"), QStringLiteral("4"));
        store.setValue(QStringLiteral("Settings/BAUD"), QStringLiteral("9600"));
        store.sync();
        m_emulator->setRequiredBaud(9600);
        const Outcome read = runCli({"read", "--format", "json"});
        QCOMPARE(read.code, 0);
        QVERIFY2(read.out.contains("\"baud\": 9600"), qPrintable(read.out));
    }

    // A hang-up in any pause ends the run with 5, and the module never saw a
    // part of a packet.
    void hangUpInEachPause_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("read's pause") << QByteArray("+++");
        QTest::newRow("before the packet") << QByteArray("+++---+++");
        QTest::newRow("after the packet") << "+++---+++" + kPacket;
        QTest::newRow("before the read-back") << "+++---+++" + kPacket + "---";
        QTest::newRow("read-back's pause") << "+++---+++" + kPacket + "---+++";
    }
    void hangUpInEachPause()
    {
        QFETCH(QByteArray, after);
        QByteArray seen;
        m_emulator->setByteObserver([this, &seen, after](const WireByte &byte) {
            if (byte.direction != WireByte::Direction::ToModule)
                return;
            seen.append(char(byte.value));
            if (seen == after)
                m_emulator->hangUp();
        });
        const Outcome outcome =
            runCli({"write", "--set", "tx-power=-21 dBm", "--port", m_emulator->devicePath()});
        m_emulator->setByteObserver({});
        QCOMPARE(outcome.code, 5);
        QVERIFY2(outcome.err.contains("disconnected"), qPrintable(outcome.err));
        QCOMPARE(m_emulator->receivedBytes(), after);
        QVERIFY(packetsSent(*m_emulator).isEmpty() || packetsSent(*m_emulator) == kPacket);
    }

    // A signal after "+++" still sends "---", at the end of the running pause and
    // never inside the packet.
    void signalStillLeavesCommandMode_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("SIGINT in the read") << int(SIGINT) << QByteArray("+++");
        QTest::newRow("SIGINT before the packet") << int(SIGINT) << QByteArray("+++---+++");
        QTest::newRow("SIGTERM after the packet") << int(SIGTERM) << "+++---+++" + kPacket;
    }
    void signalStillLeavesCommandMode()
    {
        QFETCH(int, signalNumber);
        QFETCH(QByteArray, after);
        QProcess process;
        start(process, {"write", "--set", "tx-power=-21 dBm", "--port", m_emulator->devicePath()});
        QTRY_VERIFY_WITH_TIMEOUT(m_emulator->receivedBytes().startsWith(after), kFinishMs);
        ::kill(pid_t(process.processId()), signalNumber);
        const Outcome outcome = finish(process);
        QCOMPARE(outcome.code, 128 + signalNumber);
        QTRY_COMPARE(m_emulator->receivedBytes(), after + "---");
        QTRY_VERIFY(!m_emulator->inCommandMode());
    }

    void helpAndVersion()
    {
        const Outcome help = runCli({"--help"});
        QCOMPARE(help.code, 0);
        QVERIFY(help.out.contains("5  the device failed during the operation"));
        QVERIFY(runCli({"--version"}).out.startsWith("korva-cli "));
        QCOMPARE(runCli({"read", "--bogus"}).code, 2);
    }

private:
    std::unique_ptr<ModuleEmulator> m_emulator;
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
