#include "filepermissions.h"
#include "session.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>

#include <sys/stat.h>

namespace
{

// The window after the line dropped: port closed, one report, nothing running.
void verifyLineLost(Session &s)
{
    QTRY_COMPARE(s.prompts.shown.size(), 1);
    QVERIFY(!s.window->operationRunning());
    QTest::qWait(250);
    QCOMPARE(s.prompts.shown.size(), 1);
    QVERIFY(s.prompts.shown[0].text.startsWith(QStringLiteral("Error: ")));
    QCOMPARE(s.prompts.shown[0].title, QStringLiteral("Error"));
    QCOMPARE(s.window->statusText(), QStringLiteral("Error!! ") + s.prompts.shown[0].text.mid(7));
    QVERIFY(!s.window->port().portOpen());
    QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
    for (const char *name : {"Command2", "Command3", "Command6"})
        QVERIFY2(!s.button(name)->isEnabled(), name);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    // Gives the settings folder its rights back after a test took them away.
    void cleanup()
    {
        QFile::setPermissions(QFileInfo(settingsFilePath()).path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void hangUpDuringTheRequest()
    {
        Session s;
        s.emulator.setHangUpAfterCommandMs(40);
        s.click("Command7");
        verifyLineLost(s);
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++"));
    }

    // The line drops in each pause of Set: the port closes, the status says why,
    // and nothing more is written.
    void hangUpDuringSet_data()
    {
        QTest::addColumn<int>("afterMs");
        QTest::addColumn<QList<QByteArray>>("sent");
        const QByteArray block = korva::emu::ModuleEmulator::kDefaultConfig;
        QTest::newRow("before the packet") << 60 << QList<QByteArray>{"+++"};
        QTest::newRow("after the packet") << 300 << QList<QByteArray>{"+++", block};
        QTest::newRow("before the read-back") << 650 << QList<QByteArray>{"+++", block, "---"};
        QTest::newRow("in the read-back") << 940 << QList<QByteArray>{"+++", block, "---", "+++"};
    }

    void hangUpDuringSet()
    {
        QFETCH(int, afterMs);
        QFETCH(QList<QByteArray>, sent);
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        s.emulator.setHangUpAfterCommandMs(afterMs);
        s.click("Command2");
        verifyLineLost(s);
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)), sent);
    }

    // The line drops while Reset Defaults' question is open: after Yes nothing
    // changes, nothing is sent, and the status says why.
    void hangUpDuringResetQuestion()
    {
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        const QStringList before = s.fields();
        s.prompts.onShown = [&] {
            if (s.prompts.shown.size() != 1)
                return;
            s.emulator.hangUp();
            QTRY_COMPARE(s.prompts.shown.size(), 2);
        };
        s.click("Command6");
        QVERIFY(s.prompts.shown[0].question);
        QCOMPARE(s.prompts.shown.size(), 2);
        QVERIFY(!s.window->operationRunning());
        QCOMPARE(s.fields(), before);
        QCOMPARE(s.window->statusText(),
                 QStringLiteral("Error!! ") + s.prompts.shown[1].text.mid(7));
        QTest::qWait(250);
        QCOMPARE(s.emulator.receivedBytes(), QByteArray());
    }

    void permissionRefused()
    {
        Session s;
        const QByteArray device = QFile::encodeName(s.emulator.devicePath());
        struct stat before {
        };
        QCOMPARE(::stat(device.constData(), &before), 0);
        QCOMPARE(::chmod(device.constData(), 0), 0);
        {
            FilePermissionsEnforced permissions;
            if (!permissions.enforced()) {
                ::chmod(device.constData(), before.st_mode & 07777);
                QSKIP("running as root without the right to drop file-permission overrides");
            }
            s.click("Command7");
        }
        ::chmod(device.constData(), before.st_mode & 07777);
        QCOMPARE(s.prompts.shown.size(), 1);
        QCOMPARE(s.prompts.shown[0].text,
                 QStringLiteral("Error: Permission denied: %1 (is your user in the dialout group?)")
                     .arg(s.emulator.devicePath()));
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.emulator.receivedBytes(), QByteArray());
    }

    void damagedSettingsFile()
    {
        removeSettingsFile();
        QDir().mkpath(QFileInfo(settingsFilePath()).path());
        QFile file(settingsFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings\nPort=3\n\x01\xff garbage [[[\n");
        file.close();
        {
            FakePrompts prompts;
            korva::Form1 w;
            w.setPrompts(&prompts);
            QCOMPARE(w.statusText(), QStringLiteral("Disconnected (settings file %1 is damaged)")
                                         .arg(QDir::toNativeSeparators(settingsFilePath())));
            w.findChild<QComboBox *>("Combo2")->setEditText("4800");
            w.close();
            QVERIFY(prompts.shown.isEmpty());
        }
        korva::Form1 again;
        QCOMPARE(again.statusText(), QStringLiteral("Disconnected"));
        QCOMPARE(again.findChild<QComboBox *>("Combo2")->currentText(), QStringLiteral("4800"));
    }

    void unreadableSettingsFile()
    {
        // Every QSettings object reads the file into a cache shared by the process,
        // so the path is taken once, before the file is written.
        removeSettingsFile();
        const QString path = settingsFilePath();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings]\nPort=5\nBAUD=4800\n");
        file.close();
        QVERIFY(QFile::setPermissions(path, {}));
        FilePermissionsEnforced permissions;
        if (!permissions.enforced())
            QSKIP("running as root without the right to drop file-permission overrides");
        korva::Form1 w;
        QCOMPARE(w.findChild<QComboBox *>("Combo1")->currentText(), QStringLiteral("1"));
        QVERIFY(w.statusText().startsWith(QStringLiteral("Disconnected (settings file ")));
        QVERIFY(w.statusText().endsWith(QStringLiteral(" could not be read)")));
    }

    // The folder of the settings is read-only: the tool works, and says at close
    // that the port and baud rate were not saved.
    void readOnlySettingsFolder()
    {
        removeSettingsFile();
        const QString folder = QFileInfo(settingsFilePath()).path();
        QDir().mkpath(folder);
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        FilePermissionsEnforced permissions;
        if (!permissions.enforced())
            QSKIP("running as root without the right to drop file-permission overrides");
        FakePrompts prompts;
        korva::Form1 w;
        w.setPrompts(&prompts);
        QCOMPARE(w.statusText(), QStringLiteral("Disconnected"));
        w.close();
        QCOMPARE(prompts.shown.size(), 1);
        QVERIFY(prompts.shown[0].text.startsWith(
            QStringLiteral("The port and baud rate could not be saved")));
        QVERIFY(!QFile::exists(settingsFilePath()));
    }

    // 64 KiB of noise while connected and idle: nothing is decoded, the window
    // keeps handling events, and the next request reads the module as usual.
    void noiseWhileIdle()
    {
        Session s;
        s.list("Combo2")->setEditText(QStringLiteral("256000"));
        s.connectAndRead();
        const QStringList shown = s.fields();
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(20261206);
        for (char &byte : noise)
            byte = char(generator.bounded(256));
        int ticks = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start(50);
        s.emulator.transmit(noise);
        QTRY_VERIFY_WITH_TIMEOUT(s.window->receiver().timer1().isActive(), 5000);
        // The noise takes under 3 s on the wire; a sanitizer build needs several
        // times that to read it byte by byte, so the deadline is generous.
        QTRY_VERIFY_WITH_TIMEOUT(!s.window->receiver().timer1().isActive(), 120000);
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(s.fields(), shown);
        QVERIFY(s.prompts.shown.isEmpty());

        s.click("Command3");
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.fields(), shown);
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
