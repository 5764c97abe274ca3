#include "moduleemulator.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace
{

// Whether the process has a handler of its own for the signal (SigCgt in its
// /proc status): until then the signal would still end it the default way.
bool catches(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signalNumber - 1)) & 1;
    }
    return false;
}

} // namespace

class TestCloseSignals : public QObject
{
    Q_OBJECT

private slots:
    // SIGTERM, SIGHUP and SIGINT close the window as its close button does: the
    // settings are saved and the program ends with 0.
    void closesLikeTheCloseButton_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void closesLikeTheCloseButton()
    {
        QFETCH(int, signalNumber);
        QTemporaryDir config;
        korva::emu::ModuleEmulator emulator;
        const QString settingsFile = config.filePath(QStringLiteral("KORVA/KORVA.ini"));
        {
            QSettings store(settingsFile, QSettings::IniFormat);
            store.setValue(QStringLiteral("Ports/1"), emulator.devicePath());
        }
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(KORVA_SETUP_PROGRAM), {});
        QVERIFY(program.waitForStarted());
        QTRY_VERIFY(catches(program.processId(), signalNumber));

        QCOMPARE(::kill(pid_t(program.processId()), signalNumber), 0);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QSettings saved(settingsFile, QSettings::IniFormat);
        QCOMPARE(saved.value(QStringLiteral("Settings/Port")).toString(), QStringLiteral("1"));
        QCOMPARE(saved.value(QStringLiteral("Settings/BAUD")).toString(), QStringLiteral("38400"));
        QCOMPARE(emulator.receivedBytes(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCloseSignals)
#include "tst_closesignals.moc"
