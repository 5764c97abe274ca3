#include "app/form1.h"
#include "fakeprompts.h"
#include "testsettings.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QTabBar>
#include <QTest>

using korva::Form1;

class TestEditing : public QObject
{
    Q_OBJECT

private slots:
    void init() { removeSettingsFile(); }

    void addressBoxSelectsAllOnFocus_data()
    {
        QTest::addColumn<QString>("box");
        for (int i = 1; i <= 8; ++i)
            QTest::addRow("Text%d", i) << QStringLiteral("Text%1").arg(i);
    }

    void addressBoxSelectsAllOnFocus()
    {
        QFETCH(QString, box);
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *edit = w.findChild<QLineEdit *>(box);
        edit->setText("7F");
        // By mouse: the click itself would move the caret, the selection comes after it.
        QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(4, edit->height() / 2));
        QTRY_COMPARE(edit->selectedText(), QStringLiteral("7F"));
        QTest::keyClicks(edit, "A");
        QCOMPARE(edit->text(), QStringLiteral("A"));
        QTest::keyClicks(edit, "BCD");
        QCOMPARE(edit->text(), QStringLiteral("AB"));
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

    // The port and baud lists open on a click anywhere on them, text included.
    void clickOnChoiceListTextOpensIt()
    {
        Form1 w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.findChild<QTabBar *>("TabStrip1")->setCurrentIndex(1);
        auto *combo = w.findChild<QComboBox *>("Combo2");
        QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
        QTRY_VERIFY(combo->view()->isVisible());
        combo->hidePopup();
        QCOMPARE(combo->currentText(), QStringLiteral("38400"));
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
};

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
