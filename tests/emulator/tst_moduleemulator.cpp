#include "moduleemulator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QSettings>
#include <QTest>
#include <QThread>

#include <csignal>

using korva::emu::ModuleEmulator;

namespace
{

constexpr int kWaitMs = 5000;

// Plays the tool on the slave side of the line, as QSerialPort does in the tool itself.
QByteArray request(QSerialPort &port, const QByteArray &bytes, int answerSize)
{
    port.write(bytes);
    port.waitForBytesWritten(kWaitMs);
    QByteArray answer;
    while (answer.size() < answerSize && port.waitForReadyRead(kWaitMs))
        answer += port.readAll();
    return answer;
}

} // namespace

// The other tests read their wire timing from the emulator's log and start the
// emulator program for `make run`: these guard what they could not notice breaking.
class TestModuleEmulator : public QObject
{
    Q_OBJECT

private slots:
    // The answer is paced at the line rate, and the log runs on the wall clock, so a
    // bound on a logged gap is a bound on the real one.
    void logRunsOnTheWallClock()
    {
        ModuleEmulator emulator;
        QSerialPort port(emulator.devicePath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        QVERIFY(port.setBaudRate(2400));
        QElapsedTimer wall;
        wall.start();
        QCOMPARE(request(port, "+++", 15), ModuleEmulator::kDefaultConfig);
        QThread::msleep(120);
        request(port, "---", 0);
        while (emulator.receivedBytes() != "+++---" && wall.elapsed() < kWaitMs)
            QThread::msleep(1);
        const qint64 wallUsec = wall.nsecsElapsed() / 1000;

        const QList<korva::emu::WireBurst> bursts = emulator.bursts();
        QCOMPARE(bursts.size(), 3);
        QCOMPARE(bursts[1].bytes, ModuleEmulator::kDefaultConfig);
        // 15 bytes of 10 bits at 2400 bps: at least 14 byte times from first to last.
        QVERIFY(bursts[1].lastUsec - bursts[1].firstUsec >= 14 * 10 * 1'000'000 / 2400);
        QVERIFY(bursts[2].firstUsec - bursts[1].lastUsec >= 120'000);
        QVERIFY(bursts[2].firstUsec - bursts[0].firstUsec <= wallUsec);
    }

    // The program registers its line as a port, serves it, and unregisters on a stop.
    void programServesItsPortUntilStopped()
    {
        const QByteArray config = QByteArray::fromHex("0102030405060708090A0B0C0D0EA5");
        QSettings(QSettings::IniFormat, QSettings::UserScope, "KORVA", "KORVA").remove("Ports");
        QProcess program;
        program.start(QStringLiteral(KORVA_EMULATOR_PROGRAM),
                      {"--port", "7", "--config", QString::fromLatin1(config.toHex())});
        QVERIFY(program.waitForReadyRead(kWaitMs));
        const QString path = QString::fromLocal8Bit(program.readLine()).trimmed();
        const QSettings store(QSettings::IniFormat, QSettings::UserScope, "KORVA", "KORVA");
        QCOMPARE(store.value("Ports/7").toString(), path);

        QSerialPort port(path);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QCOMPARE(request(port, "+++", 15), config);

        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(kWaitMs));
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(!QSettings(QSettings::IniFormat, QSettings::UserScope, "KORVA", "KORVA")
                     .contains("Ports/7"));
    }
};

QTEST_GUILESS_MAIN(TestModuleEmulator)
#include "tst_moduleemulator.moc"
