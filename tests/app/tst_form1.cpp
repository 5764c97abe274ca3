#include "app/form1.h"
#include "app/statuspanel.h"
#include "config/moduleconfig.h"
#include "fakeprompts.h"
#include "moduleemulator.h"
#include "testsettings.h"

#include <QAccessible>
#include <QAccessibleBridge>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using korva::Form1;

namespace
{

const QStringList kValueFields = {"Text1",  "Text2",  "Text3",  "Text4", "Text5",
                                  "Text6",  "Text7",  "Text8",  "Text9", "Text10",
                                  "Text11", "Text12", "Combo4", "Combo5"};

QString fieldText(const Form1 &w, const QString &name)
{
    if (auto *box = w.findChild<QLineEdit *>(name, Qt::FindDirectChildrenOnly))
        return box->text();
    if (auto *box = w.findChild<QLineEdit *>(name))
        return box->text();
    return w.findChild<QComboBox *>(name)->currentText();
}

// What a screen reader calls a control. On Linux Qt names a list by its text
// and points to its label through a relation, which the reader speaks instead.
QString spokenName(QWidget *widget)
{
    QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
    if (qobject_cast<QComboBox *>(widget)) {
        const auto labels = control->relations(QAccessible::Label);
        return labels.isEmpty() ? QString() : labels.first().first->text(QAccessible::Name);
    }
    return control->text(QAccessible::Name);
}

// Records what reaches a screen reader's bridge, as the platform hands it over.
struct RecordedEvents {
    QObject *watched = nullptr;
    QList<QAccessible::Event> types;
};
RecordedEvents g_recorded;

class RecordingBridge : public QAccessibleBridge
{
public:
    void setRootObject(QAccessibleInterface *) override {}
    void notifyAccessibilityUpdate(QAccessibleEvent *event) override
    {
        if (event->object() && event->object() == g_recorded.watched)
            g_recorded.types << event->type();
    }
};

QStringList entries(const QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

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

class RecordingBridgePlugin : public QAccessibleBridgePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QAccessibleBridgeFactoryInterface_iid FILE "recordingbridge.json")
public:
    // Qt keeps the bridge for the life of the program and never deletes it.
    QAccessibleBridge *create(const QString &) override { return &m_bridge; }

private:
    RecordingBridge m_bridge;
};

Q_IMPORT_PLUGIN(RecordingBridgePlugin)

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init() { removeSettingsFile(); }

    void startUpState()
    {
        Form1 w;
        QCOMPARE(w.windowTitle(), QStringLiteral("KORVA Module Setup Utility - Version:1.0.95"));
        QCOMPARE(w.statusText(), QStringLiteral("Disconnected"));
        auto *statusBar = w.findChild<QStatusBar *>("StatusBar1");
        // The one panel is the bar's only text: no message drawn over it.
        QCOMPARE(statusBar->currentMessage(), QString());
        QCOMPARE(statusBar->findChild<QLabel *>()->text(), QStringLiteral("Disconnected"));
        QCOMPARE(statusBar->font().pointSizeF(), 9.0);
        for (const QString &name : kValueFields)
            QCOMPARE(fieldText(w, name), QStringLiteral("??"));
        QCOMPARE(w.findChild<QComboBox *>("Combo6")->currentText(), QStringLiteral("433Mhz"));
        auto *connect = w.findChild<QPushButton *>("Command7");
        QCOMPARE(connect->text(), QStringLiteral("Connect"));
        QVERIFY(connect->isEnabled());
        for (const char *name : {"Command2", "Command3", "Command6"})
            QVERIFY2(!w.findChild<QPushButton *>(name)->isEnabled(), name);
        QCOMPARE(w.findChild<QPushButton *>("Command2")->text(), QStringLiteral("Set"));
        QCOMPARE(w.findChild<QPushButton *>("Command6")->text(), QStringLiteral("Reset Defaults"));
        QCOMPARE(w.findChild<QPushButton *>("Command3")->text(), QStringLiteral("Refresh"));
        QVERIFY(!w.port().portOpen());
        QCOMPARE(w.size(), QSize(425, 468));
        const QStringList labels{
            "Label1=Destination Address", "Label2=Local Address",   "Label30=Band",
            "Label3=RF Frequency",        "Label4=Tx Power",        "Label23=RSSI Threshhold",
            "Label5=Tx Packet Size",      "Label6=Rx Packet Size",  "Label28=RF TX Speed",
            "Label13=0-FF Hex",           "Label14=0-FF Hex",       "Label7=MHz",
            "Label10=Decimal (1-30)",     "Label12=Decimal (1-30)", "Label29=BPS",
            "Label11=Comm Port",          "Label15=Baud Rate"};
        for (const QString &label : labels)
            QCOMPARE(w.findChild<QLabel *>(label.section(u'=', 0, 0))->text(),
                     label.section(u'=', 1));
        QStringList ports;
        for (int port = 1; port <= 15; ++port)
            ports << QString::number(port);
        const std::pair<const char *, QStringList> lists[] = {
            {"Combo1", ports},
            {"Combo2",
             {"2400", "4800", "9600", "14400", "19200", "28800", "38400", "56000", "128000",
              "256000"}},
            {"Text10", korva::txPowerTexts()},
            {"Combo4", korva::rssiThresholdTexts()},
            {"Combo5", korva::rfTxSpeedTexts()},
            {"Combo6", korva::bandTexts()}};
        for (const auto &[name, items] : lists) {
            auto *list = w.findChild<QComboBox *>(name);
            QCOMPARE(entries(list), items);
            QVERIFY(list->isEnabled());
        }
    }

    void appearance()
    {
        Form1 w;
        const QColor yellow(255, 255, 0);
        for (const QString &name : kValueFields.mid(0, 9) + QStringList{"Text11", "Text12"}) {
            auto *box = w.findChild<QLineEdit *>(name);
            QVERIFY2(box, qPrintable(name));
            QCOMPARE(box->palette().color(QPalette::Text), yellow);
            QCOMPARE(box->palette().color(QPalette::Base), QColor(Qt::black));
            QVERIFY(box->font().bold());
            QVERIFY(box->font().fixedPitch());
            QCOMPARE(box->font().pointSizeF(), 10.5);
            QCOMPARE(box->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        }
        for (const char *name : {"Text10", "Combo4", "Combo5", "Combo6"}) {
            auto *list = w.findChild<QComboBox *>(name);
            QCOMPARE(list->palette().color(QPalette::Text), yellow);
            QCOMPARE(list->font().pointSizeF(), 11.25);
            QVERIFY(list->font().bold());
        }
        QCOMPARE(w.findChild<QComboBox *>("Combo1")->font().pointSizeF(), 9.75);
        QCOMPARE(w.findChild<QLabel *>("Label11")->font().pointSizeF(), 9.75);
        QCOMPARE(w.findChild<QLabel *>("StatusPanel1")->font().pointSizeF(), 9.0);
        for (const char *page : {"ModemPic", "CommsPic"})
            QCOMPARE(w.findChild<QWidget *>(page)->palette().color(QPalette::Window),
                     QColor(252, 252, 252));
    }

    // A status wider than the bar is cut with an ellipsis; the whole text stays
    // the status and the panel's tooltip.
    void longStatusIsElided()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *panel = w.findChild<korva::StatusPanel *>("StatusPanel1");
        const QString text = "Error!! The device " + QString(120, u'x') + " was disconnected";
        panel->setStatus(text);
        QVERIFY2(panel->text().endsWith(u'\u2026') && panel->text().size() < text.size(),
                 qPrintable(panel->text()));
        QVERIFY(panel->text().startsWith("Error!! The device x"));
        QCOMPARE(panel->toolTip(), text);
        QCOMPARE(w.statusText(), text);
        QVERIFY(panel->width() < w.width());
    }

    // Switching pages changes only the page shown and the frame's caption.
    void pageSwitching()
    {
        Form1 w;
        w.show();
        auto *tabs = w.findChild<QTabBar *>("TabStrip1");
        auto *frame = w.findChild<QGroupBox *>("Frame2");
        w.findChild<QLineEdit *>("Text9")->setText("433.920");
        w.findChild<QLineEdit *>("Text1")->setText("7F");
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Modem Setup"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Comms Port Setup"));
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(frame->title(), QStringLiteral("Modem Settings"));
        QVERIFY(w.findChild<QWidget *>("CommsPic")->isHidden());

        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
        QCOMPARE(frame->title(), QStringLiteral("Comms Setup"));
        QVERIFY(w.findChild<QWidget *>("CommsPic")->isVisible());
        QVERIFY(!w.findChild<QWidget *>("ModemPic")->isVisible());
        QCOMPARE(w.statusText(), QStringLiteral("Disconnected"));

        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
        QCOMPARE(frame->title(), QStringLiteral("Modem Settings"));
        QVERIFY(w.findChild<QWidget *>("ModemPic")->isVisible());
        QVERIFY(!w.findChild<QWidget *>("CommsPic")->isVisible());
        QCOMPARE(fieldText(w, "Text9"), QStringLiteral("433.920"));
        QCOMPARE(fieldText(w, "Text1"), QStringLiteral("7F"));
        QCOMPARE(fieldText(w, "Text2"), QStringLiteral("??"));
        QCOMPARE(w.findChild<QComboBox *>("Combo6")->currentText(), QStringLiteral("433Mhz"));
    }

    // What a screen reader says of a control: its name and, where a hint stands
    // beside it, the hint.
    void accessibleTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("spoken");
        QTest::addColumn<QString>("description");
        const auto control = [](const char *row, const char *name, const char *spoken,
                                const char *description) {
            QTest::newRow(row) << QString(name) << QString(spoken) << QString(description);
        };
        control("first address byte", "Text1", "Destination Address, byte 1 of 4", "0-FF Hex");
        control("last address byte", "Text8", "Local Address, byte 4 of 4", "0-FF Hex");
        control("frequency", "Text9", "RF Frequency in MHz", "MHz");
        control("packet size", "Text12", "Rx Packet Size", "Decimal (1-30)");
        control("list with a hint", "Combo5", "RF TX Speed", "BPS");
        control("list", "Combo4", "RSSI Threshhold", "");
        control("port list, with its device", "Combo1", "Comm Port", "Device: no device");
        control("button", "Command6", "Reset Defaults", "");
        control("status", "StatusPanel1", "Status", "Disconnected");
    }

    void accessibleTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, spoken);
        QFETCH(QString, description);
        korva::setSystemPortSource([] { return QList<korva::SystemPort>{}; });
        Form1 w;
        QWidget *widget = w.findChild<QWidget *>(name);
        QCOMPARE(spokenName(widget), spoken);
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
        QTRY_COMPARE(control->text(QAccessible::Description), description);
        korva::setSystemPortSource({});
    }

    // No control that takes the focus is nameless to a screen reader.
    void everyFocusableControlIsNamed()
    {
        Form1 w;
        int walked = 0;
        for (QWidget *widget : w.findChildren<QWidget *>()) {
            if (!(widget->focusPolicy() & Qt::TabFocus) || widget->focusProxy() ||
                widget->window() != &w)
                continue;
            ++walked;
            const QString name = spokenName(widget);
            QVERIFY2(!name.trimmed().isEmpty(),
                     qPrintable(QStringLiteral("%1 (%2) has no accessible name")
                                    .arg(widget->objectName(),
                                         QLatin1String(widget->metaObject()->className()))));
        }
        QVERIFY(walked >= 24);
    }

    // Every status written raises an event a screen reader announces, the same
    // text written again too.
    void statusChangeIsAnnounced()
    {
        Form1 w;
        auto *panel = w.findChild<korva::StatusPanel *>("StatusPanel1");
        g_recorded = {panel, {}};
        panel->setStatus(QStringLiteral("Request Complete"));
        panel->setStatus(QStringLiteral("Request Complete"));
        g_recorded.watched = nullptr;
        QCOMPARE(g_recorded.types.count(QAccessible::DescriptionChanged), 2);
        QCOMPARE(QAccessible::queryAccessibleInterface(panel)->text(QAccessible::Description),
                 QStringLiteral("Request Complete"));
    }

    // While Comms Port Setup shows, its device line follows a device that comes
    // and goes, and the window never scans the system's ports on its own thread.
    void deviceLineFollowsAdapters_data()
    {
        QTest::addColumn<bool>("portsEntry"); // port 1 named by [Ports], else the system's first
        QTest::addColumn<QString>("present"); // the line's device while the link is there
        QTest::addColumn<QString>("absent");
        QTest::newRow("[Ports] entry") << true << QString("%1") << "%1 (not present)";
        QTest::newRow("system adapter") << false << QString("%1 (FT232R USB UART)") << "no device";
    }

    void deviceLineFollowsAdapters()
    {
        QFETCH(bool, portsEntry);
        QFETCH(QString, present);
        QFETCH(QString, absent);
        QTemporaryDir folder;
        const QString link = folder.filePath(QStringLiteral("by-path-port0"));
        korva::emu::ModuleEmulator device;
        static std::atomic<int> scansOnUiThread;
        scansOnUiThread = 0;
        korva::setSystemPortSource([link, portsEntry] {
            scansOnUiThread += QThread::currentThread() == qApp->thread();
            if (portsEntry || !QFileInfo::exists(link))
                return QList<korva::SystemPort>{};
            return QList<korva::SystemPort>{{"ttyUSB0", {link, "FT232R USB UART"}, true}};
        });
        if (portsEntry)
            mapPort(1, link);

        Form1 w;
        w.show();
        w.findChild<QTabBar *>("TabStrip1")->setCurrentIndex(1);
        auto *line = w.findChild<QLabel *>("PortDevice");
        const auto shows = [&](const QString &form) {
            return QStringLiteral("Device: ") + QString(form).replace(QStringLiteral("%1"), link);
        };
        QTRY_COMPARE(line->text(), shows(absent));
        QVERIFY(QFile::link(device.devicePath(), link));
        QTRY_COMPARE(line->text(), shows(present));
        QVERIFY(QFile::remove(link));
        QTRY_COMPARE(line->text(), shows(absent));
        QCOMPARE(scansOnUiThread.load(), 0);
        korva::setSystemPortSource({});
    }

    void tabbingIntoPlaceholderSelectsIt()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.findChild<QLineEdit *>("Text1")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        auto *second = w.findChild<QLineEdit *>("Text2");
        QCOMPARE(QApplication::focusWidget(), second);
        QTRY_COMPARE(second->selectedText(), QStringLiteral("??"));
        QTest::keyClicks(second, "A");
        QCOMPARE(second->text(), QStringLiteral("A"));
    }

    // Typing into the port and baud lists changes nothing and connects nothing.
    void typedKeysInPortListsAreDiscarded_data()
    {
        QTest::addColumn<QString>("list");
        QTest::newRow("Combo1") << "Combo1";
        QTest::newRow("Combo2") << "Combo2";
    }

    void typedKeysInPortListsAreDiscarded()
    {
        QFETCH(QString, list);
        FakePrompts prompts;
        Form1 w;
        w.setPrompts(&prompts);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *combo = w.findChild<QComboBox *>(list);
        const QString before = combo->currentText();
        combo->setFocus();
        QTest::keyClicks(combo, "7x ");
        QTest::keyClick(combo, Qt::Key_Backspace);
        QTest::keyClick(combo, Qt::Key_Return);
        QCOMPARE(combo->currentText(), before);
        QVERIFY(!w.port().portOpen());
        QCOMPARE(w.statusText(), QStringLiteral("Disconnected"));
        QVERIFY(prompts.shown.isEmpty());
    }

    // Each typed change of the band reads the module again, which clears the page.
    void typingIntoBandRunsARequest()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_VERIFY(!w.configExpected());
        auto *band = w.findChild<QComboBox *>("Combo6");
        auto *address = w.findChild<QLineEdit *>("Text1");
        address->setText("7F");
        band->setFocus();
        QTest::keyClick(band, Qt::Key_End);
        QTest::keyClick(band, Qt::Key_Backspace);
        QCOMPARE(band->currentText(), QStringLiteral("433Mh"));
        QCOMPARE(address->text(), QStringLiteral("??"));
        QVERIFY(w.configExpected());
        QCOMPARE(w.statusText(),
                 QStringLiteral("No Response from Modem. Check Comms Port & Baud rate"));
        QCOMPARE(band->count(), 2);
    }

    // Typed text in the editable lists stays as typed; no entry is added.
    void editableListsKeepTypedText()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *power = w.findChild<QComboBox *>("Text10");
        power->setFocus();
        power->lineEdit()->selectAll();
        QTest::keyClicks(power, "-3");
        QTest::keyClick(power, Qt::Key_Return);
        QCOMPARE(power->currentText(), QStringLiteral("-3"));
        QCOMPARE(power->count(), 8);
    }

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

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
