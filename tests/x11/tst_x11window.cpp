#include "session.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTabBar>
#include <QTimer>
#include <QToolTip>

#include <memory>

// The real window under an X server, driven by pointer and keyboard events that
// pass through the server (xdotool uses its XTest extension): popups, mouse
// focus and modal dialogs behave here as a user sees them, unlike with events
// that Qt Test hands to a widget directly.

namespace
{

constexpr int kToolLimitMs = 10000;

// Starts xdotool; its events reach the window while the caller's loop runs.
std::unique_ptr<QProcess> startXdotool(const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral("xdotool"), arguments);
    return process;
}

// Runs xdotool to its end, window events running meanwhile, within a time limit.
bool xdotool(const QStringList &arguments)
{
    const auto process = startXdotool(arguments);
    QSignalSpy finished(process.get(), &QProcess::finished);
    if (!finished.wait(kToolLimitMs)) {
        process->kill();
        process->waitForFinished(1000);
        return false;
    }
    return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}

// A press and, a moment later, the release at a point of a widget, as a hand clicks.
QStringList clickArguments(const QWidget *widget, QPoint at)
{
    const QPoint global = widget->mapToGlobal(at);
    return QStringLiteral("mousemove %1 %2 sleep 0.05 mousedown 1 sleep 0.15 mouseup 1")
        .arg(global.x())
        .arg(global.y())
        .split(u' ');
}

bool click(const QWidget *widget, QPoint at)
{
    const bool done = xdotool(clickArguments(widget, at));
    QTest::qWait(100);
    return done;
}

bool click(const QWidget *widget)
{
    return click(widget, widget->rect().center());
}

// A point on the list's text, or on its arrow at the right end.
QPoint pointOf(QComboBox *list, bool onText)
{
    return onText ? list->lineEdit()->geometry().center()
                  : QPoint(list->width() - 6, list->height() / 2);
}

void showPage(Session &s, int page)
{
    s.window->findChild<QTabBar *>("TabStrip1")->setCurrentIndex(page);
    QTest::qWait(50);
}

// Keys pressed and released through the server, to whichever widget has the focus.
bool keys(const Session &s, const QStringList &names)
{
    // Without a window manager the keyboard follows the pointer: rest it on the window.
    const QPoint corner = s.window->mapToGlobal(QPoint(4, 4));
    QStringList arguments{"mousemove", QString::number(corner.x()), QString::number(corner.y())};
    for (const QString &name : names)
        arguments += {"sleep", "0.05", "key", name};
    const bool done = xdotool(arguments);
    QTest::qWait(100);
    return done;
}

// Gives a control the focus, its window first.
bool focus(Session &s, QWidget *control)
{
    s.window->activateWindow();
    if (!QTest::qWaitForWindowActive(s.window.get()))
        return false;
    control->setFocus(Qt::TabFocusReason);
    return QTest::qWaitFor([control] { return control->hasFocus(); });
}

// The focused control by its name (a list's text box counts as its list).
QWidget *focusedControl()
{
    QWidget *focus = QApplication::focusWidget();
    while (focus && focus->objectName().isEmpty())
        focus = focus->parentWidget();
    return focus;
}

} // namespace

class TestX11Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QFAIL("needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb");
        QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(),
                 "xdotool not found: run 'make deps'");
    }

    void cleanupTestCase()
    {
        m_session.reset();
        m_connected.reset();
    }

    // A press and release on a list opens its popup and leaves it open; a click on
    // an entry then chooses it, once.
    void listPopupStaysOpenAndPicks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("onText"); // on the text, else on the arrow
        QTest::addColumn<int>("entry");
        QTest::newRow("Comm Port, text") << "Combo1" << 1 << true << 2;
        QTest::newRow("Baud Rate, text") << "Combo2" << 1 << true << 3;
        QTest::newRow("Tx Power") << "Text10" << 0 << false << 1;
        QTest::newRow("RSSI Threshhold") << "Combo4" << 0 << false << 2;
        QTest::newRow("RF TX Speed") << "Combo5" << 0 << false << 3;
        QTest::newRow("Band") << "Combo6" << 0 << false << 1;
    }

    void listPopupStaysOpenAndPicks()
    {
        QFETCH(QString, name);
        QFETCH(int, page);
        QFETCH(bool, onText);
        QFETCH(int, entry);
        Session &s = sharedSession();
        showPage(s, page);
        QComboBox *list = s.list(qPrintable(name));
        QSignalSpy chosen(list, &QComboBox::activated);

        QVERIFY(click(list, pointOf(list, onText)));
        QTRY_VERIFY(list->view()->isVisible());
        QTest::qWait(100);
        QVERIFY2(list->view()->isVisible(), "the popup closed on the release");
        QCOMPARE(chosen.size(), 0);

        QAbstractItemView *view = list->view();
        const QRect item = view->visualRect(view->model()->index(entry, 0));
        QVERIFY(click(view->viewport(), item.center()));
        QTRY_VERIFY(!view->isVisible());
        QTRY_COMPARE(chosen.size(), 1);
        QCOMPARE(chosen.first().first().toInt(), entry);
        QCOMPARE(list->currentText(), list->itemText(entry));
    }

    // Baud Rate shows the rate restored at start-up; opening its list and closing
    // it with a click beside it, then leaving it, chooses nothing (no reconnect).
    void closedListWithoutPickChoosesNothing()
    {
        Session s;
        s.connectAndRead();
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        const QByteArray sent = s.emulator.receivedBytes();
        showPage(s, 1);
        QComboBox *baud = s.list("Combo2");
        QSignalSpy chosen(baud, &QComboBox::activated);

        QVERIFY(click(baud, pointOf(baud, true)));
        QTRY_VERIFY(baud->view()->isVisible());
        QVERIFY(click(s.window->findChild<QWidget *>("Label11")));
        QTRY_VERIFY(!baud->view()->isVisible());
        auto *tabs = s.window->findChild<QTabBar *>("TabStrip1");
        QVERIFY(click(tabs, tabs->tabRect(0).center()));
        QTRY_COMPARE(tabs->currentIndex(), 0);
        QTest::qWait(300);

        QCOMPARE(chosen.size(), 0);
        QCOMPARE(baud->currentText(), QStringLiteral("38400"));
        QVERIFY(s.window->port().portOpen());
        QCOMPARE(s.emulator.receivedBytes(), sent);
        QCOMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
    }

    // A click into an address box selects its whole text, whichever box had the
    // focus, so that typing replaces it; a box takes two characters.
    void addressBoxClickSelectsAll()
    {
        Session &s = sharedSession();
        showPage(s, 0);
        for (const char *name : {"Text1", "Text6", "Text2", "Text8"}) {
            auto *box = s.window->findChild<QLineEdit *>(name);
            box->setText(name == QByteArray("Text6") ? "7F" : "??");
            QVERIFY(click(box, QPoint(4, box->height() / 2)));
            QTRY_VERIFY2(box->hasFocus(), name);
            QTRY_COMPARE(box->selectedText(), box->text());
            QVERIFY(keys(s, {"A", "B", "C"}));
            QCOMPARE(box->text(), QStringLiteral("AB"));
        }
    }

    // Reset Defaults asks with a real modal box, answered by a click on its button.
    void resetDefaultsQuestion_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("Yes writes the factory addresses") << true;
        QTest::newRow("No writes nothing") << false;
    }

    void resetDefaultsQuestion()
    {
        QFETCH(bool, yes);
        Session s;
        s.window->setPrompts(nullptr);
        s.connectAndRead();
        auto *reset = s.button("Command6");
        QVERIFY(reset->isEnabled());
        const QStringList before = s.fields();
        const QByteArray sent = s.emulator.receivedBytes();

        // The box runs its own event loop: answer it from a timer once it shows.
        QString question;
        std::unique_ptr<QProcess> answer;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            if (waited.elapsed() > kToolLimitMs) {
                box->reject();
                return;
            }
            if (answer)
                return;
            question = box->text();
            const QWidget *button = box->button(yes ? QMessageBox::Yes : QMessageBox::No);
            answer = startXdotool(clickArguments(button, button->rect().center()));
        });
        poll.start(50);
        QVERIFY(click(reset));
        QTRY_VERIFY(answer && answer->state() == QProcess::NotRunning);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        poll.stop();
        QCOMPARE(question,
                 QStringLiteral("This will reset the unit to Factory defaults.\r\nContinue?"));

        if (yes) {
            QTRY_COMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
            QVERIFY(s.emulator.receivedBytes().size() > sent.size());
            QCOMPARE(s.emulator.config().left(8), QByteArray(8, '\0'));
        } else {
            QTest::qWait(300);
            QCOMPARE(s.emulator.receivedBytes(), sent);
            QCOMPARE(s.fields(), before);
        }
    }

    // A field the module did not take is drawn in the warning colour, not yellow,
    // and resting the pointer on it shows both values.
    void markedFieldShowsItsTooltip()
    {
        Session s;
        s.connectAndRead();
        s.emulator.setIgnorePacket(true);
        auto *frequency = s.window->findChild<QLineEdit *>("Text9");
        frequency->setText("434");
        QVERIFY(click(s.button("Command2")));
        QTRY_COMPARE(frequency->text(), QStringLiteral("433.920"));
        QTRY_VERIFY(!frequency->toolTip().isEmpty());

        const QImage drawn = frequency->grab().toImage();
        int warning = 0;
        int yellow = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QColor pixel = drawn.pixelColor(x, y);
                warning += pixel.red() > 200 && pixel.green() < 150;
                yellow += pixel.red() > 200 && pixel.green() > 200 && pixel.blue() < 100;
            }
        }
        QVERIFY2(warning > 20 && yellow == 0,
                 qPrintable(QStringLiteral("%1 warning, %2 yellow").arg(warning).arg(yellow)));

        const QPoint centre = frequency->mapToGlobal(frequency->rect().center());
        QVERIFY(xdotool({"mousemove", QString::number(centre.x()), QString::number(centre.y())}));
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("Written: 434.000. The module holds: 433.920."));
    }

    // Tab visits every control of a page top to bottom, left to right, then the
    // buttons, and comes round again; the focus never rests where it cannot be
    // seen, and each control draws itself otherwise while it has it.
    void tabWalksBothPages_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("Modem Setup")
            << 0 << QStringList{"TabStrip1", "Text1",    "Text2",    "Text3",    "Text4",
                                "Text5",     "Text6",    "Text7",    "Text8",    "Combo6",
                                "Text9",     "Text10",   "Combo4",   "Text11",   "Text12",
                                "Combo5",    "Command2", "Command6", "Command3", "Command7"};
        QTest::newRow("Comms Port Setup")
            << 1 << QStringList{"TabStrip1", "Combo1", "Combo2", "Command7"};
    }

    void tabWalksBothPages()
    {
        QFETCH(int, page);
        QFETCH(QStringList, order);
        Session &s = connectedSession();
        showPage(s, page);
        // From the last control, so that even the first stop is reached by Tab.
        QVERIFY(focus(s, s.button("Command7")));
        QVERIFY(keys(s, {"Tab"}));
        QStringList visited;
        QHash<QWidget *, QImage> drawnFocused;
        for (int step = 0; step <= order.size(); ++step) {
            QWidget *control = focusedControl();
            QVERIFY2(control && control->isVisible() && control->window() == s.window.get(),
                     qPrintable(QStringLiteral("focus lost after %1").arg(visited.join(' '))));
            visited << control->objectName();
            if (step == order.size())
                break;
            drawnFocused.insert(control, control->grab().toImage());
            QVERIFY(keys(s, {"Tab"}));
        }
        QCOMPARE(visited, order + QStringList{order.first()});
        QApplication::focusWidget()->clearFocus();
        for (auto it = drawnFocused.cbegin(); it != drawnFocused.cend(); ++it)
            QVERIFY2(it.key()->grab().toImage() != it.value(), qPrintable(it.key()->objectName()));
    }

    // Space and Enter act on the focused control: a button clicks, a port or
    // rate list opens, the tab strip's arrows switch pages.
    void keysActOnTheFocusedControl_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("key");
        const auto press = [](const char *row, const char *name, const char *key) {
            QTest::newRow(row) << QString(name) << QString(key);
        };
        press("Refresh, Enter", "Command3", "Return");
        press("Refresh, Space", "Command3", "space");
        press("Baud Rate, Space", "Combo2", "space");
        press("Comm Port, Enter", "Combo1", "Return");
        press("pages, Right", "TabStrip1", "Right");
    }

    void keysActOnTheFocusedControl()
    {
        QFETCH(QString, name);
        QFETCH(QString, key);
        Session &s = connectedSession();
        auto *control = s.window->findChild<QWidget *>(name);
        auto *list = qobject_cast<QComboBox *>(control);
        auto *tabs = qobject_cast<QTabBar *>(control);
        showPage(s, list ? 1 : 0);
        QVERIFY(focus(s, control));
        const QByteArray before = s.emulator.receivedBytes();

        QVERIFY(keys(s, {key}));
        if (list) {
            QTRY_VERIFY(list->view()->isVisible());
            QVERIFY(keys(s, {"Escape"}));
            QTRY_VERIFY(!list->view()->isVisible());
        } else if (tabs) {
            QTRY_COMPARE(tabs->currentIndex(), 1);
        } else {
            QTRY_COMPARE(s.emulator.receivedBytes(), before + "+++---");
            QTRY_COMPARE(s.window->statusText(), QStringLiteral("Request Complete"));
        }
    }

private:
    // One window for the tests that need no connection of their own.
    Session &sharedSession()
    {
        if (!m_session)
            m_session = std::make_unique<Session>();
        return *m_session;
    }

    // One window connected to its module, with every button enabled.
    Session &connectedSession()
    {
        if (!m_connected) {
            m_connected = std::make_unique<Session>();
            m_connected->connectAndRead();
        }
        return *m_connected;
    }

    std::unique_ptr<Session> m_session;
    std::unique_ptr<Session> m_connected;
};

QTEST_MAIN(TestX11Window)
#include "tst_x11window.moc"
