#include "emulatoroptions.h"
#include "moduleemulator.h"
#include "portregistration.h"

#include <QSettings>
#include <QTest>

using korva::emu::ModuleEmulator;
using korva::emu::PortRegistration;
using korva::emu::WireBurst;
using korva::emu::WireByte;
using Direction = korva::emu::WireByte::Direction;

namespace
{

QSettings toolSettings()
{
    return {QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KORVA"),
            QStringLiteral("KORVA")};
}

WireByte toModule(qint64 usec, quint8 value)
{
    return {usec, Direction::ToModule, value};
}

WireByte fromModule(qint64 usec, quint8 value)
{
    return {usec, Direction::FromModule, value};
}

} // namespace

class TestEmulatorParts : public QObject
{
    Q_OBJECT

private slots:
    void groupBursts_data();
    void groupBursts();
    void formatLog_data();
    void formatLog();
    void parseHexBytes_data();
    void parseHexBytes();
    void parseArguments_data();
    void parseArguments();
    void portRegistration_data();
    void portRegistration();
};

void TestEmulatorParts::groupBursts_data()
{
    QTest::addColumn<QList<WireByte>>("log");
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::newRow("empty") << QList<WireByte>{} << QList<QByteArray>{};
    QTest::newRow("gap just under the silence")
        << QList<WireByte>{toModule(0, 1), toModule(19'999, 2), toModule(39'998, 3)}
        << QList<QByteArray>{"\x01\x02\x03"};
    QTest::newRow("gap of exactly the silence")
        << QList<WireByte>{toModule(0, 1), toModule(20'000, 2)}
        << QList<QByteArray>{"\x01", "\x02"};
    QTest::newRow("change of direction")
        << QList<WireByte>{toModule(0, 1), fromModule(0, 2), fromModule(10, 3), toModule(20, 4)}
        << QList<QByteArray>{"\x01", "\x02\x03", "\x04"};
}

void TestEmulatorParts::groupBursts()
{
    QFETCH(QList<WireByte>, log);
    QFETCH(QList<QByteArray>, bursts);
    const QList<WireBurst> grouped = ModuleEmulator::groupBursts(log, 20);
    QList<QByteArray> bytes;
    for (const WireBurst &burst : grouped)
        bytes.append(burst.bytes);
    QCOMPARE(bytes, bursts);
    if (!grouped.isEmpty()) {
        QCOMPARE(grouped.first().firstUsec, log.first().usec);
        QCOMPARE(grouped.last().lastUsec, log.last().usec);
    }
}

void TestEmulatorParts::formatLog_data()
{
    QTest::addColumn<WireByte>("byte");
    QTest::addColumn<QString>("line");
    QTest::newRow("start") << toModule(0, 0x2B) << "0.000000 > 2B";
    QTest::newRow("small value") << fromModule(1'234'567, 0x0A) << "1.234567 < 0A";
    QTest::newRow("minutes in") << fromModule(61'000'001, 0xFF) << "61.000001 < FF";
}

void TestEmulatorParts::formatLog()
{
    QFETCH(WireByte, byte);
    QFETCH(QString, line);
    QCOMPARE(ModuleEmulator::formatByte(byte), line);
    QCOMPARE(ModuleEmulator::formatLog({byte, byte}), line + '\n' + line + '\n');
}

void TestEmulatorParts::parseHexBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("grouped configuration")
        << "7F7F7F7F 01020304 0620 00 1E 1E 00 23" << true << ModuleEmulator::kDefaultConfig;
    QTest::newRow("either case") << "a5A5" << true << QByteArray("\xA5\xA5");
    QTest::newRow("tabs and edges") << "\t01 02 " << true << QByteArray("\x01\x02");
    QTest::newRow("empty") << "" << false << QByteArray();
    QTest::newRow("only spaces") << "   " << false << QByteArray();
    QTest::newRow("odd digit count") << "7F7" << false << QByteArray();
    QTest::newRow("split pair") << "7 F" << false << QByteArray();
    QTest::newRow("0x prefix") << "0x7F" << false << QByteArray();
    QTest::newRow("commas") << "7F,7F" << false << QByteArray();
    QTest::newRow("not hex") << "GG" << false << QByteArray();
}

void TestEmulatorParts::parseHexBytes()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, bytes);
    const std::optional<QByteArray> parsed = korva::emu::parseHexBytes(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, bytes);
}

void TestEmulatorParts::parseArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // a part of the message; empty: accepted
    QTest::newRow("none") << QStringList{} << QString();
    QTest::newRow("everything")
        << QStringList{"--port",   "3",       "--config", "000102030405060708090A0B0C0D0E",
                       "--silent", "--delay", "200",      "--short",
                       "4",        "--split", "5:150",    "--answer",
                       "01 02",    "--baud",  "9600",     "--hang-up-after",
                       "300",      "--log"}
        << QString();
    QTest::newRow("config of 14 bytes")
        << QStringList{"--config", "7F7F7F7F 01020304 0620 00 1E 1E 00"} << "exactly 15 bytes";
    QTest::newRow("config not hex") << QStringList{"--config", "hello"} << "exactly 15 bytes";
    QTest::newRow("split without gap") << QStringList{"--split", "5"} << "K:G";
    QTest::newRow("split after nothing") << QStringList{"--split", "0:10"} << "--split";
    QTest::newRow("negative delay") << QStringList{"--delay", "-1"} << "--delay";
    QTest::newRow("port out of range") << QStringList{"--port", "16"} << "from 1 to 15";
    QTest::newRow("answer not hex") << QStringList{"--answer", "zz"} << "--answer";
    QTest::newRow("zero baud") << QStringList{"--baud", "0"} << "--baud";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "frobnicate";
    QTest::newRow("stray argument") << QStringList{"extra"} << "unexpected argument";
}

void TestEmulatorParts::parseArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const auto parsed =
        korva::emu::parseEmulatorArguments(QStringList{"korva-module-emulator"} + arguments);
    if (!error.isEmpty()) {
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
        return;
    }
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    if (arguments.isEmpty()) {
        QCOMPARE(parsed.options.port, 0);
        QVERIFY(!parsed.options.config);
        QCOMPARE(parsed.options.behaviour.answerLength, -1);
        QCOMPARE(parsed.options.behaviour.hangUpAfterMs, -1);
        return;
    }
    const auto &options = parsed.options;
    QCOMPARE(options.port, 3);
    QCOMPARE(*options.config, QByteArray::fromHex("000102030405060708090A0B0C0D0E"));
    QVERIFY(options.behaviour.silent);
    QCOMPARE(options.behaviour.answerDelayMs, 200);
    QCOMPARE(options.behaviour.answerLength, 4);
    QCOMPARE(options.behaviour.splitAfter, 5);
    QCOMPARE(options.behaviour.splitGapMs, 150);
    QCOMPARE(options.behaviour.answerBytes, QByteArray("\x01\x02"));
    QCOMPARE(options.behaviour.requiredBaud, 9600);
    QCOMPARE(options.behaviour.hangUpAfterMs, 300);
    QVERIFY(options.log);
}

void TestEmulatorParts::portRegistration_data()
{
    QTest::addColumn<QVariant>("before");
    QTest::addColumn<QVariant>("changedMeanwhile");
    QTest::addColumn<QVariant>("after");
    QTest::newRow("absent key is removed again") << QVariant() << QVariant() << QVariant();
    QTest::newRow("earlier device comes back")
        << QVariant("/dev/ttyUSB0") << QVariant() << QVariant("/dev/ttyUSB0");
    QTest::newRow("someone else's change is kept")
        << QVariant() << QVariant("/dev/ttyS1") << QVariant("/dev/ttyS1");
}

void TestEmulatorParts::portRegistration()
{
    QFETCH(QVariant, before);
    QFETCH(QVariant, changedMeanwhile);
    QFETCH(QVariant, after);
    const QString key = PortRegistration::settingsKey(4);
    QCOMPARE(key, "Ports/4");
    {
        QSettings settings = toolSettings();
        settings.remove(key);
        if (before.isValid())
            settings.setValue(key, before);
    }
    {
        const PortRegistration registration(4, QStringLiteral("/dev/pts/99"));
        QVERIFY2(registration.isRegistered(), qPrintable(registration.errorString()));
        QCOMPARE(toolSettings().value(key).toString(), "/dev/pts/99");
        if (changedMeanwhile.isValid())
            toolSettings().setValue(key, changedMeanwhile);
    }
    QCOMPARE(toolSettings().value(key), after);
}

QTEST_GUILESS_MAIN(TestEmulatorParts)
#include "tst_emulatorparts.moc"
