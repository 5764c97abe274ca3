#include "serial/mscomm.h"

#include "testpty.h"
#include "teststore.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

using namespace korva;
using Kind = PortFailure::Kind;

namespace
{

constexpr int kPortNumber = 5;

// A run of every byte value the module can send, the ones a text path could
// mangle (NUL, 0xA5, 0xFF) among them.
QByteArray sampleBytes(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char((i * 37 + 0xA5) & 0xFF));
    bytes[0] = '\0';
    bytes[1] = char(0xA5);
    bytes[count - 1] = char(0xFF);
    return bytes;
}

} // namespace

class TestMSComm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { test::sandboxStore(m_scratch); }
    void init();
    void cleanup();

    void commPortTexts_data();
    void commPortTexts();
    void settingsTexts_data();
    void settingsTexts();

    void outputReachesTheLineAtOnce();
    void closedPortSendsAndReadsNothing();
    void onCommOncePerByteInOrder();
    void nestedLoopInHandlerStrandsNothing();
    void unreadBytesWaitForTheNextArrival();

    void openFailures_data();
    void openFailures();
    void secondOpenIsRefusedAsBusy();
    void changingThePortWhileOpenKeepsTheOpenDevice();
    void baudRatesOfTheList_data();
    void baudRatesOfTheList();
    void refusedSettingsLeaveThePortAsItWas();
    void refusedSettingOnOpenClosesAgain();

    void hangUpClosesAndReportsOnce();
    void hangUpThenDestroyDoesNotReport();

private:
    // Opens comm on the test pty mapped to kPortNumber at the given settings.
    void openOnPty(MSComm &comm, const QString &settings = QStringLiteral("38400,n,8,1"));

    QTemporaryDir m_scratch;
    std::unique_ptr<test::TestPty> m_pty;
};

void TestMSComm::init()
{
    test::clearStore();
    m_pty = std::make_unique<test::TestPty>();
    QVERIFY2(m_pty->isOpen(), "no pseudo-terminal available");
    test::registerPort(kPortNumber, m_pty->slavePath());
}

void TestMSComm::cleanup()
{
    m_pty.reset();
}

void TestMSComm::openOnPty(MSComm &comm, const QString &settings)
{
    QCOMPARE(comm.setSettings(settings), std::nullopt);
    QCOMPARE(comm.setCommPort(QString::number(kPortNumber)), std::nullopt);
    const auto failure = comm.setPortOpen(true);
    QVERIFY2(!failure, qPrintable(failure ? failure->description : QString()));
    QVERIFY(comm.portOpen());
    QCOMPARE(comm.devicePath(), m_pty->slavePath());
}

void TestMSComm::commPortTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // the port number afterwards
    QTest::addColumn<bool>("refused");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("description");

    QTest::newRow("plain") << "4" << 4 << false << Kind::Other << QString();
    QTest::newRow("spaces and sign") << " +12 " << 12 << false << Kind::Other << QString();
    QTest::newRow("letters") << "abc" << 1 << true << Kind::Other << "Port \"abc\" is not a number";
    QTest::newRow("empty") << "  " << 1 << true << Kind::Other << "Port \"\" is not a number";
    QTest::newRow("decimal") << "3.6" << 1 << true << Kind::Other << "Port \"3.6\" is not a number";
    QTest::newRow("trailing text")
        << "3x" << 1 << true << Kind::Other << "Port \"3x\" is not a number";
    QTest::newRow("zero") << "0" << 1 << true << Kind::InvalidPort << "Port number 0 is not valid";
    QTest::newRow("negative") << "-2" << 1 << true << Kind::InvalidPort
                              << "Port number -2 is not valid";
    QTest::newRow("too large") << "99999999999999999999999" << 1 << true << Kind::InvalidPort
                               << "Port number 99999999999999999999999 is not valid";
}

void TestMSComm::commPortTexts()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QFETCH(bool, refused);
    QFETCH(Kind, kind);
    QFETCH(QString, description);

    MSComm comm;
    const auto failure = comm.setCommPort(text);
    QCOMPARE(bool(failure), refused);
    if (failure) {
        QCOMPARE(failure->kind, kind);
        QCOMPARE(failure->description, description);
    }
    QCOMPARE(comm.commPort(), expected);
}

void TestMSComm::settingsTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("description"); // empty: accepted

    QTest::newRow("usual") << "38400,n,8,1" << QString();
    QTest::newRow("every option") << "256000,E,7,1.5" << QString();
    QTest::newRow("mark, space, short words") << "300,m,5,2" << QString();
    QTest::newRow("rate letters") << "abc,n,8,1"
                                  << "Baud rate \"abc\" is not a positive whole number";
    QTest::newRow("rate empty") << ",n,8,1"
                                << "Baud rate \"\" is not a positive whole number";
    QTest::newRow("rate zero") << "0,n,8,1"
                               << "Baud rate \"0\" is not a positive whole number";
    QTest::newRow("rate negative") << "-9600,n,8,1"
                                   << "Baud rate \"-9600\" is not a positive whole number";
    QTest::newRow("rate decimal") << "9600.5,n,8,1"
                                  << "Baud rate \"9600.5\" is not a positive whole number";
    QTest::newRow("rate too high") << "99999999999,n,8,1"
                                   << "Baud rate \"99999999999\" is too high";
    QTest::newRow("parity") << "9600,x,8,1"
                            << "Parity \"x\" is not one of n, e, o, m, s";
    QTest::newRow("data bits") << "9600,n,9,1"
                               << "Data bits \"9\" must be 5, 6, 7 or 8";
    QTest::newRow("stop bits") << "9600,n,8,3"
                               << "Stop bits \"3\" must be 1, 1.5 or 2";
    QTest::newRow("too few parts") << "9600,n,8"
                                   << "Settings \"9600,n,8\" must have the form rate,parity,data "
                                      "bits,stop bits";
    QTest::newRow("too many parts") << "9600,n,8,1,1"
                                    << "Settings \"9600,n,8,1,1\" must have the form "
                                       "rate,parity,data bits,stop bits";
}

void TestMSComm::settingsTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, description);

    MSComm comm;
    const QString before = comm.settings();
    const auto failure = comm.setSettings(text);
    if (description.isEmpty()) {
        QCOMPARE(failure, std::nullopt);
        QCOMPARE(comm.settings(), text);
    } else {
        QVERIFY(failure);
        QCOMPARE(failure->kind, Kind::Other);
        QCOMPARE(failure->description, description);
        QCOMPARE(comm.settings(), before);
    }
}

void TestMSComm::outputReachesTheLineAtOnce()
{
    MSComm comm;
    openOnPty(comm);

    // No return to the event loop between the write and the read on the other end.
    comm.output("+++");
    QCOMPARE(m_pty->read(3, 1000), QByteArray("+++"));
    const QByteArray block = sampleBytes(15);
    comm.output(block);
    QCOMPARE(m_pty->read(15, 1000), block);
    QCOMPARE(m_pty->read(1, 100), QByteArray());
}

void TestMSComm::closedPortSendsAndReadsNothing()
{
    MSComm comm;
    comm.output("+++");
    QCOMPARE(comm.input(), QByteArray());

    openOnPty(comm);
    QVERIFY(!comm.setPortOpen(false));
    QVERIFY(!comm.portOpen());
    QCOMPARE(comm.devicePath(), QString());
    comm.output("---");
    QCOMPARE(m_pty->read(3, 100), QByteArray());
    QVERIFY(!comm.setPortOpen(false)); // closing a closed port is no failure

    // The close released the device: it opens again.
    openOnPty(comm);
}

void TestMSComm::onCommOncePerByteInOrder()
{
    // What the device held before the open is dropped: it answers nothing asked.
    QVERIFY(m_pty->write("stale"));
    QThread::msleep(20);
    MSComm comm;
    openOnPty(comm);
    QCOMPARE(comm.input(), QByteArray());

    QByteArray received;
    int events = 0;
    connect(&comm, &MSComm::OnComm, this, [&] {
        ++events;
        const QByteArray byte = comm.input();
        QCOMPARE(byte.size(), 1);
        received += byte;
    });
    const QByteArray sent = sampleBytes(64);
    QVERIFY(m_pty->write(sent));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), 2000);
    QTest::qWait(50);
    QCOMPARE(received, sent);
    QCOMPARE(events, sent.size());
}

void TestMSComm::nestedLoopInHandlerStrandsNothing()
{
    MSComm comm;
    openOnPty(comm);

    const QByteArray first = sampleBytes(10);
    const QByteArray second = QByteArray("0123456789");
    QByteArray received;
    int events = 0;
    int depth = 0;
    int deepest = 0;
    connect(&comm, &MSComm::OnComm, this, [&] {
        ++events;
        deepest = std::max(deepest, ++depth);
        received += comm.input();
        if (events == 1) {
            // A pause inside the handler, as the window's operations do; the
            // second chunk arrives while it runs.
            QVERIFY(m_pty->write(second));
            QEventLoop pause;
            QTimer::singleShot(150, &pause, &QEventLoop::quit);
            pause.exec();
        }
        --depth;
    });
    QVERIFY(m_pty->write(first));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), first.size() + second.size(), 2000);
    QCOMPARE(received, first + second);
    QCOMPARE(events, first.size() + second.size());
    QCOMPARE(deepest, 1);
}

void TestMSComm::unreadBytesWaitForTheNextArrival()
{
    MSComm comm;
    openOnPty(comm);
    QSignalSpy events(&comm, &MSComm::OnComm);

    // Handlers that read nothing get one event per waiting byte, and no endless repeat.
    QVERIFY(m_pty->write("abcde"));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 5, 2000);
    QTest::qWait(100);
    QCOMPARE(events.size(), 5);

    QVERIFY(m_pty->write("f"));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 11, 2000);
    QCOMPARE(comm.input(), QByteArray("a"));
}

void TestMSComm::openFailures_data()
{
    QTest::addColumn<QString>("mapping"); // empty: no [Ports] entry
    QTest::addColumn<int>("port");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("description");

    QTest::newRow("no device for the number")
        << QString() << 9999 << Kind::InvalidPort << "No device for port 9999";
    QTest::newRow("mapped path missing") << "/dev/korva-no-such-tty" << 7 << Kind::InvalidPort
                                         << "Device /dev/korva-no-such-tty does not exist";
    QTest::newRow("mapped bare name missing") << "korva-no-such-tty" << 7 << Kind::InvalidPort
                                              << "Device /dev/korva-no-such-tty does not exist";
    QTest::newRow("not a serial device") << "/dev/null" << 7 << Kind::Other << "/dev/null";
}

void TestMSComm::openFailures()
{
    QFETCH(QString, mapping);
    QFETCH(int, port);
    QFETCH(Kind, kind);
    QFETCH(QString, description);

    if (!mapping.isEmpty())
        test::registerPort(port, mapping);
    MSComm comm;
    QVERIFY(!comm.setCommPort(QString::number(port)));
    const auto failure = comm.setPortOpen(true);
    QVERIFY(failure);
    QCOMPARE(failure->kind, kind);
    if (kind == Kind::InvalidPort)
        QCOMPARE(failure->description, description);
    else
        QVERIFY2(failure->description.contains(description), qPrintable(failure->description));
    QVERIFY(!comm.portOpen());
    QCOMPARE(comm.devicePath(), QString());
}

void TestMSComm::secondOpenIsRefusedAsBusy()
{
    MSComm first;
    openOnPty(first);

    MSComm second;
    QVERIFY(!second.setCommPort(QString::number(kPortNumber)));
    const auto failure = second.setPortOpen(true);
    QVERIFY(failure);
    QCOMPARE(failure->kind, Kind::Other);
    QVERIFY2(failure->description.startsWith("Port busy: " + m_pty->slavePath()) ||
                 failure->description.startsWith("Permission denied: " + m_pty->slavePath()),
             qPrintable(failure->description));
    QVERIFY(!second.portOpen());

    // The holder is undisturbed.
    QVERIFY(first.portOpen());
    first.output("ok");
    QCOMPARE(m_pty->read(2, 1000), QByteArray("ok"));
}

void TestMSComm::changingThePortWhileOpenKeepsTheOpenDevice()
{
    test::TestPty other;
    test::registerPort(kPortNumber + 1, other.slavePath());
    MSComm comm;
    openOnPty(comm);

    QVERIFY(!comm.setCommPort(QString::number(kPortNumber + 1)));
    QVERIFY(!comm.setPortOpen(true));
    QCOMPARE(comm.devicePath(), m_pty->slavePath());
    comm.output("+++");
    QCOMPARE(m_pty->read(3, 1000), QByteArray("+++"));

    // The next open acts on the new number.
    QVERIFY(!comm.setPortOpen(false));
    QVERIFY(!comm.setPortOpen(true));
    QCOMPARE(comm.devicePath(), other.slavePath());
}

void TestMSComm::baudRatesOfTheList_data()
{
    QTest::addColumn<int>("rate");
    for (const int rate : {2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 128000, 256000})
        QTest::addRow("%d", rate) << rate;
}

void TestMSComm::baudRatesOfTheList()
{
    QFETCH(int, rate);
    MSComm comm;
    openOnPty(comm, QStringLiteral("%1,n,8,1").arg(rate));
    QCOMPARE(m_pty->lineBaud(), rate);
    comm.output("x");
    QCOMPARE(m_pty->read(1, 1000), QByteArray("x"));

    // A new rate applies to the open line at once.
    QVERIFY(!comm.setSettings("2400,n,8,1"));
    QCOMPARE(m_pty->lineBaud(), 2400);
}

void TestMSComm::refusedSettingsLeaveThePortAsItWas()
{
    MSComm comm;
    openOnPty(comm, "9600,n,8,1");

    const auto failure = comm.setSettings("19200,e,8,1");
    if (!failure)
        QSKIP("this pseudo-terminal takes even parity");
    QCOMPARE(failure->kind, Kind::Other);
    QCOMPARE(failure->description,
             QStringLiteral("The device %1 refused even parity").arg(m_pty->slavePath()));
    QCOMPARE(comm.settings(), "9600,n,8,1");
    QVERIFY(comm.portOpen());
    QCOMPARE(m_pty->lineBaud(), 9600);
}

void TestMSComm::refusedSettingOnOpenClosesAgain()
{
    MSComm comm;
    QVERIFY(!comm.setSettings("38400,e,8,1"));
    QVERIFY(!comm.setCommPort(QString::number(kPortNumber)));
    const auto failure = comm.setPortOpen(true);
    if (!failure)
        QSKIP("this pseudo-terminal takes even parity");
    QCOMPARE(failure->kind, Kind::Other);
    QCOMPARE(failure->description,
             QStringLiteral("The device %1 refused even parity").arg(m_pty->slavePath()));
    QVERIFY(!comm.portOpen());

    // Closed for real: the same device opens with settings it takes.
    QVERIFY(!comm.setSettings("38400,n,8,1"));
    QVERIFY(!comm.setPortOpen(true));
}

void TestMSComm::hangUpClosesAndReportsOnce()
{
    MSComm comm;
    openOnPty(comm);
    const QString path = m_pty->slavePath();
    QSignalSpy failures(&comm, &MSComm::failed);
    bool openWhenReported = true;
    connect(&comm, &MSComm::failed, this, [&] { openWhenReported = comm.portOpen(); });

    m_pty->closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 2000);
    QTest::qWait(500);
    QCOMPARE(failures.size(), 1);
    QVERIFY(!openWhenReported);
    QVERIFY(!comm.portOpen());
    const auto failure = failures.first().first().value<PortFailure>();
    QCOMPARE(failure.kind, Kind::Other);
    QCOMPARE(failure.description, "The device " + path + " was disconnected");

    // The device comes back under the same number.
    m_pty = std::make_unique<test::TestPty>();
    test::registerPort(kPortNumber, m_pty->slavePath());
    openOnPty(comm);
    comm.output("+++");
    QCOMPARE(m_pty->read(3, 1000), QByteArray("+++"));
    QCOMPARE(failures.size(), 1);
}

void TestMSComm::hangUpThenDestroyDoesNotReport()
{
    auto comm = std::make_unique<MSComm>();
    openOnPty(*comm);
    int reports = 0;
    connect(comm.get(), &MSComm::failed, this, [&] { ++reports; });

    // The window goes away while the hang-up is still waiting to be noticed.
    m_pty->closeMaster();
    comm.reset();
    QTest::qWait(200);
    QCOMPARE(reports, 0);
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
