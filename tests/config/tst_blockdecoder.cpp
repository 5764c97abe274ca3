#include "config/moduleconfig.h"

#include <QTest>

using namespace korva;

namespace
{

const QByteArray kExample = QByteArray::fromHex("7F7F7F7F01020304062000"
                                                "1E1E0023");

// The decoded fields in page order: Text1..Text8, Text9, Text10, Text11, Text12, Combo4, Combo5.
QStringList fieldTexts(const ConfigTexts &texts)
{
    QStringList fields(texts.address.begin(), texts.address.end());
    fields << texts.frequency << texts.txPower << texts.txPacketSize << texts.rxPacketSize
           << texts.rssiThreshold << texts.rfTxSpeed;
    return fields;
}

QByteArray withByte(QByteArray block, int position, quint8 byte)
{
    block[position] = char(byte);
    return block;
}

const QStringList kExampleFields{"7F", "7F",      "7F",    "7F", "1",  "2",        "3",
                                 "4",  "433.920", "0 dBm", "30", "30", "-103 dBm", "9600 bps"};

} // namespace

class TestBlockDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decodesBurst_data()
    {
        QTest::addColumn<QByteArray>("burst");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("low");

        // The previous channel is 0x11, 0x22 in every row.
        const QStringList blank(14, QStringLiteral("??"));
        auto example = [&](int field, const QString &text) {
            QStringList fields = kExampleFields;
            fields[field] = text;
            return fields;
        };

        QTest::newRow("example 433") << kExample << "433Mhz" << kExampleFields << 0x06 << 0x20;
        QTest::newRow("example 868")
            << kExample << "868Mhz" << example(8, "867.840") << 0x06 << 0x20;
        QTest::newRow("unknown band keeps frequency unknown")
            << kExample << "433MHz" << example(8, "??") << 0x06 << 0x20;
        QTest::newRow("bytes past the block ignored")
            << kExample + QByteArray(20, '\x01') << "433Mhz" << kExampleFields << 0x06 << 0x20;

        QStringList nine = kExampleFields.mid(0, 8) + blank.mid(8);
        QTest::newRow("nine bytes keep the previous low byte")
            << kExample.left(9) << "433Mhz" << nine << 0x06 << 0x22;
        QStringList ten = nine;
        ten[8] = "433.920";
        QTest::newRow("ten bytes give the frequency")
            << kExample.left(10) << "433Mhz" << ten << 0x06 << 0x20;
        const QStringList three = QStringList{"7F", "7F", "A5"} + blank.mid(3);
        QTest::newRow("A5 ending a short burst")
            << QByteArray::fromHex("7F7FA5") << "433Mhz" << three << 0x11 << 0x22;

        QTest::newRow("A5 as the channel low byte")
            << withByte(kExample, 9, 0xA5) << "868Mhz" << example(8, "868.505") << 0x06 << 0xA5;

        QTest::newRow("Tx power 8 outside table")
            << withByte(kExample, 10, 8) << "433Mhz" << example(9, "??") << 0x06 << 0x20;
        QTest::newRow("RSSI 6 outside table")
            << withByte(kExample, 13, 6) << "433Mhz" << example(12, "??") << 0x06 << 0x20;
        QTest::newRow("RF speed 3 is a list position, not a code")
            << withByte(kExample, 14, 3) << "433Mhz" << example(13, "??") << 0x06 << 0x20;
        QTest::newRow("highest channel 868") << withByte(withByte(kExample, 8, 0xFF), 9, 0xFF)
                                             << "868Mhz" << example(8, "1187.675") << 0xFF << 0xFF;
        QTest::newRow("odd channel rounds half up") << withByte(withByte(kExample, 8, 0), 9, 1)
                                                    << "433Mhz" << example(8, "430.003") << 0 << 1;
    }

    void decodesBurst()
    {
        QFETCH(QByteArray, burst);
        QFETCH(QString, band);
        QFETCH(QStringList, fields);
        QFETCH(int, high);
        QFETCH(int, low);

        const DecodedBlock block = decodeBlock(burst, band, Channel{0x11, 0x22});
        QCOMPARE(fieldTexts(block.texts), fields);
        QCOMPARE(block.channel.high, high);
        QCOMPARE(block.channel.low, low);
    }
};

QTEST_APPLESS_MAIN(TestBlockDecoder)
#include "tst_blockdecoder.moc"
