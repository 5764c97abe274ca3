#include "config/readback.h"

#include <QTest>

using namespace korva;

namespace
{

const QByteArray kExample = QByteArray::fromHex("7F7F7F7F010203040620001E1E0023");

QByteArray withBytes(QByteArray block, int position, const QByteArray &bytes)
{
    block.replace(position, bytes.size(), bytes);
    return block;
}

// Each mismatch as "field|written|held", so a table row reads at a glance.
QStringList describe(const QList<FieldMismatch> &mismatches)
{
    QStringList lines;
    for (const FieldMismatch &m : mismatches)
        lines << QStringLiteral("%1|%2|%3").arg(m.field).arg(m.written, m.held);
    return lines;
}

} // namespace

class TestReadBack : public QObject
{
    Q_OBJECT

private slots:
    void mismatches_data();
    void mismatches();
};

void TestReadBack::mismatches_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("readBack");
    QTest::addColumn<QString>("band");
    QTest::addColumn<QStringList>("expected");

    // Typed texts in other forms than the page shows them encode the same bytes.
    ConfigTexts typed;
    typed.address = {"7f", "7F", "07F", "7F", "01", "2", "03", "4"};
    typed.frequency = " 433.92";
    typed.txPower = "0 dBm";
    typed.txPacketSize = "30.4";
    typed.rxPacketSize = "3E1";
    typed.rssiThreshold = "-103 dBm";
    typed.rfTxSpeed = "9600 bps";
    const QByteArray typedPacket = encodePacket(typed, "433Mhz", {}).packet;

    QTest::newRow("same block") << kExample << kExample << "433Mhz" << QStringList{};
    QTest::newRow("typed forms") << typedPacket << kExample << "433Mhz" << QStringList{};
    QTest::newRow("frequency kept")
        << withBytes(kExample, kChannelHighByte, QByteArray::fromHex("0640")) << kExample
        << "433Mhz" << QStringList{"8|434.000|433.920"};
    QTest::newRow("one address byte and a code kept")
        << withBytes(withBytes(kExample, 5, "\x0A"), kRfTxSpeedByte, "\x11") << kExample << "868Mhz"
        << QStringList{"5|A|2", "13|19200 bps|9600 bps"};
    QTest::newRow("short read-back")
        << kExample << kExample.left(9) << "433Mhz"
        << QStringList{"8|433.920|??", "9|0 dBm|??",     "10|30|??",
                       "11|30|??",     "12|-103 dBm|??", "13|9600 bps|??"};
    QTest::newRow("code outside the table read back")
        << kExample << withBytes(kExample, kTxPowerByte, "\x09") << "433Mhz"
        << QStringList{"9|0 dBm|??"};
    QTest::newRow("unknown band: frequency not compared")
        << kExample << withBytes(kExample, kChannelHighByte, "\x07") << "433MHZ" << QStringList{};
    QTest::newRow("no packet written") << QByteArray() << QByteArray() << "433Mhz" << QStringList{};
}

void TestReadBack::mismatches()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, readBack);
    QFETCH(QString, band);
    QFETCH(QStringList, expected);

    const ConfigTexts held = decodeBlock(readBack, band, Channel{}).texts;
    QCOMPARE(describe(readBackMismatches(packet, band, held)), expected);
}

QTEST_GUILESS_MAIN(TestReadBack)
#include "tst_readback.moc"
