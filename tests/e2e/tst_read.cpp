#include "session.h"

#include "config/moduleconfig.h"
#include "serial/mscomm.h"

#include <QThread>

using korva::emu::WireBurst;
using korva::emu::WireByte;

namespace
{

const QString kNoResponse = QStringLiteral("No Response from Modem. Check Comms Port & Baud rate");
const QStringList kPlaceholders(14, QStringLiteral("??"));

} // namespace

class TestRead : public QObject
{
    Q_OBJECT

private slots:
    void connectShowsTheModulesConfiguration_data()
    {
        QTest::addColumn<QString>("band");
        QTest::addColumn<QString>("frequency");
        QTest::newRow("433") << "433Mhz"
                             << "433.920";
        QTest::newRow("868") << "868Mhz"
                             << "867.840";
    }

    void connectShowsTheModulesConfiguration()
    {
        QFETCH(QString, band);
        QFETCH(QString, frequency);
        Session s;
        s.list("Combo6")->setEditText(band);
        s.connectAndRead();
        QCOMPARE(s.fields(), (QStringList{"7F", "7F", "7F", "7F", "1", "2", "3", "4", frequency,
                                          "0 dBm", "30", "30", "-103 dBm", "9600 bps"}));
        QCOMPARE(s.field("Combo6"), band);
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Disconnect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(s.button(name)->isEnabled(), name);
        QCOMPARE(s.window->channel(), (korva::Channel{0x06, 0x20}));
        QVERIFY(s.prompts.shown.isEmpty());
    }

    // "+++", the module's answer, then "---" no earlier than 100 ms after "+++";
    // nothing else goes on the wire.
    void requestOnTheWire()
    {
        Session s;
        s.connectAndRead();
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
        const QList<WireBurst> bursts = s.emulator.bursts();
        QCOMPARE(bursts.size(), 3);
        QCOMPARE(bursts[0].bytes, QByteArray("+++"));
        QCOMPARE(bursts[1].direction, WireByte::Direction::FromModule);
        QCOMPARE(bursts[1].bytes, korva::emu::ModuleEmulator::kDefaultConfig);
        QCOMPARE(bursts[2].bytes, QByteArray("---"));
        QVERIFY2(bursts[2].firstUsec - bursts[0].lastUsec >= 100000,
                 qPrintable(QString::number(bursts[2].firstUsec - bursts[0].lastUsec)));
        QVERIFY(!s.emulator.inCommandMode());
    }

    // Radio traffic waiting unread at Connect, or arriving just before Refresh's
    // "+++", is not part of the answer: the page shows the module's configuration
    // and Set writes that configuration back.
    void staleBytesAreNotTheAnswer_data()
    {
        QTest::addColumn<bool>("beforeConnect");
        QTest::newRow("waiting at open") << true;
        QTest::newRow("just before the request") << false;
    }

    void staleBytesAreNotTheAnswer()
    {
        QFETCH(bool, beforeConnect);
        Session s;
        if (!beforeConnect)
            s.connectAndRead();
        const QByteArray stale = hex("4F 4B 0D 0A 55");
        s.emulator.transmit(stale);
        // Waits without running events, so the bytes are still unread at the click.
        for (int i = 0; i < 100 && s.emulator.log().size() < (beforeConnect ? 5 : 26); ++i)
            QThread::msleep(5);
        QThread::msleep(20);
        s.button(beforeConnect ? "Command7" : "Command3")->click();
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.fields(), (QStringList{"7F", "7F", "7F", "7F", "1", "2", "3", "4", "433.920",
                                          "0 dBm", "30", "30", "-103 dBm", "9600 bps"}));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QTRY_VERIFY(s.emulator.receivedBytes().endsWith("---"));
        s.emulator.clearLog();
        s.click("Command2");
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)).value(1),
                     korva::emu::ModuleEmulator::kDefaultConfig);
        QVERIFY(s.prompts.shown.isEmpty());
    }

    void silentModule()
    {
        Session s;
        s.emulator.setSilent(true);
        s.connectAndRead();
        QCOMPARE(s.window->statusText(), kNoResponse);
        QCOMPARE(s.fields(), kPlaceholders);
        QVERIFY(s.window->configExpected());
        QVERIFY(s.button("Command3")->isEnabled());
        QVERIFY(!s.button("Command2")->isEnabled());
        QVERIFY(!s.button("Command6")->isEnabled());
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
    }

    // An answer that begins only after the pause is still decoded once it ends.
    void answerAfterThePause()
    {
        Session s;
        s.emulator.setAnswerDelayMs(250);
        s.click("Command7");
        QCOMPARE(s.window->statusText(), kNoResponse);
        QCOMPARE(s.fields(), kPlaceholders);
        QTRY_COMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
        QCOMPARE(s.field("Text9"), QStringLiteral("433.920"));
        QVERIFY(s.button("Command2")->isEnabled());
    }

    void shortAnswer()
    {
        Session s;
        s.emulator.setAnswerLength(9);
        s.connectAndRead();
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.fields(), (QStringList{"7F", "7F", "7F", "7F", "1", "2", "3", "4", "??", "??",
                                          "??", "??", "??", "??"}));
    }

    // A short answer after a full one shows "??" where this answer had no bytes,
    // never the bytes of the earlier answer.
    void shortAnswerAfterAFullOne()
    {
        Session s;
        s.connectAndRead();
        QCOMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
        s.emulator.setAnswerLength(12);
        s.click("Command3");
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.fields(), (QStringList{"7F", "7F", "7F", "7F", "1", "2", "3", "4", "433.920",
                                          "0 dBm", "30", "??", "??", "??"}));
    }

    // A gap of more than 100 ms inside the answer ends the burst: the first part
    // is shown alone and the rest is not taken as a configuration.
    void splitAnswer()
    {
        Session s;
        s.emulator.setSplit(5, 250);
        s.connectAndRead();
        QTRY_COMPARE(s.emulator.log().size(), 3 + 15 + 3);
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QCOMPARE(s.fields(), (QStringList{"7F", "7F", "7F", "7F", "1", "??", "??", "??", "??", "??",
                                          "??", "??", "??", "??"}));
    }

    // Every byte of the block takes its own slot, 0xA5 included.
    void blocksHoldingA5_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("address bytes")
            << hex("A5 01 A5 02 A5 A5 03 04 06 20 00 1E 1E 00 23")
            << QStringList{"A5", "1",       "A5",    "2",  "A5", "A5",       "3",
                           "4",  "433.920", "0 dBm", "30", "30", "-103 dBm", "9600 bps"};
        QTest::newRow("channel and sizes")
            << hex("00 00 00 00 00 00 00 00 A5 A5 07 A5 A5 05 11")
            << QStringList{"0", "0",       "0",       "0",   "0",   "0",       "0",
                           "0", "536.013", "-21 dBm", "165", "165", "-73 dBm", "19200 bps"};
        QTest::newRow("last byte")
            << hex("01 02 03 04 05 06 07 08 00 00 03 0A 14 02 A5")
            << QStringList{"1", "2",       "3",      "4",  "5",  "6",       "7",
                           "8", "430.000", "-9 dBm", "10", "20", "-91 dBm", "??"};
    }

    void blocksHoldingA5()
    {
        QFETCH(QByteArray, block);
        QFETCH(QStringList, expected);
        Session s;
        QVERIFY(s.emulator.setConfig(block));
        s.connectAndRead();
        QCOMPARE(s.fields(), expected);
    }

    void codesOutsideTheTables()
    {
        Session s;
        QVERIFY(s.emulator.setConfig(hex("7F 7F 7F 7F 01 02 03 04 06 20 08 1E 1E 06 03")));
        s.connectAndRead();
        QCOMPARE(s.field("Text10"), QStringLiteral("??"));
        QCOMPARE(s.field("Combo4"), QStringLiteral("??"));
        QCOMPARE(s.field("Combo5"), QStringLiteral("??"));
        QCOMPARE(s.field("Text11"), QStringLiteral("30"));
    }

    void choosingABaudRateWhileConnectedReconnects()
    {
        Session s;
        s.connectAndRead();
        QCOMPARE(s.emulator.lineBaud(), 38400);
        s.emulator.clearLog();
        s.choose("Combo2", "9600");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QCOMPARE(s.emulator.lineBaud(), 9600);
        QCOMPARE(s.window->port().settings(), QStringLiteral("9600,n,8,1"));
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
        QVERIFY(s.button("Command2")->isEnabled());
    }

    void choosingABaudRateWhileDisconnectedChangesNothing()
    {
        Session s;
        s.choose("Combo2", "9600");
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.window->statusText(), QStringLiteral("Disconnected"));
        QCOMPARE(s.emulator.receivedBytes(), QByteArray());
        s.connectAndRead();
        QCOMPARE(s.emulator.lineBaud(), 9600);
    }

    void choosingAPortConnects()
    {
        Session s;
        mapPort(4, s.emulator.devicePath());
        s.choose("Combo1", "4");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QCOMPARE(s.window->selectedPort(), QStringLiteral("4"));
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Disconnect"));
        QCOMPARE(s.field("Text9"), QStringLiteral("433.920"));
    }

    void choosingAPortWithNoDevice()
    {
        Session s;
        mapPort(9, QStringLiteral("/dev/korva-no-such-device"));
        s.choose("Combo1", "9");
        QCOMPARE(s.prompts.shown.size(), 1);
        QCOMPARE(s.prompts.shown[0].text, QStringLiteral("Please select a valid comms port"));
        QCOMPARE(s.prompts.shown[0].title, korva::applicationTitle());
        QCOMPARE(s.window->statusText(), kNoResponse);
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!s.button(name)->isEnabled(), name);
        QCOMPARE(s.fields(), kPlaceholders);
    }

    // A port already held by another program is reported with its reason.
    void busyPort()
    {
        Session s;
        korva::MSComm other;
        QVERIFY(!other.setCommPort(QStringLiteral("1")));
        QVERIFY(!other.setPortOpen(true));
        s.click("Command7");
        QCOMPARE(s.prompts.shown.size(), 1);
        QVERIFY(s.prompts.shown[0].text.startsWith(QStringLiteral("Error: ")));
        QCOMPARE(s.prompts.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(s.window->statusText(), kNoResponse);
        QCOMPARE(s.emulator.receivedBytes(), QByteArray());
    }

    void disconnect()
    {
        Session s;
        s.connectAndRead();
        s.click("Command7");
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.window->statusText(), QStringLiteral("Disconnected"));
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!s.button(name)->isEnabled(), name);
        QCOMPARE(s.field("Text9"), QStringLiteral("433.920"));
    }

    // The line dropping while connected closes the port, reports once, and a new
    // connection works once the device is back.
    void deviceHangsUpWhileConnected()
    {
        Session s;
        s.connectAndRead();
        s.emulator.hangUp();
        QTRY_COMPARE(s.prompts.shown.size(), 1);
        QTest::qWait(300);
        QCOMPARE(s.prompts.shown.size(), 1);
        QVERIFY(s.prompts.shown[0].text.startsWith(QStringLiteral("Error: ")));
        QCOMPARE(s.prompts.shown[0].title, QStringLiteral("Error"));
        QCOMPARE(s.window->statusText(),
                 QStringLiteral("Error!! ") + s.prompts.shown[0].text.mid(7));
        QVERIFY(!s.window->port().portOpen());
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!s.button(name)->isEnabled(), name);

        korva::emu::ModuleEmulator replacement;
        mapPort(1, replacement.devicePath());
        s.connectAndRead();
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.field("Combo5"), QStringLiteral("9600 bps"));
        QCOMPARE(replacement.receivedBytes(), QByteArray("+++---"));
    }

    // Each typed change of the band reads the module once; leaving the box
    // afterwards reads nothing more.
    void typingABandReadsOncePerKey()
    {
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        QLineEdit *band = s.list("Combo6")->lineEdit();
        band->setFocus();
        band->selectAll();
        QTest::keyClicks(band, "868Mhz");
        QTest::keyClick(band, Qt::Key_Tab);
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---").repeated(6));
        QTest::qWait(150);
        QCOMPARE(s.emulator.receivedBytes(), QByteArray("+++---").repeated(6));
        QCOMPARE(s.field("Combo6"), QStringLiteral("868Mhz"));
        // Keys sent back to back let an answer delayed by a loaded machine run into
        // the next key's request, whose discard cuts it; Refresh reads with the band.
        s.click("Command3");
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.field("Text9"), QStringLiteral("867.840"));
    }

    void bandChangeReadsTheModuleAgain()
    {
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        s.choose("Combo6", "868Mhz");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
        QCOMPARE(s.field("Text9"), QStringLiteral("867.840"));
        QCOMPARE(s.field("Combo6"), QStringLiteral("868Mhz"));
    }
};

QTEST_MAIN(TestRead)
#include "tst_read.moc"
