#include "moduleemulator.h"
#include "receive/rxdispatcher.h"
#include "serial/mscomm.h"
#include "testsettings.h"

#include <QTest>

using korva::RxDispatcher;

namespace
{

QByteArray counting(int size, int from = 0)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char((from + i) & 0xFF));
    return bytes;
}

} // namespace

// The receive path over a real port: the emulated module answers "+++" with
// whatever bytes a test gives it.
class TestRxDispatcher : public QObject
{
    Q_OBJECT

    struct Line {
        korva::emu::ModuleEmulator emulator;
        korva::MSComm port;
        RxDispatcher receiver{port};
        QList<QByteArray> bursts;

        Line()
        {
            mapPort(1, emulator.devicePath());
            QVERIFY(!port.setSettings(QStringLiteral("38400,n,8,1")));
            QVERIFY(!port.setCommPort(QStringLiteral("1")));
            QVERIFY(!port.setPortOpen(true));
            // As the window does: take the burst, then rewind for the next one.
            QObject::connect(&receiver, &RxDispatcher::burstEnded, &receiver, [this] {
                bursts << receiver.burst();
                receiver.rewind();
            });
        }

        void ask(const QByteArray &answer)
        {
            emulator.setAnswerBytes(answer);
            receiver.setAwaitingReply(true);
            port.output("+++");
        }
    };

private slots:
    void init() { removeSettingsFile(); }

    // Each answer is asked for in turn; the bursts are what the window is handed.
    void burstsInSlotOrder_data()
    {
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<int>("splitGapMs");
        QTest::addColumn<QList<QByteArray>>("bursts");
        QTest::newRow("A5 everywhere")
            << QList{QByteArray(15, char(0xA5))} << 0 << QList{QByteArray(15, char(0xA5))};
        // After slot 50 the ring starts again at slot 0; the burst keeps 51 slots.
        QTest::newRow("ring wraps after slot 50")
            << QList{counting(60)} << 0 << QList{counting(9, 51) + counting(42, 9)};
        QTest::newRow("a rewind hands nothing of the longer burst before")
            << QList{counting(20), counting(3, 200)} << 0 << QList{counting(20), counting(3, 200)};
        // A gap only a little longer than the silence still ends the burst.
        QTest::newRow("gap of 140 ms splits")
            << QList{counting(15)} << 140 << QList{counting(6), counting(9, 6)};
    }

    void burstsInSlotOrder()
    {
        QFETCH(QList<QByteArray>, answers);
        QFETCH(int, splitGapMs);
        QFETCH(QList<QByteArray>, bursts);
        Line line;
        line.emulator.setSplit(splitGapMs ? 6 : 0, splitGapMs);
        for (const QByteArray &answer : answers) {
            const qsizetype before = line.bursts.size();
            line.ask(answer);
            QTRY_VERIFY(line.bursts.size() > before);
        }
        QTRY_COMPARE(line.bursts.size(), bursts.size());
        QCOMPARE(line.receiver.rxIndex(), 0);
        QVERIFY(!line.receiver.awaitingReply());
        QCOMPARE(line.bursts, bursts);
        for (qsizetype i = 0; i < bursts.last().size() && !splitGapMs; ++i)
            QCOMPARE(line.receiver.rxBuffer()[size_t(i)], bursts.last().mid(i, 1));
        if (splitGapMs) {
            // The module really kept the gap short: a longer one would prove nothing.
            const auto sent = line.emulator.bursts(50);
            QVERIFY(sent.last().firstUsec - sent[sent.size() - 2].lastUsec < 180'000);
        }
        QTest::qWait(150);
        QCOMPARE(line.bursts.size(), bursts.size());
    }

    // Burst end comes only after 100 ms of silence after the last byte.
    void burstEndsAfterSilence()
    {
        Line line;
        QElapsedTimer clock;
        line.ask(counting(15));
        QTRY_VERIFY(line.receiver.timer1().isActive());
        clock.start();
        QTRY_COMPARE(line.bursts.size(), 1);
        QVERIFY2(clock.elapsed() >= 95, qPrintable(QString::number(clock.elapsed())));
    }

    // An event with nothing to read restarts the timer and blanks the current
    // slot, but counts nothing.
    void eventWithNothingWaiting()
    {
        Line line;
        line.ask(counting(3));
        QTRY_VERIFY(line.receiver.rxIndex() == 3);
        line.receiver.setAwaitingReply(true);
        line.receiver.timer1().stop();
        line.receiver.onComm();
        QVERIFY(line.receiver.timer1().isActive());
        QCOMPARE(line.receiver.rxIndex(), 3);
        QVERIFY(line.receiver.awaitingReply());
        QCOMPARE(line.receiver.burst(), counting(3));
    }
};

QTEST_MAIN(TestRxDispatcher)
#include "tst_rxdispatcher.moc"
