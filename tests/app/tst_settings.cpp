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

    void firstRunShowsDefaults()
    {
        Form1 w;
        QCOMPARE(list(w, "Combo1")->currentText(), QStringLiteral("1"));
        QCOMPARE(list(w, "Combo2")->currentText(), QStringLiteral("38400"));
        QCOMPARE(w.selectedPort(), QStringLiteral("1"));
        QVERIFY(!QFile::exists(settingsFilePath()));
    }

    void storedTextsComeBackWithoutConnecting_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("baud");
        QTest::newRow("entries") << "5"
                                 << "9600";
        QTest::newRow("not in the lists") << "abc"
                                          << "12x";
        QTest::newRow("spaces kept") << " 3 "
                                     << "2400";
    }

    void storedTextsComeBackWithoutConnecting()
    {
        QFETCH(QString, port);
        QFETCH(QString, baud);
        {
            Form1 w;
            list(w, "Combo1")->setEditText(port);
            list(w, "Combo2")->setEditText(baud);
            w.close();
        }
        QCOMPARE(stored("Port").toString(), port);
        QCOMPARE(stored("BAUD").toString(), baud);
        Form1 again;
        QCOMPARE(list(again, "Combo1")->currentText(), port);
        QCOMPARE(list(again, "Combo2")->currentText(), baud);
        QCOMPARE(again.selectedPort(), port);
        QVERIFY(!again.port().portOpen());
        QCOMPARE(again.statusText(), QStringLiteral("Disconnected"));
    }

    void closingWritesBothKeysWhenNeverConnected()
    {
        {
            Form1 w;
            w.close();
        }
        QCOMPARE(stored("Port").toString(), QStringLiteral("1"));
        QCOMPARE(stored("BAUD").toString(), QStringLiteral("38400"));
    }

    void blankBoxKeepsStoredValue_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("baud");
        QTest::addColumn<QString>("expectedPort");
        QTest::addColumn<QString>("expectedBaud");
        QTest::newRow("port blank") << ""
                                    << "4800"
                                    << "7"
                                    << "4800";
        QTest::newRow("port spaces") << "   "
                                     << "4800"
                                     << "7"
                                     << "4800";
        QTest::newRow("baud blank") << "2"
                                    << ""
                                    << "2"
                                    << "19200";
        QTest::newRow("both blank") << " "
                                    << "  "
                                    << "7"
                                    << "19200";
    }

    void blankBoxKeepsStoredValue()
    {
        QFETCH(QString, port);
        QFETCH(QString, baud);
        QFETCH(QString, expectedPort);
        QFETCH(QString, expectedBaud);
        store("Port", "7");
        store("BAUD", "19200");
        {
            Form1 w;
            list(w, "Combo1")->setEditText(port);
            list(w, "Combo2")->setEditText(baud);
            w.close();
        }
        QCOMPARE(stored("Port").toString(), expectedPort);
        QCOMPARE(stored("BAUD").toString(), expectedBaud);
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
