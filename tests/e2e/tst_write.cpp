#include "session.h"

#include <QTimer>

using korva::emu::WireBurst;

namespace
{

void setText(Session &s, const char *name, const QString &text)
{
    if (auto *box = s.window->findChild<QLineEdit *>(name))
        box->setText(text);
    else
        s.list(name)->setEditText(text);
}

} // namespace

class TestWrite : public QObject
{
    Q_OBJECT

private slots:
    // Set: "+++", the packet, "---", then the read-back "+++" and "---", each
    // after its pause; the module then holds the page's values and shows them.
    void setWritesThePageAndReadsItBack()
    {
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        setText(s, "Text1", "12");
        setText(s, "Text9", "434");
        setText(s, "Text11", "20");
        setText(s, "Combo5", "19200 bps");
        // The module's answer to Set's own "+++" is not taken into the page.
        QString duringSet;
        QTimer::singleShot(380, s.window.get(), [&] { duringSet = s.field("Text1"); });
        s.run("Command2");
        QCOMPARE(duringSet, QStringLiteral("12"));

        const QByteArray packet = hex("12 7F 7F 7F 01 02 03 04 06 40 00 14 1E 00 11");
        // The module's side may log the last bytes a moment after the window is done.
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)),
                     (QList<QByteArray>{"+++", packet, "---", "+++", "---"}));
        const QList<WireBurst> sent = sentBursts(s.emulator);
        const int pausesMs[] = {200, 200, 500, 100};
        for (int i = 0; i < 4; ++i)
            QVERIFY2(gapAtLeast(sent[i], sent[i + 1], pausesMs[i]), qPrintable(QString::number(i)));
        QCOMPARE(s.emulator.config(), packet);
        QTRY_VERIFY(!s.emulator.inCommandMode());
        QCOMPARE(s.fields(), (QStringList{"12", "7F", "7F", "7F", "1", "2", "3", "4", "434.000",
                                          "0 dBm", "20", "30", "-103 dBm", "19200 bps"}));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QVERIFY(s.prompts.shown.isEmpty());
        QVERIFY(s.emulator.radioBytes().isEmpty());
    }

    void resetDefaults_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QList<QByteArray>>("sent");
        const QByteArray packet = hex("00 00 00 00 00 00 00 00 06 20 00 1E 1E 00 23");
        QTest::newRow("yes") << true << QList<QByteArray>{"+++", packet, "---", "+++", "---"};
        QTest::newRow("no") << false << QList<QByteArray>{};
    }

    void resetDefaults()
    {
        QFETCH(bool, yes);
        QFETCH(QList<QByteArray>, sent);
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        s.prompts.answerYes = yes;
        const QStringList before = s.fields();
        s.click("Command6");
        QCOMPARE(s.prompts.shown.size(), 1);
        QVERIFY(s.prompts.shown[0].question);
        QCOMPARE(s.prompts.shown[0].text,
                 QStringLiteral("This will reset the unit to Factory defaults.\r\nContinue?"));
        QCOMPARE(s.prompts.shown[0].title, korva::applicationTitle());
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QTest::qWait(150);
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)), sent);
        QCOMPARE(s.fields(), yes ? QStringList(8, "0") + before.mid(8) : before);
        QCOMPARE(s.emulator.config(), yes ? sent[1] : korva::emu::ModuleEmulator::kDefaultConfig);
    }

    // A refused value shows its message and sends no packet; Set still ends
    // with the read-back.
    void refusedValueSendsNoPacket_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("title");
        QTest::newRow("address ??") << "Text4"
                                    << "??"
                                    << "Invalid input (00-FF)"
                                    << "Error!!";
        QTest::newRow("RF speed ??") << "Combo5"
                                     << "??"
                                     << "Error!! RF TX Speed ?? is not in its list; it takes one "
                                        "of: 1200 bps, 2400 bps, 4800 bps, 9600 bps, 19200 bps"
                                     << korva::applicationTitle();
        QTest::newRow("below band") << "Text9"
                                    << "429.999"
                                    << "Incorrect Frequency value"
                                    << "Error";
    }

    void refusedValueSendsNoPacket()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, message);
        QFETCH(QString, title);
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        setText(s, qPrintable(field), text);
        s.run("Command2");
        QCOMPARE(s.prompts.shown.size(), 1);
        QCOMPARE(s.prompts.shown[0].text, message);
        QCOMPARE(s.prompts.shown[0].title, title);
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---+++---"));
        QCOMPARE(s.emulator.config(), korva::emu::ModuleEmulator::kDefaultConfig);
        QCOMPARE(s.field("Text9"), QStringLiteral("433.920"));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
    }

    // Clicks on every button and choices in every list while Set runs start
    // nothing: the wire carries one clean Set and the lists keep their texts.
    void clickStormDuringSet()
    {
        Session s;
        mapPort(2, s.emulator.devicePath());
        s.connectAndRead();
        s.emulator.clearLog();
        QTimer storm;
        int rounds = 0;
        QObject::connect(&storm, &QTimer::timeout, [&] {
            ++rounds;
            for (const char *name : {"Command2", "Command3", "Command6", "Command7"})
                s.click(name);
            s.choose("Combo1", "2");
            s.choose("Combo2", "9600");
            s.choose("Combo6", "868Mhz");
            QTest::keyClicks(s.list("Combo6")->lineEdit(), "x");
        });
        storm.start(15);
        s.click("Command2");
        storm.stop();
        QVERIFY(rounds > 5); // the storm really ran, however busy the machine
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QCOMPARE(s.prompts.shown.size(), 0);
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)),
                     (QList<QByteArray>{"+++", korva::emu::ModuleEmulator::kDefaultConfig, "---",
                                        "+++", "---"}));
        QCOMPARE(s.field("Combo1"), QStringLiteral("1"));
        QCOMPARE(s.field("Combo2"), QStringLiteral("38400"));
        QCOMPARE(s.window->selectedPort(), QStringLiteral("1"));
        QCOMPARE(s.emulator.lineBaud(), 38400);
        QVERIFY(s.window->port().portOpen());
        QCOMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
    }

    // Closing the window in any pause of Set ends it cleanly: settings saved,
    // never part of a packet written after the close, and the module put back
    // into data mode with "---" after a quiet gap where "+++" was the last.
    void closeDuringSet_data()
    {
        QTest::addColumn<QList<QByteArray>>("sent"); // the close comes in the pause after these
        QTest::addColumn<bool>("leaves");            // the close itself writes "---"
        const QByteArray block = korva::emu::ModuleEmulator::kDefaultConfig;
        QTest::newRow("before the packet") << QList<QByteArray>{"+++"} << true;
        QTest::newRow("after the packet") << QList<QByteArray>{"+++", block} << true;
        QTest::newRow("before the read-back") << QList<QByteArray>{"+++", block, "---"} << false;
        QTest::newRow("in the read-back") << QList<QByteArray>{"+++", block, "---", "+++"} << true;
    }

    void closeDuringSet()
    {
        QFETCH(QList<QByteArray>, sent);
        QFETCH(bool, leaves);
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        s.list("Combo2")->setEditText(QStringLiteral("19200"));
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (bytesOf(sentBursts(s.emulator)) == sent) {
                watch.stop();
                s.window->close();
            }
        });
        watch.start(5);
        s.click("Command2");
        QVERIFY(!s.window->operationRunning());
        QTest::qWait(300);
        const QList<korva::emu::WireBurst> bursts = sentBursts(s.emulator);
        QCOMPARE(bytesOf(bursts), leaves ? sent + QList<QByteArray>{"---"} : sent);
        if (leaves)
            QVERIFY(gapAtLeast(bursts[bursts.size() - 2], bursts.last(), 100));
        QCOMPARE(s.window->statusText(), QStringLiteral("Stopped: the window was closed"));
        QSettings store(settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(store.value("Settings/BAUD").toString(), QStringLiteral("19200"));
        s.window.reset();
        QTest::qWait(50);
    }
};

QTEST_MAIN(TestWrite)
#include "tst_write.moc"
