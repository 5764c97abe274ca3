#include "app/form1.h"
#include "fakeprompts.h"
#include "testsettings.h"

#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>

using korva::Form1;

namespace
{

QComboBox *list(Form1 &w, const char *name)
{
    return w.findChild<QComboBox *>(name);
}

QVariant stored(const QString &key)
{
    QSettings store(settingsFilePath(), QSettings::IniFormat);
    return store.value(QStringLiteral("Settings/") + key);
}

void store(const QString &key, const QString &value)
{
    QSettings store(settingsFilePath(), QSettings::IniFormat);
    store.setValue(QStringLiteral("Settings/") + key, value);
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init() { removeSettingsFile(); }

    // What the lists hold at close is stored as it stands and comes back at the next
    // start without connecting; a blank box keeps what was stored before.
    void listTextsAreKeptAcrossRuns_data()
    {
        QTest::addColumn<QStringList>("before"); // stored port and baud; empty: first run
        QTest::addColumn<QStringList>("typed");  // empty: left as they start
        QTest::addColumn<QStringList>("after");
        const QStringList stored{"7", "19200"};
        QTest::newRow("first run") << QStringList() << QStringList() << QStringList{"1", "38400"};
        QTest::newRow("entries") << QStringList() << QStringList{"5", "9600"}
                                 << QStringList{"5", "9600"};
        QTest::newRow("not in the lists")
            << QStringList() << QStringList{"abc", "12x"} << QStringList{"abc", "12x"};
        QTest::newRow("spaces kept")
            << stored << QStringList{" 3 ", "2400"} << QStringList{" 3 ", "2400"};
        QTest::newRow("port blank")
            << stored << QStringList{"", "4800"} << QStringList{"7", "4800"};
        QTest::newRow("port spaces")
            << stored << QStringList{"   ", "4800"} << QStringList{"7", "4800"};
        QTest::newRow("baud blank") << stored << QStringList{"2", ""} << QStringList{"2", "19200"};
        QTest::newRow("both blank") << stored << QStringList{" ", "  "} << stored;
    }

    void listTextsAreKeptAcrossRuns()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, after);
        if (!before.isEmpty()) {
            store("Port", before[0]);
            store("BAUD", before[1]);
        }
        {
            Form1 w;
            if (before.isEmpty()) {
                QCOMPARE(list(w, "Combo1")->currentText(), QStringLiteral("1"));
                QCOMPARE(list(w, "Combo2")->currentText(), QStringLiteral("38400"));
                QVERIFY(!QFile::exists(settingsFilePath()));
            }
            if (!typed.isEmpty()) {
                list(w, "Combo1")->setEditText(typed[0]);
                list(w, "Combo2")->setEditText(typed[1]);
            }
            w.close();
        }
        QCOMPARE((QStringList{stored("Port").toString(), stored("BAUD").toString()}), after);
        Form1 again;
        QCOMPARE(list(again, "Combo1")->currentText(), after[0]);
        QCOMPARE(list(again, "Combo2")->currentText(), after[1]);
        QCOMPARE(again.selectedPort(), after[0]);
        QVERIFY(!again.port().portOpen());
        QCOMPARE(again.statusText(), QStringLiteral("Disconnected"));
    }

    // A stored text is shortened in the failure's box: a huge one neither floods
    // the box nor freezes the window while the box is laid out.
    void longStoredPortIsShortenedForDisplay_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("wider than the bar") << 100;
        QTest::newRow("one megabyte") << (1 << 20);
    }

    void longStoredPortIsShortenedForDisplay()
    {
        QFETCH(int, length);
        store("Port", QString(length, u'x'));
        Form1 w;
        FakePrompts prompts;
        w.setPrompts(&prompts);
        QTest::mouseClick(w.findChild<QPushButton *>("Command7"), Qt::LeftButton);
        QTRY_COMPARE(w.statusText(),
                     QStringLiteral("No Response from Modem. Check Comms Port & Baud rate"));
        QCOMPARE(prompts.shown.size(), 1);
        const QString &box = prompts.shown[0].text;
        QVERIFY2(box.size() < 200, qPrintable(box.left(200)));
        QVERIFY2(box.startsWith("Error: Port \"xxxx") && box.endsWith("...\" is not a number"),
                 qPrintable(box));
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
