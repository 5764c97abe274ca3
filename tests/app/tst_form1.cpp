#include "app/form1.h"
#include "app/statuspanel.h"
#include "config/moduleconfig.h"
#include "fakeprompts.h"
#include "testsettings.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTest>

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

QStringList entries(const QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

} // namespace

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
    }

    void labelsAndLists()
    {
        Form1 w;
        const std::pair<const char *, const char *> labels[] = {{"Label1", "Destination Address"},
                                                                {"Label2", "Local Address"},
                                                                {"Label30", "Band"},
                                                                {"Label3", "RF Frequency"},
                                                                {"Label4", "Tx Power"},
                                                                {"Label23", "RSSI Threshhold"},
                                                                {"Label5", "Tx Packet Size"},
                                                                {"Label6", "Rx Packet Size"},
                                                                {"Label28", "RF TX Speed"},
                                                                {"Label13", "0-FF Hex"},
                                                                {"Label14", "0-FF Hex"},
                                                                {"Label7", "MHz"},
                                                                {"Label10", "Decimal (1-30)"},
                                                                {"Label12", "Decimal (1-30)"},
                                                                {"Label29", "BPS"},
                                                                {"Label11", "Comm Port"},
                                                                {"Label15", "Baud Rate"}};
        for (const auto &[name, text] : labels)
            QCOMPARE(w.findChild<QLabel *>(name)->text(), QString::fromLatin1(text));

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

    void tabOrderTopToBottom()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QStringList expected = {"Text1",  "Text2",  "Text3",  "Text4",  "Text5",
                                      "Text6",  "Text7",  "Text8",  "Combo6", "Text9",
                                      "Text10", "Combo4", "Text11", "Text12", "Combo5"};
        w.findChild<QLineEdit *>("Text1")->setFocus();
        QStringList visited;
        for (int i = 0; i < expected.size(); ++i) {
            QWidget *focus = QApplication::focusWidget();
            while (focus && focus->objectName().isEmpty())
                focus = focus->parentWidget();
            visited << (focus ? focus->objectName() : QString());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(visited, expected);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
