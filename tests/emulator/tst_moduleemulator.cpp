#include "moduleemulator.h"
#include "ptyclient.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <atomic>
#include <ctime>

using korva::emu::ModuleEmulator;
using korva::emu::WireByte;
using Direction = korva::emu::WireByte::Direction;

namespace
{

constexpr int kWaitMs = 3000;   // generous deadline for anything that should come
constexpr int kBurstGapMs = 60; // comfortably more than the emulator's 20 ms burst silence
const QByteArray kEnter = QByteArrayLiteral("+++");
const QByteArray kLeave = QByteArrayLiteral("---");

// Usec of the first byte of a direction at or after index from; -1 when none.
qint64 firstUsec(const QList<WireByte> &log, Direction direction, qsizetype from = 0)
{
    for (qsizetype i = from; i < log.size(); ++i) {
        if (log[i].direction == direction)
            return log[i].usec;
    }
    return -1;
}

qint64 lastUsec(const QList<WireByte> &log, Direction direction)
{
    for (qsizetype i = log.size() - 1; i >= 0; --i) {
        if (log[i].direction == direction)
            return log[i].usec;
    }
    return -1;
}

double processCpuMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

} // namespace

class TestModuleEmulator : public QObject
{
    Q_OBJECT

private slots:
    void answersConfigAtLineRate_data();
    void answersConfigAtLineRate();
    void commandModeTakesConfiguration_data();
    void commandModeTakesConfiguration();
    void commandModeIgnoresOtherBursts_data();
    void commandModeIgnoresOtherBursts();
    void dataModeBytes_data();
    void dataModeBytes();
    void answerShaping_data();
    void answerShaping();
    void requiredBaud_data();
    void requiredBaud();
    void hangUpDropsTheLine();
    void hangUpAfterCommand();
    void survivesTheToolClosingThePort();
    void logRecordsBothDirections();
    void rejectsConfigOfWrongSize();
};

void TestModuleEmulator::answersConfigAtLineRate_data()
{
    QTest::addColumn<int>("baud");
    QTest::newRow("2400") << 2400;
    QTest::newRow("9600") << 9600;
    QTest::newRow("38400") << 38400;
    QTest::newRow("115200") << 115200;
    QTest::newRow("250000, non-standard") << 250000;
}

void TestModuleEmulator::answersConfigAtLineRate()
{
    QFETCH(int, baud);
    ModuleEmulator emulator;
    QVERIFY2(emulator.isOpen(), qPrintable(emulator.errorString()));
    QVERIFY(emulator.devicePath().startsWith(QLatin1String("/dev/pts/")));
    PtyClient client(emulator.devicePath(), baud);
    QVERIFY(client.isOpen());
    QCOMPARE(emulator.lineBaud(), baud);

    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QVERIFY(emulator.inCommandMode());

    // 15 bytes of 10 bits each: at least 14 byte times between the first and the last.
    const auto bursts = emulator.bursts(20);
    QCOMPARE(bursts.size(), 2);
    QCOMPARE(bursts[1].direction, Direction::FromModule);
    QVERIFY(bursts[1].lastUsec - bursts[1].firstUsec >= 14LL * 10 * 1'000'000 / baud);
}

void TestModuleEmulator::commandModeTakesConfiguration_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("A5 bytes inside") << QByteArray::fromHex("7F7FA57F0102A50406200A1E1E00A5");
    QTest::newRow("A5 first") << QByteArray::fromHex("A57F7F7F010203040620001E1E0023");
    QTest::newRow("fifteen plus signs") << QByteArray(15, '+');
    QTest::newRow("begins with dashes") << QByteArray("---") + QByteArray(12, '\x11');
    QTest::newRow("all zero") << QByteArray(15, '\0');
}

void TestModuleEmulator::commandModeTakesConfiguration()
{
    QFETCH(QByteArray, block);
    ModuleEmulator emulator;
    PtyClient client(emulator.devicePath());
    QVERIFY(client.isOpen());

    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QThread::msleep(kBurstGapMs);
    QVERIFY(client.write(block));
    QTRY_COMPARE_WITH_TIMEOUT(emulator.config(), block, kWaitMs);
    QCOMPARE(client.readFor(100), QByteArray()); // a configuration is not acknowledged
    QVERIFY(emulator.inCommandMode());

    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), block);
    QThread::msleep(kBurstGapMs);
    QVERIFY(client.write(kLeave));
    QTRY_VERIFY_WITH_TIMEOUT(!emulator.inCommandMode(), kWaitMs);
    QCOMPARE(client.readFor(100), QByteArray());
    QCOMPARE(emulator.radioBytes(), QByteArray());
}

void TestModuleEmulator::commandModeIgnoresOtherBursts_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::newRow("14 bytes") << QByteArray(14, '\x01');
    QTest::newRow("16 bytes") << QByteArray(16, '\x01');
    QTest::newRow("two plus") << QByteArray("++");
    QTest::newRow("four plus") << QByteArray("++++");
    QTest::newRow("plus then dash") << QByteArray("+++-");
    QTest::newRow("four dashes") << QByteArray("----");
}

void TestModuleEmulator::commandModeIgnoresOtherBursts()
{
    QFETCH(QByteArray, burst);
    ModuleEmulator emulator;
    PtyClient client(emulator.devicePath());
    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QThread::msleep(kBurstGapMs);

    QVERIFY(client.write(burst));
    QCOMPARE(client.readFor(kBurstGapMs + 40), QByteArray());
    QVERIFY(emulator.inCommandMode());
    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QCOMPARE(emulator.config(), ModuleEmulator::kDefaultConfig);
}

void TestModuleEmulator::dataModeBytes_data()
{
    QTest::addColumn<QByteArrayList>("bursts");
    QTest::addColumn<QByteArray>("radio");
    QTest::addColumn<bool>("commandMode");
    QTest::newRow("text") << QByteArrayList{"hello"} << QByteArray("hello") << false;
    QTest::newRow("two plus and more") << QByteArrayList{"++x"} << QByteArray("++x") << false;
    QTest::newRow("lone plus") << QByteArrayList{"+"} << QByteArray("+") << false;
    QTest::newRow("plus signs in separate bursts")
        << QByteArrayList{"++", "+"} << QByteArray("+++") << false;
    QTest::newRow("plus signs not first") << QByteArrayList{"x+++"} << QByteArray("x+++") << false;
    QTest::newRow("radio then command")
        << QByteArrayList{"abc", "+++"} << QByteArray("abc") << true;
    QTest::newRow("command with a tail") << QByteArrayList{"+++abc"} << QByteArray() << true;
}

void TestModuleEmulator::dataModeBytes()
{
    QFETCH(QByteArrayList, bursts);
    QFETCH(QByteArray, radio);
    QFETCH(bool, commandMode);
    ModuleEmulator emulator;
    PtyClient client(emulator.devicePath());
    for (const QByteArray &burst : bursts) {
        QVERIFY(client.write(burst));
        QThread::msleep(kBurstGapMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(emulator.radioBytes(), radio, kWaitMs);
    QCOMPARE(emulator.inCommandMode(), commandMode);
    QCOMPARE(client.readAtLeast(15, commandMode ? kWaitMs : 100),
             commandMode ? ModuleEmulator::kDefaultConfig : QByteArray());
    QCOMPARE(emulator.receivedBytes(), bursts.join());
}

void TestModuleEmulator::answerShaping_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("splitAfter");
    QTest::addColumn<int>("splitGapMs");
    QTest::addColumn<QByteArray>("answerBytes");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QList<int>>("burstSizes");

    const QByteArray config = ModuleEmulator::kDefaultConfig;
    const QByteArray custom = QByteArray::fromHex("01A502");
    QTest::newRow("silent") << true << 0 << -1 << 0 << 0 << QByteArray() << QByteArray()
                            << QList<int>{};
    QTest::newRow("delay") << false << 150 << -1 << 0 << 0 << QByteArray() << config
                           << QList<int>{15};
    QTest::newRow("short") << false << 0 << 9 << 0 << 0 << QByteArray() << config.left(9)
                           << QList<int>{9};
    QTest::newRow("short to nothing")
        << false << 0 << 0 << 0 << 0 << QByteArray() << QByteArray() << QList<int>{};
    QTest::newRow("split") << false << 0 << -1 << 5 << 150 << QByteArray() << config
                           << QList<int>{5, 10};
    QTest::newRow("answer bytes") << false << 0 << -1 << 0 << 0 << custom << custom
                                  << QList<int>{3};
    QTest::newRow("answer bytes, short")
        << false << 0 << 2 << 0 << 0 << custom << custom.left(2) << QList<int>{2};
    QTest::newRow("delay and split")
        << false << 100 << -1 << 12 << 100 << QByteArray() << config << QList<int>{12, 3};
}

void TestModuleEmulator::answerShaping()
{
    QFETCH(bool, silent);
    QFETCH(int, delayMs);
    QFETCH(int, length);
    QFETCH(int, splitAfter);
    QFETCH(int, splitGapMs);
    QFETCH(QByteArray, answerBytes);
    QFETCH(QByteArray, expected);
    QFETCH(QList<int>, burstSizes);

    ModuleEmulator emulator;
    emulator.setSilent(silent);
    emulator.setAnswerDelayMs(delayMs);
    emulator.setAnswerLength(length);
    emulator.setSplit(splitAfter, splitGapMs);
    emulator.setAnswerBytes(answerBytes);
    PtyClient client(emulator.devicePath());

    QVERIFY(client.write(kEnter));
    QByteArray answer = client.readAtLeast(expected.size(), kWaitMs);
    answer += client.readFor(100);
    QCOMPARE(answer, expected);
    QVERIFY(emulator.inCommandMode());

    const QList<WireByte> log = emulator.log();
    if (!expected.isEmpty())
        QVERIFY(firstUsec(log, Direction::FromModule) - lastUsec(log, Direction::ToModule) >=
                qint64(delayMs) * 1000);
    QList<korva::emu::WireBurst> answers = ModuleEmulator::groupBursts(log, 50);
    answers.removeIf([](const auto &burst) { return burst.direction == Direction::ToModule; });
    QList<int> sizes;
    for (const auto &burst : answers)
        sizes.append(int(burst.bytes.size()));
    QCOMPARE(sizes, burstSizes);
    if (answers.size() == 2)
        QVERIFY(answers[1].firstUsec - answers[0].lastUsec >= qint64(splitGapMs) * 1000);
}

void TestModuleEmulator::requiredBaud_data()
{
    QTest::addColumn<int>("required");
    QTest::addColumn<int>("line");
    QTest::addColumn<bool>("answers");
    QTest::newRow("match") << 9600 << 9600 << true;
    QTest::newRow("mismatch") << 9600 << 19200 << false;
    QTest::newRow("non-standard match") << 250000 << 250000 << true;
    QTest::newRow("non-standard mismatch") << 115200 << 250000 << false;
}

void TestModuleEmulator::requiredBaud()
{
    QFETCH(int, required);
    QFETCH(int, line);
    QFETCH(bool, answers);
    ModuleEmulator emulator;
    emulator.setRequiredBaud(required);
    PtyClient client(emulator.devicePath(), line);
    QVERIFY(client.isOpen());

    QVERIFY(client.write("xy"));
    QThread::msleep(kBurstGapMs);
    QVERIFY(client.write(kEnter));
    const QByteArray answer = client.readAtLeast(15, answers ? kWaitMs : 200);
    QCOMPARE(answer, answers ? ModuleEmulator::kDefaultConfig : QByteArray());
    QCOMPARE(emulator.inCommandMode(), answers);
    QCOMPARE(emulator.radioBytes(), answers ? QByteArray("xy") : QByteArray());
    QCOMPARE(emulator.receivedBytes(), QByteArray("xy+++")); // the wire still carried it
}

void TestModuleEmulator::hangUpDropsTheLine()
{
    ModuleEmulator emulator;
    std::atomic<int> hangUps = 0;
    emulator.setHangUpObserver([&hangUps] { ++hangUps; });
    PtyClient client(emulator.devicePath());
    QVERIFY(client.isOpen());

    emulator.hangUp();
    QVERIFY(!emulator.isOpen());
    QVERIFY(client.waitForHangUp(kWaitMs));
    QCOMPARE(emulator.lineBaud(), 0);
    emulator.hangUp(); // a second hang-up is harmless
    QTRY_COMPARE_WITH_TIMEOUT(hangUps.load(), 1, kWaitMs);
}

void TestModuleEmulator::hangUpAfterCommand()
{
    ModuleEmulator emulator;
    emulator.setHangUpAfterCommandMs(150);
    PtyClient client(emulator.devicePath());
    QElapsedTimer sinceCommand;
    sinceCommand.start();
    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QVERIFY(emulator.isOpen());
    QVERIFY(client.waitForHangUp(kWaitMs));
    QVERIFY(sinceCommand.elapsed() >= 150);
    QVERIFY(!emulator.isOpen());
}

void TestModuleEmulator::survivesTheToolClosingThePort()
{
    ModuleEmulator emulator;
    {
        PtyClient client(emulator.devicePath());
        QVERIFY(client.write(kEnter));
        QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    }
    // With the port closed the emulator must sit idle, not spin on a hung-up master.
    const double cpuBefore = processCpuMs();
    QThread::msleep(300);
    QVERIFY2(processCpuMs() - cpuBefore < 150, "the emulator burns CPU while the port is closed");
    QVERIFY(emulator.isOpen());

    PtyClient again(emulator.devicePath());
    QVERIFY(again.isOpen());
    QVERIFY(again.write(kEnter));
    QCOMPARE(again.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
}

void TestModuleEmulator::logRecordsBothDirections()
{
    ModuleEmulator emulator;
    PtyClient client(emulator.devicePath());
    QVERIFY(client.write(kEnter));
    QCOMPARE(client.readAtLeast(15, kWaitMs), ModuleEmulator::kDefaultConfig);
    QThread::msleep(kBurstGapMs);
    QVERIFY(client.write(kLeave));
    QTRY_COMPARE_WITH_TIMEOUT(emulator.receivedBytes(), kEnter + kLeave, kWaitMs);

    const QList<WireByte> log = emulator.log();
    QCOMPARE(log.size(), 21);
    for (qsizetype i = 1; i < log.size(); ++i)
        QVERIFY(log[i].usec >= log[i - 1].usec);
    QVERIFY(log[3].usec >= log[2].usec); // answer stamped after the command was read
    QVERIFY(log[18].usec - log[0].usec >= kBurstGapMs * 1000);

    const auto bursts = emulator.bursts(20);
    QCOMPARE(bursts.size(), 3);
    QCOMPARE(bursts[0].direction, Direction::ToModule);
    QCOMPARE(bursts[0].bytes, kEnter);
    QCOMPARE(bursts[1].direction, Direction::FromModule);
    QCOMPARE(bursts[1].bytes, ModuleEmulator::kDefaultConfig);
    QCOMPARE(bursts[2].direction, Direction::ToModule);
    QCOMPARE(bursts[2].bytes, kLeave);

    const QStringList lines = ModuleEmulator::formatLog(log).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 22); // one per byte and the empty rest after the last newline
    const QRegularExpression line(QStringLiteral("^(\\d+)\\.(\\d{6}) ([<>]) ([0-9A-F]{2})$"));
    for (qsizetype i = 0; i < log.size(); ++i) {
        const auto match = line.match(lines[i]);
        QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(match.captured(1).toLongLong() * 1'000'000 + match.captured(2).toLongLong(),
                 log[i].usec);
        QCOMPARE(match.captured(3), log[i].direction == Direction::ToModule ? ">" : "<");
        QCOMPARE(match.captured(4).toUInt(nullptr, 16), uint(log[i].value));
    }

    emulator.clearLog();
    QVERIFY(emulator.log().isEmpty());
    QVERIFY(emulator.receivedBytes().isEmpty());
}

void TestModuleEmulator::rejectsConfigOfWrongSize()
{
    ModuleEmulator emulator;
    QVERIFY(!emulator.setConfig(QByteArray(14, '\x01')));
    QVERIFY(!emulator.setConfig(QByteArray(16, '\x01')));
    QCOMPARE(emulator.config(), ModuleEmulator::kDefaultConfig);
    const QByteArray block(15, '\x05');
    QVERIFY(emulator.setConfig(block));
    QCOMPARE(emulator.config(), block);
}

QTEST_GUILESS_MAIN(TestModuleEmulator)
#include "tst_moduleemulator.moc"
