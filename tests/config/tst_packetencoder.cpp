#include "config/moduleconfig.h"

#include <QTest>

using namespace korva;

namespace
{

const QByteArray kExample = QByteArray::fromHex("7F7F7F7F01020304062000"
                                                "1E1E0023");
const Channel kPrevious{0x11, 0x22};
const QString kError = QStringLiteral("Error");

// The example page; fields numbered in page order: 0..7 addresses, 8 frequency, 9 Tx power,
// 10 Tx size, 11 Rx size, 12 RSSI, 13 RF speed.
ConfigTexts examplePage()
{
    ConfigTexts texts;
    texts.address = {"7F", "7F", "7F", "7F", "1", "2", "3", "4"};
    texts.frequency = "433.92";
    texts.txPower = "0 dBm";
    texts.txPacketSize = "30";
    texts.rxPacketSize = "30";
    texts.rssiThreshold = "-103 dBm";
    texts.rfTxSpeed = "9600 bps";
    return texts;
}

QString &field(ConfigTexts &texts, int number)
{
    if (number < kAddressBytes)
        return texts.address[std::size_t(number)];
    QString *const others[] = {&texts.frequency,    &texts.txPower,       &texts.txPacketSize,
                               &texts.rxPacketSize, &texts.rssiThreshold, &texts.rfTxSpeed};
    return *others[number - kAddressBytes];
}

QByteArray withByte(QByteArray block, int position, quint8 byte)
{
    block[position] = char(byte);
    return block;
}

QByteArray withChannel(int channel)
{
    return withByte(withByte(kExample, 8, quint8(channel >> 8)), 9, quint8(channel));
}

} // namespace

class TestPacketEncoder : public QObject
{
    Q_OBJECT

private slots:
    void encodes_data();
    void encodes();
    void stopsAtTheFirstFailure();
    void decodedBlocksEncodeToTheSameBytes();
};

void TestPacketEncoder::encodes_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("band");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("low");

    const QString nan = QStringLiteral("Invalid input (00-FF)");
    const QString nanTitle = QStringLiteral("Error!!");
    const QString app = applicationTitle();
    const QString value = QStringLiteral("Incorrect value");
    const QString frequency = QStringLiteral("Incorrect Frequency value");
    const QString b433 = QStringLiteral("433Mhz");
    const QByteArray none;
    auto ok = [&](const char *name, int field, const QString &text, const QByteArray &packet) {
        QTest::newRow(name) << field << text << b433 << packet << QString() << QString()
                            << quint8(packet[8]) + 0 << quint8(packet[9]) + 0;
    };
    auto fails = [&](const char *name, int field, const QString &text, const QString &failure,
                     const QString &title, Channel kept = {0x06, 0x20}) {
        QTest::newRow(name) << field << text << b433 << none << failure << title << kept.high
                            << kept.low;
    };
    const QString negative = QStringLiteral(" is negative and cannot be sent as a byte");
    auto badSize = [&](const char *name, const QString &text, const QString &problem) {
        fails(name, 10, text, "Error!! Tx Packet Size " + text + problem, app);
    };

    ok("example", 0, "7F", kExample);
    ok("address FF", 4, "fF", withByte(kExample, 4, 0xFF));
    fails("empty address", 0, "", nan, nanTitle, kPrevious);
    fails("placeholder address", 3, "??", nan, nanTitle, kPrevious);
    fails("address with blank", 6, " 7", nan, nanTitle, kPrevious);
    fails("address 100", 5, "100", value, kError, kPrevious);
    fails("address 7FFF", 0, "7FFF", value, kError, kPrevious);
    fails("address 8000", 0, "8000", "Error!! Destination address byte 8000 is out of range", app,
          kPrevious);
    fails("address FFFF", 5, "FFFF", "Error!! Local address byte FFFF is out of range", app,
          kPrevious);
    fails("address of five digits", 4, "00001",
          "Error!! Local address byte 00001 has too many digits", app, kPrevious);

    ok("highest frequency", 8, "593.838", withChannel(65535));
    fails("frequency 593.84", 8, "593.84", frequency, kError, {256, 0});
    fails("frequency 429.999", 8, "429.999", frequency, kError, {-1, 0xFF});
    fails("placeholder frequency", 8, "??", frequency, kError, {-672, 32});
    fails("frequency beyond double", 8, "1E400",
          "Error!! RF Frequency 1E400 is too large to be read", app, kPrevious);
    fails("frequency beyond 32 bits", 8, "1E12",
          "Error!! RF Frequency 1E12 is far outside the 433Mhz band", app, kPrevious);
    QTest::newRow("868 on a channel")
        << 8 << "868"
        << "868Mhz" << withChannel(1600) << QString() << QString() << 0x06 << 0x40;
    QTest::newRow("unknown band sends the previous channel")
        << 8 << "garbage"
        << "433MHz" << withChannel(0x1122) << QString() << QString() << kPrevious.high
        << kPrevious.low;

    const QString power = QStringLiteral(" is not in its list; it takes one of: 0 dBm, -3 dBm, "
                                         "-6 dBm, -9 dBm, -12 dBm, -15 dBm, -18 dBm, -21 dBm");
    fails("Tx power placeholder", 9, "??", "Error!! Tx Power ??" + power, app);
    fails("Tx power case differs", 9, "-21 DBM", "Error!! Tx Power -21 DBM" + power, app);

    ok("Tx size 255", 10, "255", withByte(kExample, 11, 0xFF));
    ok("Tx size followed by text", 10, "12 bytes", withByte(kExample, 11, 12));
    const QString noNumber = QStringLiteral(" holds no number; it takes a whole number 0 to 255");
    badSize("Tx size placeholder", "??", noNumber);
    badSize("Tx size bare sign", "-", noNumber);
    badSize("Tx size bare hex prefix", "&H", noNumber);
    badSize("Tx size other prefix", "&B1", noNumber);
    ok("Tx size half to even down", 10, "12.5", withByte(kExample, 11, 12));
    ok("Tx size half to even up", 10, "13.5", withByte(kExample, 11, 14));
    ok("Tx size small negative rounds to 0", 10, "-0.4", withByte(kExample, 11, 0));
    ok("Tx size hex", 10, "&HFF", withByte(kExample, 11, 0xFF));
    fails("Tx size 256", 10, "256", value, kError);
    fails("Tx size 32767", 10, "32767", value, kError);
    badSize("Tx size -3", "-3", negative);
    badSize("Tx size beyond 16 bits", "32767.5", " is too large");
    badSize("Tx size far negative", "-40000", negative);
    badSize("Tx size beyond double", "9E999", " is too large to be read");
    fails("long text is shortened", 10, "-" + QString(50, u'9'),
          "Error!! Tx Packet Size -" + QString(20, u'9') + "..." + negative, app);
    ok("Rx size 0", 11, "0", withByte(kExample, 12, 0));
    fails("Rx size empty", 11, "", "Error!! Rx Packet Size" + noNumber, app);

    const QString rssi = QStringLiteral(" is not in its list; it takes one of: -103 dBm, "
                                        "-97 dBm, -91 dBm, -85 dBm, -79 dBm, -73 dBm");
    const QString speed = QStringLiteral(" is not in its list; it takes one of: 1200 bps, "
                                         "2400 bps, 4800 bps, 9600 bps, 19200 bps");
    fails("RSSI placeholder", 12, "??", "Error!! RSSI Threshhold ??" + rssi, app);
    fails("RF speed placeholder", 13, "??", "Error!! RF TX Speed ??" + speed, app);
}

void TestPacketEncoder::encodes()
{
    QFETCH(int, field);
    QFETCH(QString, text);
    QFETCH(QString, band);
    QFETCH(QByteArray, packet);
    QFETCH(QString, failure);
    QFETCH(QString, title);
    QFETCH(int, high);
    QFETCH(int, low);

    ConfigTexts texts = examplePage();
    ::field(texts, field) = text;
    const EncodeResult result = encodePacket(texts, band, kPrevious);
    QCOMPARE(result.packet.toHex(' '), packet.toHex(' '));
    QCOMPARE(result.failure.value_or(EncodeFailure()).text, failure);
    QCOMPARE(result.failure.value_or(EncodeFailure()).title, title);
    QCOMPARE(result.failure.has_value(), !failure.isEmpty());
    QCOMPARE(result.channel, (Channel{high, low}));
}

void TestPacketEncoder::stopsAtTheFirstFailure()
{
    ConfigTexts texts = examplePage();
    texts.address[7] = "??";
    texts.frequency = "??";
    texts.txPacketSize = "-1";
    EncodeResult result = encodePacket(texts, "433Mhz", kPrevious);
    QCOMPARE(result.failure->text, QStringLiteral("Invalid input (00-FF)"));
    QCOMPARE(result.channel, kPrevious);

    texts.address[7] = "4";
    result = encodePacket(texts, "433Mhz", kPrevious);
    QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));

    texts.frequency = "433.92";
    texts.rxPacketSize = "999";
    result = encodePacket(texts, "433Mhz", kPrevious);
    QVERIFY(result.failure->text.startsWith("Error!! Tx Packet Size -1"));

    // A channel left out of range by a failed send is refused when the band is unknown.
    result = encodePacket(examplePage(), "", Channel{-1, 0xFF});
    QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));
    result = encodePacket(examplePage(), "", Channel{0x06, 256});
    QCOMPARE(result.failure->text, QStringLiteral("Incorrect Frequency value"));
}

void TestPacketEncoder::decodedBlocksEncodeToTheSameBytes()
{
    const auto speeds = rfTxSpeedCodes();
    for (const QString band : {"433Mhz", "868Mhz", "none"}) {
        for (int channel = 0; channel <= kMaxChannel; ++channel) {
            // Every byte value appears in every address position, every size and every code.
            QByteArray block(kBlockSize, Qt::Uninitialized);
            for (int i = 0; i < kAddressBytes; ++i)
                block[i] = char(channel * (2 * i + 1) + i);
            block[8] = char(channel >> 8);
            block[9] = char(channel);
            block[10] = char(channel % 8);
            block[11] = char(channel);
            block[12] = char(channel >> 8);
            block[13] = char(channel % 6);
            block[14] = char(speeds[std::size_t(channel % 5)]);

            const DecodedBlock decoded = decodeBlock(block, band, Channel{});
            const EncodeResult encoded = encodePacket(decoded.texts, band, decoded.channel);
            if (encoded.packet != block) {
                QFAIL(qPrintable(QStringLiteral("%1 %2 gave %3 %4")
                                     .arg(band, block.toHex(' '), encoded.packet.toHex(' '),
                                          encoded.failure.value_or(EncodeFailure()).text)));
            }
            QCOMPARE(encoded.channel, decoded.channel);
        }
    }
}

QTEST_APPLESS_MAIN(TestPacketEncoder)
#include "tst_packetencoder.moc"
