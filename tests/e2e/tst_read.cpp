#include "session.h"

#include "config/moduleconfig.h"

#include <QThread>

using korva::emu::ModuleBehaviour;
using korva::emu::WireBurst;

Q_DECLARE_METATYPE(korva::emu::ModuleBehaviour)

namespace
{

const QString kNoResponse = QStringLiteral("No Response from Modem. Check Comms Port & Baud rate");
const QStringList kPlaceholders(14, QStringLiteral("??"));
const QStringList kExampleFields{"7F", "7F",      "7F",    "7F", "1",  "2",        "3",
                                 "4",  "433.920", "0 dBm", "30", "30", "-103 dBm", "9600 bps"};

QStringList exampleFields(int known)
{
    return kExampleFields.mid(0, known) + kPlaceholders.mid(known);
}

template <typename Field> ModuleBehaviour behaving(Field ModuleBehaviour::*field, Field value)
{
    ModuleBehaviour behaviour;
    behaviour.*field = value;
    return behaviour;
}

} // namespace

class TestRead : public QObject
{
    Q_OBJECT

private slots:
    // The page shows what came back, however the module answered; the tool
    // writes "+++" and "---" no earlier than 100 ms after it, and nothing else.
    void connectShowsTheAnswer_data()
    {
        QTest::addColumn<ModuleBehaviour>("behaviour");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("status");
        const QString complete = QStringLiteral("Request Complete");
        ModuleBehaviour split = behaving(&ModuleBehaviour::splitAfter, 5);
        split.splitGapMs = 250;
        QTest::newRow("433") << ModuleBehaviour{} << kExampleFields << complete;
        QTest::newRow("silent") << behaving(&ModuleBehaviour::silent, true) << kPlaceholders
                                << kNoResponse;
        QTest::newRow("answer after the pause")
            << behaving(&ModuleBehaviour::answerDelayMs, 250) << kExampleFields << kNoResponse;
        QTest::newRow("short") << behaving(&ModuleBehaviour::answerLength, 9) << exampleFields(8)
                               << complete;
        // The rest after a gap is not taken as a configuration.
        QTest::newRow("split by a gap") << split << exampleFields(5) << complete;
    }

    void connectShowsTheAnswer()
    {
        QFETCH(ModuleBehaviour, behaviour);
        QFETCH(QStringList, fields);
        QFETCH(QString, status);
        Session s;
        s.emulator.setBehaviour(behaviour);
        s.connectAndRead();
        QCOMPARE(s.window->statusText(), status);
        QTRY_COMPARE(s.fields(), fields);
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Disconnect"));
        QCOMPARE(s.button("Command2")->isEnabled(), !behaviour.silent);
        QVERIFY(s.button("Command3")->isEnabled());
        QCOMPARE(s.window->configExpected(), behaviour.silent);
        QVERIFY(s.prompts.shown.isEmpty());
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
        const QList<WireBurst> sent = sentBursts(s.emulator);
        QVERIFY2(gapAtLeast(sent[0], sent[1], 100),
                 qPrintable(QString::number(sent[1].firstUsec - sent[0].lastUsec)));
        QTRY_VERIFY(!s.emulator.inCommandMode());
    }

    // A new baud rate reconnects at that rate when connected, and only sets it otherwise.
    void choosingABaudRate_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected") << true;
        QTest::newRow("disconnected") << false;
    }

    void choosingABaudRate()
    {
        QFETCH(bool, connected);
        Session s;
        if (connected)
            s.connectAndRead();
        s.emulator.clearLog();
        s.choose("Combo2", "9600");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QCOMPARE(s.window->port().portOpen(), connected);
        QCOMPARE(s.window->port().settings(), QStringLiteral("9600,n,8,1"));
        if (!connected) {
            QCOMPARE(s.window->statusText(), QStringLiteral("Disconnected"));
            QCOMPARE(s.emulator.receivedBytes(), QByteArray());
            s.connectAndRead();
        }
        QCOMPARE(s.emulator.lineBaud(), 9600);
        QTRY_COMPARE(s.emulator.receivedBytes(), QByteArray("+++---"));
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.fields(), kExampleFields);
    }

    // Choosing a port connects, and a click on Disconnect keeps the page as it
    // was; a port with no device is reported, with nothing written.
    void choosingAPort_data()
    {
        QTest::addColumn<bool>("present");
        QTest::newRow("with its device") << true;
        QTest::newRow("with no device") << false;
    }

    void choosingAPort()
    {
        QFETCH(bool, present);
        Session s;
        mapPort(4, present ? s.emulator.devicePath() : QStringLiteral("/dev/korva-no-such-device"));
        s.choose("Combo1", "4");
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        if (present) {
            QCOMPARE(s.window->selectedPort(), QStringLiteral("4"));
            QCOMPARE(s.button("Command7")->text(), QStringLiteral("Disconnect"));
            QCOMPARE(s.fields(), kExampleFields);
            s.click("Command7");
            QVERIFY(!s.window->port().portOpen());
            QCOMPARE(s.window->statusText(), QStringLiteral("Disconnected"));
        } else {
            QCOMPARE(s.prompts.shown.size(), 1);
            QCOMPARE(s.prompts.shown[0].text, QStringLiteral("Please select a valid comms port"));
            QCOMPARE(s.prompts.shown[0].title, korva::applicationTitle());
            QCOMPARE(s.window->statusText(), kNoResponse);
            QCOMPARE(s.emulator.receivedBytes(), QByteArray());
        }
        QCOMPARE(s.button("Command7")->text(), QStringLiteral("Connect"));
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!s.button(name)->isEnabled(), name);
        QCOMPARE(s.fields(), present ? kExampleFields : kPlaceholders);
    }

    // A band chosen from the list reads the module once; each typed change of it
    // reads once per key, and leaving the box afterwards reads nothing more.
    void bandChangeReadsTheModuleAgain_data()
    {
        QTest::addColumn<bool>("typed");
        QTest::newRow("chosen") << false;
        QTest::newRow("typed") << true;
    }

    void bandChangeReadsTheModuleAgain()
    {
        QFETCH(bool, typed);
        Session s;
        s.connectAndRead();
        s.emulator.clearLog();
        if (typed) {
            QLineEdit *band = s.list("Combo6")->lineEdit();
            band->setFocus();
            band->selectAll();
            QTest::keyClicks(band, "868Mhz");
            QTest::keyClick(band, Qt::Key_Tab);
        } else {
            s.choose("Combo6", "868Mhz");
        }
        const QByteArray requests = QByteArray("+++---").repeated(typed ? 6 : 1);
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        QTRY_COMPARE(s.emulator.receivedBytes(), requests);
        QTest::qWait(150);
        QCOMPARE(s.emulator.receivedBytes(), requests);
        QCOMPARE(s.field("Combo6"), QStringLiteral("868Mhz"));
        // Keys sent back to back let an answer delayed by a loaded machine run into
        // the next key's request, whose discard cuts it; Refresh reads with the band.
        s.click("Command3");
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.field("Text9"), QStringLiteral("867.840"));
    }

    // Traffic taken in just before a request does not end the request's burst
    // early: a slow module's answer is still decoded.
    void trafficJustBeforeASlowAnswer()
    {
        Session s;
        s.connectAndRead();
        s.emulator.setAnswerDelayMs(150);
        s.emulator.transmit(hex("4F 4B"));
        QTRY_VERIFY(s.window->receiver().timer1().isActive());
        s.click("Command3");
        QTRY_COMPARE(s.fields(), kExampleFields);
    }

    // Radio traffic arriving just before Refresh's "+++" is not part of the answer: the
    // page shows the module's configuration and Set writes that configuration back.
    void staleBytesAreNotTheAnswer()
    {
        Session s;
        s.connectAndRead();
        s.emulator.transmit(hex("4F 4B 0D 0A 55"));
        // Waits without running events, so the bytes are still unread at the click.
        for (int i = 0; i < 100 && s.emulator.log().size() < 26; ++i)
            QThread::msleep(5);
        QThread::msleep(20);
        s.button("Command3")->click();
        QTRY_VERIFY(!s.window->configExpected());
        QCOMPARE(s.fields(), kExampleFields);
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QTRY_VERIFY(s.emulator.receivedBytes().endsWith("---"));
        s.emulator.clearLog();
        s.click("Command2");
        QTRY_COMPARE(bytesOf(sentBursts(s.emulator)).value(1),
                     korva::emu::ModuleEmulator::kDefaultConfig);
        QVERIFY(s.prompts.shown.isEmpty());
    }
};

QTEST_MAIN(TestRead)
#include "tst_read.moc"
