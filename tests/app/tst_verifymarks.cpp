#include "app/modempage.h"
#include "session.h"

using namespace korva;

namespace
{

const QColor kYellow(255, 255, 0);

// A mark is both the warning colour and the tooltip; half of one is a fault.
QList<int> markedFields(const Session &s)
{
    const auto *page = s.window->findChild<ModemPage *>("ModemPic");
    QList<int> fields;
    for (int field = 0; field < kPageFieldCount; ++field) {
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

class TestVerifyMarks : public QObject
{
    Q_OBJECT

private slots:
    void setMarksWhatTheModuleDidNotTake_data();
    void setMarksWhatTheModuleDidNotTake();
    void marksClear_data();
    void marksClear();
};

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
    QCOMPARE(markedFields(s), marked);
    if (!marked.isEmpty())
        QCOMPARE(::tooltip(s, marked.first()), tooltip);
    QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
    QCOMPARE(s.field("Text9"), kept.isEmpty() && !ignore ? "434.000" : "433.920");
}

// After a Set the module ignored (fields 5, 8 and 13 marked): what clears the marks.
void TestVerifyMarks::marksClear_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QList<int>>("marked");
    QTest::addColumn<QString>("status");
    QTest::newRow("refresh") << "Command3" << QList<int>{} << "Request Complete";
    QTest::newRow("set taken") << "Command2" << QList<int>{} << "Request Complete";
    QTest::newRow("disconnect") << "Command7" << QList<int>{} << "Disconnected";
    QTest::newRow("typed into a box") << "type Text6" << QList<int>{8, 13} << "Request Complete";
    QTest::newRow("typed into a list") << "type Combo5" << QList<int>{5, 8} << "Request Complete";
    QTest::newRow("chosen from a list")
        << "choose Combo5" << QList<int>{5, 8} << "Request Complete";
    QTest::newRow("set by the program") << "program" << QList<int>{5, 8, 13} << "Request Complete";
}

void TestVerifyMarks::marksClear()
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
        s.window->findChild<ModemPage *>("ModemPic")->setTexts(placeholderTexts());
    } else {
        s.click(qPrintable(action));
        QTRY_VERIFY(!s.window->receiver().timer1().isActive());
    }
    QCOMPARE(markedFields(s), marked);
    QCOMPARE(s.window->statusText(), status);
}

QTEST_MAIN(TestVerifyMarks)
#include "tst_verifymarks.moc"
