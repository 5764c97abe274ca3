#include "app/modempage.h"
#include "session.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>

using namespace korva;

namespace
{

const QColor kYellow(255, 255, 0);

bool marked(const ModemPage &page, int field)
{
    const QWidget *widget = page.valueField(field);
    const bool coloured = widget->palette().color(QPalette::Text) != kYellow;
    if (coloured != !widget->toolTip().isEmpty())
        qWarning() << "field" << field << "has only half a mark";
    return coloured;
}

QList<int> markedFields(const ModemPage &page)
{
    QList<int> fields;
    for (int field = 0; field < kPageFieldCount; ++field) {
        if (marked(page, field))
            fields << field;
    }
    return fields;
}

// Edits the page as a user would have typed, then clicks Set (or Reset
// Defaults, answered Yes) and waits for the read-back to be decoded.
void writeFromPage(Session &s, const char *button)
{
    s.window->findChild<QLineEdit *>("Text6")->setText("A");
    s.window->findChild<QLineEdit *>("Text9")->setText("434");
    s.list("Combo5")->setEditText("19200 bps");
    s.click(button);
    QTRY_VERIFY(!s.window->receiver().timer1().isActive());
}

const ModemPage &modemPage(const Session &s)
{
    return *s.window->findChild<ModemPage *>("ModemPic");
}

} // namespace

class TestVerifyMarks : public QObject
{
    Q_OBJECT

private slots:
    void userEditClearsOnlyThatMark_data();
    void userEditClearsOnlyThatMark();
    void setMarksWhatTheModuleDidNotTake_data();
    void setMarksWhatTheModuleDidNotTake();
    void marksClear_data();
    void marksClear();
};

void TestVerifyMarks::userEditClearsOnlyThatMark_data()
{
    QTest::addColumn<int>("edited");
    QTest::newRow("address box typed") << 5;
    QTest::newRow("frequency typed") << 8;
    QTest::newRow("list entry chosen") << 13;
    QTest::newRow("list text typed") << 9;
}

void TestVerifyMarks::userEditClearsOnlyThatMark()
{
    QFETCH(int, edited);
    ModemPage page;
    page.fillLists();
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    page.markDifferences({{5, "A", "2"},
                          {8, "434.000", "433.920"},
                          {9, "0 dBm", "??"},
                          {13, "19200 bps", "9600 bps"}});
    QCOMPARE(markedFields(page), (QList<int>{5, 8, 9, 13}));
    QCOMPARE(page.valueField(8)->toolTip(),
             QStringLiteral("Written: 434.000. The module holds: 433.920."));
    QCOMPARE(page.valueField(9)->toolTip(),
             QStringLiteral("Written: 0 dBm. The module holds: ??."));

    // Text set by the program is no edit.
    page.setTexts(placeholderTexts());
    QCOMPARE(markedFields(page).size(), 4);

    QWidget *widget = page.valueField(edited);
    if (auto *list = qobject_cast<QComboBox *>(widget); list && edited == 13) {
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down, Qt::AltModifier);
        QTRY_VERIFY(list->view()->isVisible());
        QTest::keyClick(list->view(), Qt::Key_Return);
    } else {
        auto *box = qobject_cast<QLineEdit *>(widget);
        if (auto *list = qobject_cast<QComboBox *>(widget))
            box = list->lineEdit();
        box->selectAll();
        QTest::keyClicks(box, "4");
    }
    QList<int> expected{5, 8, 9, 13};
    expected.removeOne(edited);
    QCOMPARE(markedFields(page), expected);

    page.clearMarks();
    QCOMPARE(markedFields(page), QList<int>{});
}

void TestVerifyMarks::setMarksWhatTheModuleDidNotTake_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<int>>("kept");
    QTest::addColumn<bool>("ignore");
    QTest::addColumn<QList<int>>("marked");
    QTest::addColumn<QString>("tooltip"); // of the first marked field

    QTest::newRow("all taken") << "Command2" << QList<int>{} << false << QList<int>{} << "";
    QTest::newRow("frequency kept") << "Command2" << QList<int>{8, 9} << false << QList<int>{8}
                                    << "Written: 434.000. The module holds: 433.920.";
    QTest::newRow("packet ignored") << "Command2" << QList<int>{} << true << QList<int>{5, 8, 13}
                                    << "Written: A. The module holds: 2.";
    QTest::newRow("reset defaults ignored")
        << "Command6" << QList<int>{} << true << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 13}
        << "Written: 0. The module holds: 7F.";
}

void TestVerifyMarks::setMarksWhatTheModuleDidNotTake()
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
    QCOMPARE(markedFields(modemPage(s)), marked);
    if (!marked.isEmpty())
        QCOMPARE(modemPage(s).valueField(marked.first())->toolTip(), tooltip);
    QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
    QCOMPARE(s.field("Text9"), kept.isEmpty() && !ignore ? "434.000" : "433.920");
}

void TestVerifyMarks::marksClear_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("status");
    QTest::newRow("refresh") << "Command3"
                             << "Request Complete";
    QTest::newRow("set taken") << "Command2"
                               << "Request Complete";
    QTest::newRow("disconnect") << "Command7"
                                << "Disconnected";
}

void TestVerifyMarks::marksClear()
{
    QFETCH(QString, button);
    QFETCH(QString, status);
    Session s;
    s.connectAndRead();
    s.emulator.setIgnorePacket(true);
    writeFromPage(s, "Command2");
    QCOMPARE(markedFields(modemPage(s)).size(), 3);

    s.emulator.setIgnorePacket(false);
    s.click(qPrintable(button));
    QTRY_VERIFY(!s.window->receiver().timer1().isActive());
    QCOMPARE(markedFields(modemPage(s)), QList<int>{});
    QCOMPARE(s.window->statusText(), status);
}

QTEST_MAIN(TestVerifyMarks)
#include "tst_verifymarks.moc"
