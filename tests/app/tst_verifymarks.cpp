#include "app/modempage.h"

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

} // namespace

class TestVerifyMarks : public QObject
{
    Q_OBJECT

private slots:
    void userEditClearsOnlyThatMark_data();
    void userEditClearsOnlyThatMark();
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

QTEST_MAIN(TestVerifyMarks)
#include "tst_verifymarks.moc"
