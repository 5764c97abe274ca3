#include "ptyclient.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>

namespace
{

constexpr int kWaitMs = 5000;
const QByteArray kConfig = QByteArray::fromHex("0102030405060708090A0B0C0D0EA5");

// Starts the program and reads the device path from its first line.
QString startEmulator(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(KORVA_EMULATOR_PROGRAM), arguments);
    if (!process.waitForStarted(kWaitMs))
        return {};
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(kWaitMs))
            return {};
    }
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

QVariant registeredPort(int port)
{
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KORVA"),
                             QStringLiteral("KORVA"));
    return settings.value(QStringLiteral("Ports/%1").arg(port));
}

} // namespace

class TestEmulatorProgram : public QObject
{
    Q_OBJECT

private slots:
    void servesTheLineUntilStopped_data();
    void servesTheLineUntilStopped();
    void logsEveryByte();
    void exitsAfterHangingUp();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
};

void TestEmulatorProgram::servesTheLineUntilStopped_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestEmulatorProgram::servesTheLineUntilStopped()
{
    QFETCH(int, signalNumber);
    QProcess process;
    const QString path = startEmulator(
        process, {"--port", "7", "--config", QString::fromLatin1(kConfig.toHex(' '))});
    QVERIFY2(path.startsWith(QLatin1String("/dev/pts/")), qPrintable(path));
    QCOMPARE(registeredPort(7).toString(), path);

    PtyClient client(path);
    QVERIFY(client.write("+++"));
    QCOMPARE(client.readAtLeast(15, kWaitMs), kConfig);

    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!registeredPort(7).isValid());
    QVERIFY(client.waitForHangUp(kWaitMs));
}

void TestEmulatorProgram::logsEveryByte()
{
    QProcess process;
    const QString path = startEmulator(process, {"--log"});
    PtyClient client(path);
    QVERIFY(client.write("+++"));
    QCOMPARE(client.readAtLeast(15, kWaitMs).size(), 15);
    process.terminate();
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 0);

    const QStringList lines =
        QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() == 18, qPrintable(lines.join('|')));
    const QRegularExpression line(QStringLiteral("^\\d+\\.\\d{6} ([<>]) ([0-9A-F]{2})$"));
    QString wire;
    for (const QString &text : lines) {
        const auto match = line.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        wire += match.captured(1) + match.captured(2);
    }
    QCOMPARE(wire, QStringLiteral(">2B>2B>2B<7F<7F<7F<7F<01<02<03<04<06<20<00<1E<1E<00<23"));
}

void TestEmulatorProgram::exitsAfterHangingUp()
{
    QProcess process;
    const QString path = startEmulator(process, {"--hang-up-after", "100"});
    PtyClient client(path);
    QVERIFY(client.write("+++"));
    QCOMPARE(client.readAtLeast(15, kWaitMs).size(), 15);
    QVERIFY(client.waitForHangUp(kWaitMs));
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

void TestEmulatorProgram::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("short config") << QStringList{"--config", "7F7F"} << "exactly 15 bytes";
    QTest::newRow("bad split") << QStringList{"--split", "x:y"} << "--split";
    QTest::newRow("unknown option") << QStringList{"--nope"} << "nope";
}

void TestEmulatorProgram::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess process;
    process.start(QStringLiteral(KORVA_EMULATOR_PROGRAM), arguments);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
}

QTEST_GUILESS_MAIN(TestEmulatorProgram)
#include "tst_emulatorprogram.moc"
