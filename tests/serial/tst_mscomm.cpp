#include "serial/mscomm.h"

#include "moduleemulator.h"
#include "teststore.h"

#include <QDeadlineTimer>
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

// Every byte value the module can send, the ones a text path could mangle among them.
QByteArray sampleBytes(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char((i * 37 + 0xA5) & 0xFF));
    bytes[0] = '\0';
    return bytes;
}

// Waits for the module's side without running this thread's event loop, so only bytes
// the port has already handed to the device can arrive.
QByteArray receivedWithoutEvents(const emu::ModuleEmulator &emulator, int count)
{
    const QDeadlineTimer deadline(1000);
    while (emulator.receivedBytes().size() < count && !deadline.hasExpired())
        QThread::msleep(5);
    return emulator.receivedBytes();
}

} // namespace

// The port control over a pseudo-terminal with the emulated module on the other end.
class TestMSComm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::unique_ptr<emu::ModuleEmulator> m_module;

    void openOnModule(MSComm &comm, const QString &settings = QStringLiteral("38400,n,8,1"))
    {
        QCOMPARE(comm.setSettings(settings), std::nullopt);
        QCOMPARE(comm.setCommPort(QString::number(kPortNumber)), std::nullopt);
        const auto failure = comm.setPortOpen(true);
        QVERIFY2(!failure, qPrintable(failure ? failure->description : QString()));
        QVERIFY(comm.portOpen());
        QCOMPARE(comm.devicePath(), m_module->devicePath());
    }

private slots:
    void initTestCase() { test::sandboxStore(m_scratch); }

    void init()
    {
        test::clearStore();
        m_module = std::make_unique<emu::ModuleEmulator>();
        QVERIFY2(m_module->isOpen(), qPrintable(m_module->errorString()));
        test::registerPort(kPortNumber, m_module->devicePath());
    }

    void cleanup() { m_module.reset(); }

    void commPortTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected"); // the port number afterwards
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("description"); // empty: accepted

        QTest::newRow("plain") << "4" << 4 << Kind::Other << QString();
        QTest::newRow("spaces and sign") << " +12 " << 12 << Kind::Other << QString();
        QTest::newRow("letters") << "abc" << 1 << Kind::Other << "Port \"abc\" is not a number";
        QTest::newRow("empty") << "  " << 1 << Kind::Other << "Port \"\" is not a number";
        QTest::newRow("decimal") << "3.6" << 1 << Kind::Other << "Port \"3.6\" is not a number";
        QTest::newRow("trailing text") << "3x" << 1 << Kind::Other << "Port \"3x\" is not a number";
        QTest::newRow("negative") << "-2" << 1 << Kind::InvalidPort
                                  << "Port number -2 is not valid";
        QTest::newRow("zero") << "0" << 1 << Kind::InvalidPort << "Port number 0 is not valid";
        QTest::newRow("too large") << "99999999999999999999999" << 1 << Kind::InvalidPort
                                   << "Port number 99999999999999999999999 is not valid";
    }

    void commPortTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QFETCH(Kind, kind);
        QFETCH(QString, description);
        MSComm comm;
        const auto failure = comm.setCommPort(text);
        QCOMPARE(failure.has_value(), !description.isEmpty());
        if (failure) {
            QCOMPARE(failure->kind, kind);
            QCOMPARE(failure->description, description);
        }
        QCOMPARE(comm.commPort(), expected);
    }

    void settingsTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("description"); // empty: accepted
        const QString rate = QStringLiteral("Baud rate \"%1\" is not a positive whole number");
        QTest::newRow("usual") << "38400,n,8,1" << QString();
        QTest::newRow("every option") << "256000,E,7,1.5" << QString();
        QTest::newRow("mark, short words") << "300,m,5,2" << QString();
        QTest::newRow("rate letters") << "abc,n,8,1" << rate.arg("abc");
        QTest::newRow("rate empty") << ",n,8,1" << rate.arg("");
        QTest::newRow("rate zero") << "0,n,8,1" << rate.arg("0");
        QTest::newRow("rate negative") << "-9600,n,8,1" << rate.arg("-9600");
        QTest::newRow("rate decimal") << "9600.5,n,8,1" << rate.arg("9600.5");
        QTest::newRow("rate too high") << "99999999999,n,8,1"
                                       << "Baud rate \"99999999999\" is too high";
        QTest::newRow("parity") << "9600,x,8,1"
                                << "Parity \"x\" is not one of n, e, o, m, s";
        QTest::newRow("data bits") << "9600,n,9,1"
                                   << "Data bits \"9\" must be 5, 6, 7 or 8";
        QTest::newRow("stop bits") << "9600,n,8,3"
                                   << "Stop bits \"3\" must be 1, 1.5 or 2";
        QTest::newRow("too few parts")
            << "9600,n,8"
            << "Settings \"9600,n,8\" must have the form rate,parity,data bits,stop bits";
        QTest::newRow("too many parts")
            << "9600,n,8,1,1"
            << "Settings \"9600,n,8,1,1\" must have the form rate,parity,data bits,stop bits";
    }

    void settingsTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, description);
        MSComm comm;
        const QString before = comm.settings();
        const auto failure = comm.setSettings(text);
        QCOMPARE(failure.value_or(PortFailure{}).description, description);
        QCOMPARE(comm.settings(), description.isEmpty() ? text : before);
        if (failure)
            QCOMPARE(failure->kind, Kind::Other);
    }

    // Bytes are handed to the device when output() returns, with no return to the
    // event loop; a closed port sends nothing, and a close releases the device.
    void outputReachesTheLineAtOnce()
    {
        MSComm comm;
        comm.output("+++");
        QCOMPARE(comm.input(), QByteArray());
        openOnModule(comm);
        comm.output("+++");
        QCOMPARE(receivedWithoutEvents(*m_module, 3), QByteArray("+++"));
        const QByteArray block = sampleBytes(15);
        comm.output(block);
        QCOMPARE(receivedWithoutEvents(*m_module, 18), "+++" + block);

        QVERIFY(!comm.setPortOpen(false));
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.devicePath(), QString());
        comm.output("---");
        QTest::qWait(100);
        QCOMPARE(m_module->receivedBytes(), "+++" + block);
        QVERIFY(!comm.setPortOpen(false)); // closing a closed port is no failure
        openOnModule(comm);
    }

    void onCommOncePerByteInOrder()
    {
        // What the device held before the open is dropped: it answers nothing asked.
        m_module->transmit("stale");
        QTest::qWait(20);
        MSComm comm;
        openOnModule(comm);
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
        m_module->transmit(sent);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), 2000);
        QTest::qWait(50);
        QCOMPARE(received, sent);
        QCOMPARE(events, sent.size());
    }

    // A pause inside the handler, as the window's operations do: the bytes that
    // arrive while it runs are neither lost nor handed to a nested handler.
    void nestedLoopInHandlerStrandsNothing()
    {
        MSComm comm;
        openOnModule(comm);
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
                m_module->transmit(second);
                QEventLoop pause;
                QTimer::singleShot(150, &pause, &QEventLoop::quit);
                pause.exec();
            }
            --depth;
        });
        m_module->transmit(first);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), first.size() + second.size(), 2000);
        QCOMPARE(received, first + second);
        QCOMPARE(events, first.size() + second.size());
        QCOMPARE(deepest, 1);
    }

    // Handlers that read nothing get one event per waiting byte at each arrival, and
    // no endless repeat.
    void unreadBytesWaitForTheNextArrival()
    {
        MSComm comm;
        openOnModule(comm);
        QSignalSpy events(&comm, &MSComm::OnComm);
        m_module->transmit("a");
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, 2000);
        QTest::qWait(100);
        QCOMPARE(events.size(), 1);
        m_module->transmit("b");
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 3, 2000);
        QTest::qWait(100);
        QCOMPARE(events.size(), 3);
        QCOMPARE(comm.input(), QByteArray("a"));
    }

    void openFailures_data()
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

    void openFailures()
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
        QVERIFY2(kind == Kind::InvalidPort ? failure->description == description
                                           : failure->description.contains(description),
                 qPrintable(failure->description));
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.devicePath(), QString());
    }

    void secondOpenIsRefusedAsBusy()
    {
        MSComm first;
        openOnModule(first);
        MSComm second;
        QVERIFY(!second.setCommPort(QString::number(kPortNumber)));
        const auto failure = second.setPortOpen(true);
        QVERIFY(failure);
        QCOMPARE(failure->kind, Kind::Other);
        QVERIFY2(
            failure->description.startsWith("Port busy: " + m_module->devicePath()) ||
                failure->description.startsWith("Permission denied: " + m_module->devicePath()),
            qPrintable(failure->description));
        QVERIFY(!second.portOpen());
        first.output("ok");
        QCOMPARE(receivedWithoutEvents(*m_module, 2), QByteArray("ok"));
    }

    void changingThePortWhileOpenKeepsTheOpenDevice()
    {
        emu::ModuleEmulator other;
        test::registerPort(kPortNumber + 1, other.devicePath());
        MSComm comm;
        openOnModule(comm);
        QVERIFY(!comm.setCommPort(QString::number(kPortNumber + 1)));
        QVERIFY(!comm.setPortOpen(true));
        QCOMPARE(comm.devicePath(), m_module->devicePath());
        // The next open acts on the new number.
        QVERIFY(!comm.setPortOpen(false));
        QVERIFY(!comm.setPortOpen(true));
        QCOMPARE(comm.devicePath(), other.devicePath());
    }

    void baudRatesOfTheList_data()
    {
        QTest::addColumn<int>("rate");
        for (const int rate : {2400, 14400, 28800, 38400, 56000, 128000, 256000})
            QTest::addRow("%d", rate) << rate;
    }

    // Each rate of the list reaches the line, and a new one applies to an open line at once.
    void baudRatesOfTheList()
    {
        QFETCH(int, rate);
        MSComm comm;
        openOnModule(comm, QStringLiteral("%1,n,8,1").arg(rate));
        QCOMPARE(m_module->lineBaud(), rate);
        QVERIFY(!comm.setSettings("9600,n,8,1"));
        QCOMPARE(m_module->lineBaud(), 9600);
    }

    // A setting the device refuses leaves an open port as it was, and closes a port
    // that it was opening.
    void refusedSettings()
    {
        MSComm comm;
        openOnModule(comm, "9600,n,8,1");
        const auto refused = comm.setSettings("19200,e,8,1");
        if (!refused)
            QSKIP("this pseudo-terminal takes even parity");
        const QString text = QStringLiteral("The device %1 refused even parity");
        QCOMPARE(refused->description, text.arg(m_module->devicePath()));
        QCOMPARE(comm.settings(), "9600,n,8,1");
        QVERIFY(comm.portOpen());
        QCOMPARE(m_module->lineBaud(), 9600);

        QVERIFY(!comm.setPortOpen(false));
        QVERIFY(!comm.setSettings("38400,e,8,1"));
        const auto failure = comm.setPortOpen(true);
        QVERIFY(failure);
        QCOMPARE(failure->description, text.arg(m_module->devicePath()));
        QVERIFY(!comm.portOpen());
        // Closed for real: the same device opens with settings it takes.
        QVERIFY(!comm.setSettings("38400,n,8,1"));
        QVERIFY(!comm.setPortOpen(true));
    }

    void hangUpClosesAndReportsOnce()
    {
        MSComm comm;
        openOnModule(comm);
        const QString path = m_module->devicePath();
        QSignalSpy failures(&comm, &MSComm::failed);
        bool openWhenReported = true;
        connect(&comm, &MSComm::failed, this, [&] { openWhenReported = comm.portOpen(); });

        m_module->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 2000);
        QTest::qWait(500);
        QCOMPARE(failures.size(), 1);
        QVERIFY(!openWhenReported);
        QVERIFY(!comm.portOpen());
        const auto failure = failures.first().first().value<PortFailure>();
        QCOMPARE(failure.kind, Kind::Other);
        QCOMPARE(failure.description, "The device " + path + " was disconnected");

        // The device comes back under the same number.
        init();
        openOnModule(comm);
        comm.output("+++");
        QCOMPARE(receivedWithoutEvents(*m_module, 3), QByteArray("+++"));
        QCOMPARE(failures.size(), 1);
    }

    void hangUpThenDestroyDoesNotReport()
    {
        auto comm = std::make_unique<MSComm>();
        openOnModule(*comm);
        int reports = 0;
        connect(comm.get(), &MSComm::failed, this, [&] { ++reports; });
        // The window goes away while the hang-up is still waiting to be noticed.
        m_module->hangUp();
        comm.reset();
        QTest::qWait(200);
        QCOMPARE(reports, 0);
    }
};

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
