#include "app/modempage.h"
#include "session.h"

#include <QTimer>

using korva::ModemPage;
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

const QColor kYellow(255, 255, 0);

// A mark is both the warning colour and the tooltip; half of one is a fault.
QList<int> markedFields(const Session &s)
{
    const auto *page = s.window->findChild<ModemPage *>("ModemPic");
    QList<int> fields;
    for (int field = 0; field < korva::kPageFieldCount; ++field) {
        const QWidget *widget = page->valueField(field);
        const bool coloured = widget->palette().color(QPalette::Text) != kYellow;
        if (coloured != !widget->toolTip().isEmpty())
            return {-1, field};
        if (coloured)
            fields << field;
    }
    return fields;
}

QString tooltip(const Session &s, int field)
{
    return s.window->findChild<ModemPage *>("ModemPic")->valueField(field)->toolTip();
}

// Edits the page as if typed, then clicks Set (or Reset Defaults, answered
// Yes) and waits for the read-back to be decoded.
void writeFromPage(Session &s, const char *button)
{
    s.window->findChild<QLineEdit *>("Text6")->setText("A");
    s.window->findChild<QLineEdit *>("Text9")->setText("434");
    s.list("Combo5")->setEditText("19200 bps");
    s.click(button);
    QTRY_VERIFY(!s.window->receiver().timer1().isActive());
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

    void setMarksWhatTheModuleDidNotTake_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QList<int>>("kept");
        QTest::addColumn<bool>("ignore");
        QTest::addColumn<QList<int>>("marked");
        QTest::addColumn<QString>("tooltip"); // of the first marked field

        QTest::newRow("all taken") << "Command2" << QList<int>{} << false << QList<int>{} << "";
        QTest::newRow("frequency kept") << "Command2" << QList<int>{8, 9} << false << QList<int>{8}
                                        << "Written: 434.000. The module holds: 433.920.";
        QTest::newRow("packet ignored")
            << "Command2" << QList<int>{} << true << QList<int>{5, 8, 13}
            << "Written: A. The module holds: 2.";
        QTest::newRow("reset defaults ignored")
            << "Command6" << QList<int>{} << true << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 13}
            << "Written: 0. The module holds: 7F.";
    }

    void setMarksWhatTheModuleDidNotTake()
    {
        QFETCH(QString, button);
        QFETCH(QList<int>, kept);
        QFETCH(bool, ignore);
        QFETCH(QList<int>, marked);
        QFETCH(QString, tooltip);
        Session s;
        s.connectAndRead();
        s.emulator.setKeptBytes(kept);
        s.emulator.setIgnorePacket(ignore);

        writeFromPage(s, qPrintable(button));
        QCOMPARE(markedFields(s), marked);
        if (!marked.isEmpty())
            QCOMPARE(::tooltip(s, marked.first()), tooltip);
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        QCOMPARE(s.field("Text9"), kept.isEmpty() && !ignore ? "434.000" : "433.920");
    }

    // After a Set the module ignored (fields 5, 8 and 13 marked): what clears the marks.
    void marksClear_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QList<int>>("marked");
        QTest::addColumn<QString>("status");
        QTest::newRow("refresh") << "Command3" << QList<int>{} << "Request Complete";
        QTest::newRow("set taken") << "Command2" << QList<int>{} << "Request Complete";
        QTest::newRow("disconnect") << "Command7" << QList<int>{} << "Disconnected";
        QTest::newRow("typed into a box")
            << "type Text6" << QList<int>{8, 13} << "Request Complete";
        QTest::newRow("typed into a list")
            << "type Combo5" << QList<int>{5, 8} << "Request Complete";
        QTest::newRow("chosen from a list")
            << "choose Combo5" << QList<int>{5, 8} << "Request Complete";
        QTest::newRow("set by the program")
            << "program" << QList<int>{5, 8, 13} << "Request Complete";
    }

    void marksClear()
    {
        QFETCH(QString, action);
        QFETCH(QList<int>, marked);
        QFETCH(QString, status);
        Session s;
        s.connectAndRead();
        s.emulator.setIgnorePacket(true);
        writeFromPage(s, "Command2");
        QCOMPARE(markedFields(s), (QList<int>{5, 8, 13}));

        s.emulator.setIgnorePacket(false);
        if (action == "type Text6") {
            auto *box = s.window->findChild<QLineEdit *>("Text6");
            box->selectAll();
            QTest::keyClicks(box, "4");
        } else if (action == "type Combo5") {
            QTest::keyClicks(s.list("Combo5")->lineEdit(), "0");
        } else if (action == "choose Combo5") {
            s.choose("Combo5", "1200 bps");
        } else if (action == "program") {
            s.window->findChild<ModemPage *>("ModemPic")->setTexts(korva::placeholderTexts());
        } else {
            s.click(qPrintable(action));
            QTRY_VERIFY(!s.window->receiver().timer1().isActive());
        }
        QCOMPARE(markedFields(s), marked);
        QCOMPARE(s.window->statusText(), status);
    }
};

QTEST_MAIN(TestWrite)
#include "tst_write.moc"
