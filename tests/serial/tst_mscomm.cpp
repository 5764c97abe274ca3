#include "serial/mscomm.h"

#include "moduleemulator.h"
#include "testsettings.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <pty.h>
#include <unistd.h>

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
    void init()
    {
        removeSettingsFile();
        m_module = std::make_unique<emu::ModuleEmulator>();
        QVERIFY2(m_module->isOpen(), qPrintable(m_module->errorString()));
        mapPort(kPortNumber, m_module->devicePath());
    }

    void cleanup() { m_module.reset(); }

    // A refused port number or settings text leaves the value as it was.
    void texts_data()
    {
        QTest::addColumn<bool>("port"); // setCommPort, else setSettings
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("description"); // empty: accepted
        const QString nan = QStringLiteral("Port \"%1\" is not a number");
        const QString invalid = QStringLiteral("Port number %1 is not valid");
        auto port = [](const char *text, const QString &description, Kind kind = Kind::Other) {
            QTest::addRow("port \"%s\"", text) << true << QString(text) << kind << description;
        };
        auto settings = [](const char *text, const QString &description) {
            QTest::addRow("%s", text) << false << QString(text) << Kind::Other << description;
        };
        port("4", {});
        port(" +12 ", {});
        port("abc", nan.arg("abc"));
        port("3.6", nan.arg("3.6"));
        port("3x", nan.arg("3x"));
        port("  ", nan.arg(""));
        port("-2", invalid.arg("-2"), Kind::InvalidPort);
        port("0", invalid.arg("0"), Kind::InvalidPort);
        port("99999999999999999999999", invalid.arg("99999999999999999999999"), Kind::InvalidPort);
        const QString rate = QStringLiteral("Baud rate \"%1\" is not a positive whole number");
        settings("38400,n,8,1", {});
        settings("256000,E,7,1.5", {});
        settings("300,m,5,2", {});
        settings("abc,n,8,1", rate.arg("abc"));
        settings("0,n,8,1", rate.arg("0"));
        settings("9600.5,n,8,1", rate.arg("9600.5"));
        settings("99999999999,n,8,1", "Baud rate \"99999999999\" is too high");
        settings("9600,x,8,1", "Parity \"x\" is not one of n, e, o, m, s");
        settings("9600,n,9,1", "Data bits \"9\" must be 5, 6, 7 or 8");
        settings("9600,n,8,3", "Stop bits \"3\" must be 1, 1.5 or 2");
        settings("9600,n,8",
                 "Settings \"9600,n,8\" must have the form rate,parity,data bits,stop bits");
    }

    void texts()
    {
        QFETCH(bool, port);
        QFETCH(QString, text);
        QFETCH(Kind, kind);
        QFETCH(QString, description);
        MSComm comm;
        const QString before = comm.settings();
        const auto failure = port ? comm.setCommPort(text) : comm.setSettings(text);
        QCOMPARE(failure.value_or(PortFailure{}).description, description);
        QCOMPARE(failure.value_or(PortFailure{kind, {}}).kind, kind);
        if (port)
            QCOMPARE(comm.commPort(), failure ? 1 : text.trimmed().toInt());
        else
            QCOMPARE(comm.settings(), failure ? before : text);
    }

    // Bytes are handed to the device when output() returns, with no return to the
    // event loop; a closed port sends nothing, and a close releases the device.
    void outputReachesTheLineAtOnce()
    {
        MSComm comm;
        openOnModule(comm);
        QCOMPARE(comm.output("+++"), MSComm::Sent::All);
        QCOMPARE(receivedWithoutEvents(*m_module, 3), QByteArray("+++"));
        const QByteArray block = sampleBytes(15);
        QCOMPARE(comm.output(block), MSComm::Sent::All);
        QCOMPARE(receivedWithoutEvents(*m_module, 18), "+++" + block);

        QVERIFY(!comm.setPortOpen(false));
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.devicePath(), QString());
        QCOMPARE(comm.output("---"), MSComm::Sent::Nothing);
        QTest::qWait(100);
        QCOMPARE(m_module->receivedBytes(), "+++" + block);
        QVERIFY(!comm.setPortOpen(false)); // closing a closed port is no failure
        openOnModule(comm);
    }

    // One event per byte, in order. A pause inside the handler, as the window's operations
    // do, strands none of the bytes that arrive meanwhile and runs no nested handler.
    void onCommOncePerByteInOrder()
    {
        // What the device held before the open is dropped: it answers nothing asked.
        m_module->transmit("stale");
        QTest::qWait(20);
        MSComm comm;
        openOnModule(comm);
        QCOMPARE(comm.input(), QByteArray());
        const QByteArray first = sampleBytes(64);
        const QByteArray second = QByteArray("0123456789");
        QByteArray received;
        int depth = 0;
        int deepest = 0;
        connect(&comm, &MSComm::OnComm, this, [&] {
            deepest = std::max(deepest, ++depth);
            const QByteArray byte = comm.input();
            QCOMPARE(byte.size(), 1);
            received += byte;
            if (received.size() == 1) {
                m_module->transmit(second);
                QEventLoop pause;
                QTimer::singleShot(150, &pause, &QEventLoop::quit);
                pause.exec();
            }
            --depth;
        });
        m_module->transmit(first);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), first.size() + second.size(), 2000);
        QTest::qWait(50);
        QCOMPARE(received, first + second);
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

    // A failed open leaves the port closed, and a device another port holds working.
    void openFailures_data()
    {
        QTest::addColumn<QString>("mapping"); // empty: no [Ports] entry; "busy": the module, held
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
        QTest::newRow("busy") << "busy" << kPortNumber << Kind::Other << "Port busy: ";
    }

    void openFailures()
    {
        QFETCH(QString, mapping);
        QFETCH(int, port);
        QFETCH(Kind, kind);
        QFETCH(QString, description);
        MSComm first;
        if (mapping == "busy")
            openOnModule(first);
        else if (!mapping.isEmpty())
            mapPort(port, mapping);
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
        if (first.portOpen()) {
            first.output("ok");
            QCOMPARE(receivedWithoutEvents(*m_module, 2), QByteArray("ok"));
        }
    }

    void changingThePortWhileOpenKeepsTheOpenDevice()
    {
        emu::ModuleEmulator other;
        mapPort(kPortNumber + 1, other.devicePath());
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

    // A device that stops taking bytes (a stalled adapter, flow control): bytes
    // it took in part may still leave and say so; bytes it took none of are
    // discarded with the port closed, so they can never leave later.
    void outputTheDeviceStopsTaking()
    {
        int master = -1;
        int slave = -1;
        char name[128] = {};
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        MSComm comm;
        QVERIFY(!comm.setSettings("38400,n,8,1"));
        QVERIFY(!comm.setDevicePath(QString::fromLocal8Bit(name)));
        QVERIFY(!comm.setPortOpen(true));
        QSignalSpy failures(&comm, &MSComm::failed);
        QList<MSComm::Sent> sent;
        // Nothing reads the other end, so its buffer fills up.
        for (int i = 0; i < 1000 && comm.portOpen(); ++i)
            sent << comm.output(QByteArray(4096, char('a' + i % 26)));
        ::close(master);
        QVERIFY(!comm.portOpen());
        // Taken whole, then perhaps in part, then not at all.
        QCOMPARE(sent.last(), MSComm::Sent::Nothing);
        QVERIFY(sent.count(MSComm::Sent::All) > 0);
        QCOMPARE(sent.count(MSComm::Sent::All) + sent.count(MSComm::Sent::Maybe) + 1, sent.size());
        QVERIFY(sent.count(MSComm::Sent::Maybe) == 0 ||
                sent.at(sent.size() - 2) == MSComm::Sent::Maybe);
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY(failures.first().first().value<PortFailure>().description.contains(
            QString::fromLocal8Bit(name)));
    }

    void hangUpClosesAndReportsOnce()
    {
        MSComm comm;
        openOnModule(comm);
        QSignalSpy failures(&comm, &MSComm::failed);
        m_module->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 2000);
        QTest::qWait(500);
        QCOMPARE(failures.size(), 1);
        QVERIFY(!comm.portOpen());
        const auto failure = failures.first().first().value<PortFailure>();
        QCOMPARE(failure.kind, Kind::Other);
        QCOMPARE(failure.description, "The device " + m_module->devicePath() + " was disconnected");
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
