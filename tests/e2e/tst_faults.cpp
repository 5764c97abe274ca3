#include "filepermissions.h"
#include "session.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>

#include <sys/stat.h>

// A fresh settings file with these contents; gives its path.
static QString writeSettingsFile(const QByteArray &contents)
{
    removeSettingsFile();
    const QString path = settingsFilePath();
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(contents);
    return path;
}

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

    // The line drops while idle, in the request, in each pause of Set, or while
    // Reset Defaults asks (answered Yes): the port is closed before the one error
    // report, nothing more is written, and the device works again once it is back.
    void hangUp_data()
    {
        QTest::addColumn<QByteArray>("button");      // empty: none, the line drops while idle
        QTest::addColumn<QList<QByteArray>>("sent"); // the line drops in the pause after these
        const QByteArray block = korva::emu::ModuleEmulator::kDefaultConfig;
        QTest::newRow("while connected") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("in the request") << QByteArray("Command7") << QList<QByteArray>{"+++"};
        QTest::newRow("Set, before the packet")
            << QByteArray("Command2") << QList<QByteArray>{"+++"};
        QTest::newRow("Set, after the packet")
            << QByteArray("Command2") << QList<QByteArray>{"+++", block};
        QTest::newRow("Set, before the read-back")
            << QByteArray("Command2") << QList<QByteArray>{"+++", block, "---"};
        QTest::newRow("Set, in the read-back")
            << QByteArray("Command2") << QList<QByteArray>{"+++", block, "---", "+++"};
        QTest::newRow("Reset Defaults' question") << QByteArray("Command6") << QList<QByteArray>{};
    }

    void hangUp()
    {
        QFETCH(QByteArray, button);
        QFETCH(QList<QByteArray>, sent);
        QByteArray received; // on the module's thread; outlives it
        Session s;
        bool openWhenReported = false;
        s.prompts.onShown = [&] {
            if (!s.prompts.shown.last().question) {
                openWhenReported |= s.window->port().portOpen();
                return;
            }
            s.emulator.hangUp();
            QTRY_COMPARE(s.prompts.shown.size(), 2);
        };
        if (button != "Command7")
            s.connectAndRead();
        s.emulator.clearLog();
        const QStringList before = s.fields();
        if (button.isEmpty()) {
            s.emulator.hangUp();
        } else {
            // The module drops the line as soon as the last of these bytes arrives.
            const QByteArray last = sent.join();
            s.emulator.setByteObserver([&, last](const korva::emu::WireByte &byte) {
                if (byte.direction != korva::emu::WireByte::Direction::ToModule)
                    return;
                received += char(byte.value);
                if (received == last)
                    s.emulator.hangUp();
            });
            s.click(button.constData());
        }
        const int boxes = button == "Command6" ? 2 : 1;
        QTRY_COMPARE(s.prompts.shown.size(), boxes);
        QVERIFY(!openWhenReported);
        QVERIFY(!s.window->operationRunning());
        QTest::qWait(250);
        QCOMPARE(s.prompts.shown.size(), boxes);
        const FakePrompts::Shown error = s.prompts.shown.last();
        QVERIFY(error.text.startsWith(QStringLiteral("Error: ")));
        QCOMPARE(error.title, QStringLiteral("Error"));
        QCOMPARE(s.window->statusText(), QStringLiteral("Error!! ") + error.text.mid(7));
        if (boxes == 2) // nothing was written: the page stays as it was
            QCOMPARE(s.fields(), before);
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!s.button(name)->isEnabled(), name);
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)), sent);

        korva::emu::ModuleEmulator replacement;
        mapPort(1, replacement.devicePath());
        s.click("Command7");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QTRY_COMPARE(replacement.receivedBytes(), QByteArray("+++---"));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
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
        QCOMPARE(s.prompts.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(s.window->statusText(),
                 QStringLiteral("No Response from Modem. Check Comms Port & Baud rate"));
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.emulator.receivedBytes(), QByteArray());
    }

    void damagedSettingsFile()
    {
        writeSettingsFile("[Settings\nPort=3\n\x01\xff garbage [[[\n");
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
        const QString path = writeSettingsFile("[Settings]\nPort=5\nBAUD=4800\n");
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

    // 16 KiB of noise while connected and idle: nothing is decoded, the window
    // keeps handling events, and the next request reads the module as usual.
    void noiseWhileIdle()
    {
        Session s;
        s.list("Combo2")->setEditText(QStringLiteral("256000"));
        s.connectAndRead();
        const QStringList shown = s.fields();
        QByteArray noise(16 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(20261206);
        for (char &byte : noise)
            byte = char(generator.bounded(256));
        int ticks = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
        heartbeat.start(50);
        s.emulator.transmit(noise);
        QTRY_VERIFY_WITH_TIMEOUT(s.window->receiver().timer1().isActive(), 5000);
        // The noise takes under a second on the wire; a sanitizer build needs several
        // times that to read it byte by byte, so the deadline is generous.
        QTRY_VERIFY_WITH_TIMEOUT(!s.window->receiver().timer1().isActive(), 120000);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
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
